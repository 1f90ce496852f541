// What versions that kept their state beside the raw log left there.
#include "DeliveryNote.h"
#include "Drain.h"
#include "RawLogClaim.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// Versions that kept their state beside the raw log left the lines they had
// claimed there (.adjtimelog-<uid>/claimed and merging, and before them
// update_time.log.claimed and .merging): taken up once, oldest first, when
// they are plain files of ours in a directory of ours. Their delivery note
// says whether the start of the claimed copy already reached the report.
int RawLogClaim::takeUpEarlierCopies()
{
    const std::string earlier = directoryOf(raw_) + "/.adjtimelog-" + std::to_string(owners_.run);
    const bool inState = earlier == dir_;
    struct stat st;
    bool ours = inState || (sys.lstat(earlier.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == owners_.run &&
                            (st.st_mode & 077) == 0);
    off_t claimedFrom = 0;
    std::string text;
    DeliveryNote n;
    if (ours && readSmallFile(earlier + "/delivery", text)) {
        if (parseNote(text, n) && n.earlier) {
            if (!reportHolds(n, owners_.run))
                cutPartialBatch(n, owners_.run);
            else if (sys.lstat((earlier + "/claimed").c_str(), &st) == 0 &&
                     static_cast<unsigned long long>(st.st_dev) == n.claimedDev &&
                     static_cast<unsigned long long>(st.st_ino) == n.claimedIno)
                claimedFrom = static_cast<off_t>(n.readSize);
        }
        sys.unlink((earlier + "/delivery").c_str());
    }
    struct Copy {
        std::string path;
        off_t from;
        bool inOurDirectory;
    };
    const Copy copies[] = {{earlier + "/claimed", claimedFrom, true},
                           {earlier + "/merging", 0, true},
                           {raw_ + ".claimed", 0, false},
                           {raw_ + ".merging", 0, false}};
    for (const Copy& c : copies) {
        if (c.inOurDirectory && !ours)
            continue;
        std::string why;
        Fd source;
        if (c.inOurDirectory) {
            // Claimed copies keep the owner of the raw log they were.
            source = Fd(sys.open(c.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
            if (source.valid() &&
                (sys.fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode) || !owners_.has(st.st_uid)))
                source.reset();
        } else {
            Fd dir(sys.open(directoryOf(c.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
            if (dir.valid())
                source = Fd(openGuarded(dir.get(), baseName(c.path).c_str(), O_RDONLY, 0, owners_, why));
        }
        if (!source.valid())
            continue;  // nothing there, or nothing of ours: left as it is
        Drain d;
        if (sys.fstat(source.get(), &st) != 0)
            return fail(ClaimStep::Claim, c.path, errno);
        if (startDrain(d, c.path, c.from, st) != 0 ||
            runDrain(d, source, holdQuiet(source.get(), limits_.claimMs)) != 0)
            return -1;
    }
    if (ours && !inState) {
        for (const char* name : {"/lock", "/staging", "/merging.new", "/delivery.new"})
            sys.unlink((earlier + name).c_str());
        sys.rmdir(earlier.c_str());
    }
    return 0;
}
