// The delivery note of the log action: written before a batch goes to the
// report, it says where the batch goes (the report's identity and size
// before it) and what it is (its length and hash) and where its lines came
// from, so that the run after one killed once the batch was in the report
// drops those lines instead of reporting them again.
//
// Its text is one line of numbers and the report's path after it:
//   reportDev reportIno reportSize length hash scheme from to backlog.<id>\n<path>
// A note of the earlier layout, whose lines came from a claimed copy in
// /tmp, reads
//   reportDev reportIno reportSize length hash claimedDev claimedIno readSize [scheme]\n<path>
// (scheme 1 when it is missing).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

// How a batch is hashed: FNV-1a a byte at a time (the notes of the earliest
// versions), or eight bytes at a time.
enum HashScheme : unsigned long long { kFnv1a = 1, kWordHash = 2 };

uint64_t batchHash(unsigned long long scheme, std::string_view bytes);

struct DeliveryNote {
    unsigned long long reportDev = 0, reportIno = 0, reportSize = 0, length = 0, hash = 0;
    unsigned long long scheme = kWordHash;
    // Where the lines came from: the bytes from..to of the backlog of that name.
    unsigned long long from = 0, to = 0;
    std::string backlog;
    // The earlier layout: the first readSize bytes of the claimed copy.
    bool earlier = false;
    unsigned long long claimedDev = 0, claimedIno = 0, readSize = 0;
    std::string reportPath;
};

// A note for batch, about to be appended to the report whose status before
// it is report.
DeliveryNote noteFor(const std::string& reportPath, const struct stat& report, std::string_view batch);
std::string formatNote(const DeliveryNote& n);
// Either layout; false for anything else.
bool parseNote(std::string_view text, DeliveryNote& n);

// The report holds the batch where the note says.
bool reportHolds(const DeliveryNote& n, uid_t self);
// A run killed in the middle of writing its batch leaves part of it at the
// report's end: only runs under the lock write the report, so what stands
// after the size the note gives, short of the whole batch, is that part,
// and it goes; the lines are then reported whole.
void cutPartialBatch(const DeliveryNote& n, uid_t self);
