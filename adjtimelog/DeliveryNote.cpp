#include "DeliveryNote.h"
#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

uint64_t fnv1a(std::string_view bytes)
{
    uint64_t h = 1469598103934665603ull;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

uint64_t rotl(uint64_t x, int r)
{
    return (x << r) | (x >> (64 - r));
}

// Eight bytes at a time in two lanes, so that a batch of megabytes costs a
// fraction of a millisecond, then mixed whole. Words are read in the
// machine's order; a note never leaves the machine.
uint64_t wordHash(std::string_view bytes)
{
    const uint64_t k1 = 0x9e3779b97f4a7c15ull, k2 = 0xc2b2ae3d27d4eb4full;
    uint64_t a = bytes.size() * k1, b = ~a;
    const char* p = bytes.data();
    size_t n = bytes.size();
    auto mixIn = [&](uint64_t& lane, const char* at) {
        uint64_t w;
        memcpy(&w, at, 8);
        lane = rotl(lane ^ (w * k2), 31) * k1;
    };
    for (; n >= 16; p += 16, n -= 16) {
        mixIn(a, p);
        mixIn(b, p + 8);
    }
    char tail[16] = {};
    if (n > 0)
        memcpy(tail, p, n);
    mixIn(a, tail);
    mixIn(b, tail + 8);
    uint64_t h = a ^ rotl(b, 27);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

// The numbers of a note's first line; false when one is not a number.
bool readNumbers(const std::string& line, std::vector<unsigned long long>& out, std::string& rest)
{
    const char* p = line.c_str();
    for (;;) {
        while (*p == ' ')
            ++p;
        if (*p < '0' || *p > '9')
            break;
        char* end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(p, &end, 10);
        if (errno != 0)
            return false;
        out.push_back(v);
        p = end;
    }
    rest = p;
    return true;
}

}  // namespace

uint64_t batchHash(unsigned long long scheme, std::string_view bytes)
{
    return scheme == kWordHash ? wordHash(bytes) : fnv1a(bytes);
}

DeliveryNote noteFor(const std::string& reportPath, const struct stat& report, std::string_view batch)
{
    DeliveryNote n;
    n.reportDev = static_cast<unsigned long long>(report.st_dev);
    n.reportIno = static_cast<unsigned long long>(report.st_ino);
    n.reportSize = static_cast<unsigned long long>(report.st_size);
    n.length = batch.size();
    n.hash = batchHash(kWordHash, batch);
    n.reportPath = reportPath;
    return n;
}

std::string formatNote(const DeliveryNote& n)
{
    char numbers[256];
    snprintf(numbers, sizeof numbers, "%llu %llu %llu %llu %llu %llu %llu %llu ", n.reportDev, n.reportIno,
             n.reportSize, n.length, n.hash, n.scheme, n.from, n.to);
    return numbers + ("backlog." + n.backlog) + "\n" + n.reportPath;
}

bool parseNote(std::string_view text, DeliveryNote& n)
{
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos || nl + 1 >= text.size())
        return false;
    std::vector<unsigned long long> v;
    std::string rest;
    if (!readNumbers(std::string(text.substr(0, nl)), v, rest))
        return false;
    n = DeliveryNote{};
    n.reportPath = std::string(text.substr(nl + 1));
    if (v.size() == 8 && rest.rfind("backlog.", 0) == 0 && rest.size() > 8 && rest.find(' ') == std::string::npos) {
        n.reportDev = v[0], n.reportIno = v[1], n.reportSize = v[2], n.length = v[3], n.hash = v[4];
        n.scheme = v[5], n.from = v[6], n.to = v[7], n.backlog = rest.substr(8);
    } else if ((v.size() == 8 || v.size() == 9) && rest.empty()) {
        n.earlier = true;
        n.reportDev = v[0], n.reportIno = v[1], n.reportSize = v[2], n.length = v[3], n.hash = v[4];
        n.claimedDev = v[5], n.claimedIno = v[6], n.readSize = v[7];
        n.scheme = v.size() == 9 ? v[8] : kFnv1a;
    } else {
        return false;
    }
    return n.scheme == kFnv1a || n.scheme == kWordHash;
}

namespace {

// The report the batch went to: the file at the note's path, or, when
// logrotate has moved it aside since (delaycompress keeps the newest one
// plain for a cycle), the one at path.1.
int openNoted(const DeliveryNote& n, int flags, uid_t self)
{
    for (const std::string& path : {n.reportPath, n.reportPath + ".1"}) {
        std::string why;
        Fd report(openInDirectory(path, flags, 0, self, why));
        struct stat st;
        if (report.valid() && sys.fstat(report.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<unsigned long long>(st.st_dev) == n.reportDev &&
            static_cast<unsigned long long>(st.st_ino) == n.reportIno)
            return report.release();
    }
    return -1;
}

}  // namespace

bool reportHolds(const DeliveryNote& n, uid_t self)
{
    Fd report(openNoted(n, O_RDONLY, self));
    struct stat st;
    if (!report.valid() || sys.fstat(report.get(), &st) != 0 ||
        static_cast<unsigned long long>(st.st_size) < n.reportSize + n.length)
        return false;
    std::string batch(static_cast<size_t>(n.length), '\0');
    size_t got = 0;
    while (got < n.length) {
        ssize_t r = sys.pread(report.get(), &batch[got], static_cast<size_t>(n.length) - got,
                              static_cast<off_t>(n.reportSize + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return batchHash(n.scheme, batch) == n.hash;
}

void cutPartialBatch(const DeliveryNote& n, uid_t self)
{
    Fd report(openNoted(n, O_WRONLY, self));
    struct stat st;
    if (!report.valid() || sys.fstat(report.get(), &st) != 0)
        return;
    auto size = static_cast<unsigned long long>(st.st_size);
    if (size > n.reportSize && size < n.reportSize + n.length &&
        sys.ftruncate(report.get(), static_cast<off_t>(n.reportSize)) == 0)
        fdatasync(report.get());
}
