// The drain of the claim (RawLogClaim.h): the lines of a landing go to the
// end of the backlog under a read lease, as a note in the state directory
// says, so that a killed run's drain is done again by the next.
#pragma once

#include "RawLogClaim.h"

#include <string>
#include <sys/types.h>

enum Quiet { Leased, NoLease, Busy };

// Waits up to waitMs until nobody has fd's file open for writing and then
// holds a read lease on it: a writer that opens it now waits until the lease
// is dropped. NoLease: leases are not to be had (a file system without
// them); reads may then see a write half done.
Quiet holdQuiet(int fd, int waitMs);
void dropLease(int fd, int q);
// A writer is blocked opening the file we hold a lease on: it resolved the
// file's name before we moved or removed it, and appends once the lease is
// dropped.
bool writerWaiting(int fd, int q);

// A drain in progress: the lines of the landing from offset from go to the
// end of the backlog, which held backlogSize bytes before it began. The
// landing held length bytes then, and was the file dev:ino; a landing in a
// transit directory is reached and removed through dir, the directory's
// handle, never by its path again.
struct RawLogClaim::Drain {
    std::string landing;
    off_t from = 0;
    off_t backlogSize = 0;
    long long length = -1;  // -1: not noted (a note of an earlier version)
    unsigned long long dev = 0, ino = 0;
    Fd dir;
};
