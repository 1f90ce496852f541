# The two commands of the README, and a few more; CMake does the building.
BUILD ?= build
ASAN_BUILD ?= build-asan
PKG_BUILD ?= build-package
PREFIX ?= /usr/local
JOBS ?= 2
MAKEFLAGS += --no-print-directory
CONFIGURE = cmake -S . -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON $(CMAKE_FLAGS)

.PHONY: all deps build test test-fast lint format demo fuzz soak bench package install clean coverage

all: build

# The Debian packages the build, the tests and the demo need (as root it
# installs what is missing; otherwise it names them). Only this target and
# the README's two commands, make demo and make test, install anything.
deps:
	@scripts/install-deps

define build-tree
	@$(CONFIGURE) -B $(BUILD) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)
endef

build:
	$(build-tree)

FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 30
PG_SOAK_SECONDS ?= 20

# Every test, in the normal build and again under AddressSanitizer and
# UndefinedBehaviorSanitizer, after static analysis; a minute of fuzzing
# for each target and short fault soaks. Every stage runs, also after one
# failed; a table of the stages ends it (scripts/stages).
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
test: deps
	@scripts/stages \
	  build     '$(CONFIGURE) -B $(BUILD) >/dev/null && cmake --build $(BUILD) -j$(JOBS)' \
	  lint      'scripts/lint $(BUILD)' \
	  tests     'ctest --test-dir $(BUILD) --output-on-failure' \
	  fuzz      'scripts/fuzz $(FUZZ_SECONDS)' \
	  soak      'bench/soak $(BUILD) $(SOAK_SECONDS)' \
	  pg-soak   'bench/pg-soak $(BUILD) $(PG_SOAK_SECONDS) 8' \
	  asan      '$(CONFIGURE) -B $(ASAN_BUILD) -DSANITIZE=ON >/dev/null && cmake --build $(ASAN_BUILD) -j$(JOBS) && \
	             $(SANITIZER_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure'

# The normal build only, for a quick round while working.
test-fast: build
	ctest --test-dir $(BUILD) --output-on-failure

lint: build
	@scripts/lint $(BUILD)

# Lays out the C++ sources as .clang-format says (make lint checks it).
format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

demo: deps
	$(build-tree)
	@scripts/demo $(BUILD)

fuzz: deps
	@scripts/fuzz 300

soak: build
	@bench/soak $(BUILD) 600
	@bench/pg-soak $(BUILD) 600 8

coverage: deps
	@scripts/coverage

bench: build
	@scripts/install-deps time
	@bench/run $(BUILD)

# The Debian package, built by Debian's own tools (dpkg-buildpackage, dh)
# from a copy of the tracked sources, into $(PKG_BUILD)/.
package: deps
	@scripts/install-deps dpkg-dev debhelper
	@scripts/build-package $(PKG_BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(PKG_BUILD) build-fuzz build-coverage
