// What the claim's tests share: a system call of the claim made to fail
// (FAIL_CALL: the nth call from now; FAIL_FOR: the calls naming one path),
// and a fixture with a raw log and a state directory of a scratch
// directory.
#pragma once

#include "DeliveryNote.h"
#include "RawLogClaim.h"
#include "ScratchDir.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

// One system call of the claim fails, the nth one from now, with err.
inline int gCallsLeft = 0;
inline int gErr = 0;

template <typename T>
struct Failing;
template <typename R, typename... A>
struct Failing<R (*)(A...)> {
    template <R (*SysCalls::*M)(A...)>
    static R call(A... a)
    {
        if (--gCallsLeft == 0) {
            errno = gErr;
            return static_cast<R>(-1);
        }
        return (kLibc.*M)(a...);
    }
};

// The calls that name a path fail for that path only.
inline std::string gPath;

template <typename T>
struct FailingFor;
template <typename R, typename... A>
struct FailingFor<R (*)(const char*, A...)> {
    template <R (*SysCalls::*M)(const char*, A...)>
    static R call(const char* path, A... a)
    {
        if (gPath == path) {
            errno = gErr;
            return static_cast<R>(-1);
        }
        return (kLibc.*M)(path, a...);
    }
};

#define FAIL_FOR(member, path, err)                                                                                    \
    do {                                                                                                               \
        gPath = (path);                                                                                                \
        gErr = (err);                                                                                                  \
        sys.member = &FailingFor<decltype(SysCalls::member)>::call<&SysCalls::member>;                                 \
    } while (0)

#define FAIL_CALL(member, nth, err)                                                                                    \
    do {                                                                                                               \
        gCallsLeft = (nth);                                                                                            \
        gErr = (err);                                                                                                  \
        sys.member = &Failing<decltype(SysCalls::member)>::call<&SysCalls::member>;                                    \
    } while (0)

inline std::vector<std::string> namesIn(const std::string& path)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline RawLogClaim::Limits shortWaits()
{
    RawLogClaim::Limits l;
    l.claimMs = l.releaseMs = 200;
    return l;
}

class Claim : public testing::Test {
protected:
    void TearDown() override { sys = kLibc; }

    RawLogClaim make(RawLogClaim::Limits limits = shortWaits()) const
    {
        return RawLogClaim(raw, state, Owners{geteuid()}, limits);
    }
    // Every batch waiting, in order; each delivered when deliver is true.
    static std::string batches(RawLogClaim& claim, bool deliver = true)
    {
        std::string all;
        FileText text;
        while (claim.nextBatch(text) == RawLogClaim::Claimed) {
            all += text.view();
            if (!deliver)
                break;
            EXPECT_EQ(claim.settle(true), 0);
        }
        return all;
    }
    // Claims and delivers everything; what came.
    std::string run()
    {
        RawLogClaim claim = make();
        RawLogClaim::Result r = claim.acquire();
        EXPECT_NE(r, RawLogClaim::Failed) << claim.error().step() << " " << claim.error().path();
        return batches(claim);
    }
    void expectError(const RawLogClaim& claim, const char* step, const std::string& path, int err)
    {
        EXPECT_EQ(claim.error().step(), step);
        EXPECT_EQ(claim.error().path(), path);
        EXPECT_EQ(claim.error().err(), err);
    }

    ScratchDir dir;
    const std::string raw = dir / "raw";
    const std::string state = dir / "state";
};
