// qmems: runs one of the platform's service control commands as root, for
// an operator who knows the password of the service account ems.
//
// Installed owned by root with the set-user-id bit. Every privilege decision
// is made here, in this order:
//   0. before main, the process can leave no core file and may not be
//      traced or read through /proc: it is about to hold secrets;
//   1. the arguments are checked before the identity changes;
//   2. the process becomes root: real, effective and saved user ids, and for
//      a caller who was not root also root's group ids and groups, and
//      root's resource limits and priority (those of process 1, no core
//      file, nice 0); the ids are read back, since a kernel without
//      CAP_SETUID may leave some;
//   3. the password of ems is asked on the terminal and tested, unless
//      "--exit" was given by root or by ems itself. A caller who typed three
//      wrong passwords lately is locked out for ten minutes without a test
//      (the failure tally, tally.h); a wrong one costs two seconds before
//      its verdict is shown; an expired account is refused;
//   4. a caller who was not root gets a clean environment and the trusted
//      search path, umask 022, every signal at its default, the root
//      directory as its working directory, the normal scheduling policy,
//      I/O priority and every CPU, so nothing of theirs steers the root
//      command;
//   5. the process becomes the verb's control command.
// Each decision goes to the system log (authpriv), as su and sudo do.

#include "messages.h"
#include "policy.h"
#include "tally.h"
#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <shadow.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#ifndef QMEMS_SECURE_PATH
#define QMEMS_SECURE_PATH "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
#endif
#ifndef QMEMS_TALLY_DIR
#define QMEMS_TALLY_DIR "/run/qmems"
#endif

namespace {

// The caller's core limit, which root's own calls hand on to the command.
struct rlimit callerCore;
bool callerCoreKnown = false;

// No core of this process, from before main on: it reads the shadow entry
// and the typed password. The soft limit goes to 0 (the hard one stays, so
// that root's own call can have its limit back without privilege), and the
// process is marked not dumpable, which no limit undoes.
[[gnu::constructor]] void noCoreFile()
{
    callerCoreKnown = getrlimit(RLIMIT_CORE, &callerCore) == 0;
    struct rlimit none = {0, callerCoreKnown ? callerCore.rlim_max : 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

uid_t callerUid;
std::string callerName;
const char* verb = "-";

void logDecision(int priority, const char* what)
{
    syslog(priority, "%s (uid %ld): %s: %s", callerName.c_str(), static_cast<long>(callerUid), verb, what);
}

[[noreturn]] void refuse(const char* reason)
{
    logDecision(LOG_WARNING, reason);
    fflush(stdout);
    exit(1);
}

}  // namespace

[[noreturn]] static void Usage()
{
    const char* const equals = "=================================================";
    printf("\n%s\n%s\n%49s\n%s\n%s\n\n", equals, MSG_BANNER_TITLE, "", MSG_BANNER_USAGE, equals);
    refuse("refused: usage");
}

namespace {

// The signals a terminal sends; the caller cannot send any other to a
// process that is wholly root. Once a password was typed they are ignored:
// they would cut the delay of a wrong one short, or end the launcher before
// its failure is counted. Root's own call gets them back before the exec.
const int kTerminalSignals[] = {SIGINT, SIGQUIT, SIGTSTP, SIGHUP};
struct sigaction savedTerminalActions[4];
bool terminalSignalsIgnored = false;

void ignoreTerminalSignals()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int i = 0; i < 4; ++i)
        sigaction(kTerminalSignals[i], &ignore, &savedTerminalActions[i]);
    terminalSignalsIgnored = true;
}

void restoreTerminalSignals()
{
    for (int i = 0; terminalSignalsIgnored && i < 4; ++i)
        sigaction(kTerminalSignals[i], &savedTerminalActions[i], nullptr);
}

// Root's resource limits and priority for a caller who is not root, as su
// and sudo give the target user's: every limit as process 1 (the root
// service manager) has it, but at most 1024 open files before the command
// raises its own limit (as systemd starts a root service: more breaks
// select()), no core file, nice 0. Without them a caller's tiny file-size
// limit would kill the root command in the middle of a write, and its
// raised core limit would leave a root core in its directory.
//
// Where root may not raise a hard limit (no CAP_SYS_RESOURCE, as in some
// containers) the limit goes as high as the caller's hard limit allows; if
// that leaves a limit that ends a process in the middle of its work (CPU
// time, file size, memory, stack) or fewer open files than a service gets
// below root's, the call is refused: 0, or -1 with the limit in shortfall.
int takeRootLimits(std::string& shortfall)
{
    const struct {
        const char* name;
        __rlimit_resource r;
        bool vital;  // a shortfall ends or breaks the command mid-work
    } kLimits[] = {
        {"RLIMIT_CPU", RLIMIT_CPU, true},
        {"RLIMIT_FSIZE", RLIMIT_FSIZE, true},
        {"RLIMIT_DATA", RLIMIT_DATA, true},
        {"RLIMIT_STACK", RLIMIT_STACK, true},
        {"RLIMIT_AS", RLIMIT_AS, true},
        {"RLIMIT_RTTIME", RLIMIT_RTTIME, true},
        {"RLIMIT_NOFILE", RLIMIT_NOFILE, true},
        {"RLIMIT_RSS", RLIMIT_RSS, false},
        {"RLIMIT_NPROC", RLIMIT_NPROC, false},
        {"RLIMIT_MEMLOCK", RLIMIT_MEMLOCK, false},
        {"RLIMIT_LOCKS", RLIMIT_LOCKS, false},
        {"RLIMIT_SIGPENDING", RLIMIT_SIGPENDING, false},
        {"RLIMIT_MSGQUEUE", RLIMIT_MSGQUEUE, false},
        {"RLIMIT_NICE", RLIMIT_NICE, false},
        {"RLIMIT_RTPRIO", RLIMIT_RTPRIO, false},
    };
    const rlim_t kServiceFiles = 1024;
    auto text = [](rlim_t v) { return v == RLIM_INFINITY ? std::string("unlimited") : std::to_string(v); };
    for (const auto& l : kLimits) {
        struct rlimit want;
        if (prlimit(1, l.r, nullptr, &want) != 0)
            want = {RLIM_INFINITY, RLIM_INFINITY};
        if (l.r == RLIMIT_NOFILE && want.rlim_cur > kServiceFiles)
            want.rlim_cur = kServiceFiles;
        if (setrlimit(l.r, &want) == 0)
            continue;
        struct rlimit best;
        bool got = getrlimit(l.r, &best) == 0;
        best.rlim_cur = want.rlim_cur < best.rlim_max ? want.rlim_cur : best.rlim_max;
        if (!got || setrlimit(l.r, &best) != 0 || (l.vital && best.rlim_cur < want.rlim_cur)) {
            shortfall = std::string(l.name) + " is " + text(best.rlim_cur) + ", below root's (" + text(want.rlim_cur) +
                        "), and cannot be raised here";
            return -1;
        }
    }
    struct rlimit none = {0, 0};
    if (setrlimit(RLIMIT_CORE, &none) != 0) {
        shortfall = "RLIMIT_CORE cannot be set to 0";
        return -1;
    }
    if (setpriority(PRIO_PROCESS, 0, 0) != 0) {
        shortfall = "the nice value cannot be set to 0";
        return -1;
    }
    return 0;
}

}  // namespace

// A wrong password costs this long, as with login and pam_unix, so that
// guessing the password that grants root is slow. The verdict is shown only
// when it is over.
constexpr int kFailDelaySeconds = 2;

[[noreturn]] static void refuseAfterDelay(const char* message, const char* reason)
{
    struct timespec left = {kFailDelaySeconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    printf("%s\n", message);
    refuse(reason);
}

// A caller locked out by the failure tally is told for how long and leaves.
[[noreturn]] static void refuseLockedOut(long long secondsLeft)
{
    printf(MSG_LOCKED_OUT "\n", static_cast<int>((secondsLeft + 59) / 60));
    std::string why = "refused: locked out after " + std::to_string(kTallyDeny) + " wrong passwords, " +
                      std::to_string(secondsLeft) + " s left";
    refuse(why.c_str());
}

// The failure tally of the caller, locked; a tally that cannot be kept
// refuses the call: without it guessing would be unbounded.
static void openTally(TallyFile& tally)
{
    if (tally.open(QMEMS_TALLY_DIR, callerUid) != 0) {
        fprintf(stderr, "qmems: failure tally %s\n", tally.why().c_str());
        refuse(("refused: failure tally unusable: " + tally.why()).c_str());
    }
}

// Asks for the password of ems and tests it; returns only when it is right.
// counted: the caller's wrong passwords are tallied (not for root).
static void testPassword(bool counted)
{
    struct spwd* sp = getspnam("ems");
    if (sp == nullptr || sp->sp_pwdp == nullptr) {
        printf("%s\n", MSG_NO_EMS);
        refuse("refused: no ems entry");
    }
    if (counted) {
        // Told before typing anything; the tally is not held while typing,
        // so a caller's launcher waiting at its prompt blocks no other.
        TallyFile tally;
        openTally(tally);
        if (long long left = lockedFor(tally.read(), tallyClock()))
            refuseLockedOut(left);
    }
    char typed[1024];
    PasswordRead read = PasswordRead::Failed;
    {
        NoEchoTerminal terminal;
        if (!terminal.open()) {
            printf("%s\n", MSG_NO_PASSWORD);
            refuse("refused: no terminal to read the password from");
        }
        printf("%s", MSG_PROMPT);
        fflush(stdout);
        read = terminal.readLine(typed, sizeof typed);
    }
    ignoreTerminalSignals();
    if (read == PasswordRead::Failed) {
        printf("%s\n", MSG_NO_PASSWORD);
        refuse("refused: password not read");
    }
    // The check, the test and the record under one lock: parallel launchers
    // of this caller are tested one at a time, and none after the limit.
    TallyFile tally;
    Tally before;
    if (counted) {
        openTally(tally);
        before = tally.read();
        if (long long left = lockedFor(before, tallyClock())) {
            explicit_bzero(typed, sizeof typed);
            refuseLockedOut(left);
        }
    }
    bool ok = read == PasswordRead::Line && passwordMatches(typed, sp->sp_pwdp);
    explicit_bzero(typed, sizeof typed);
    if (counted) {
        Tally after = ok ? Tally{} : afterFailure(before, tallyClock());
        if ((after.failures != before.failures || after.last != before.last) && tally.write(after) != 0)
            refuse("refused: failure tally could not be written");
        if (after.failures == kTallyDeny)
            logDecision(LOG_WARNING, "locked out for 600 s after 3 wrong passwords");
    }
    if (!ok)
        refuseAfterDelay(MSG_WRONG_PASSWORD, "refused: wrong password");
    if (accountExpired(sp->sp_expire, static_cast<long>(time(nullptr) / 86400))) {
        printf("%s\n", MSG_EXPIRED);
        refuse("refused: ems account expired");
    }
}

// True when the real, effective and saved ids are all root's (the group
// ids too when they were changed).
static bool wholeRoot(bool groupsChanged)
{
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0 || ru != 0 || eu != 0 || su != 0)
        return false;
    return !groupsChanged || (getresgid(&rg, &eg, &sg) == 0 && rg == 0 && eg == 0 && sg == 0);
}

// The command starts in a process of root's, not of the caller's: in the
// root directory, under the normal scheduling policy at the default I/O
// priority, free to run on every CPU. Otherwise a caller could starve a
// service restart they start (SCHED_IDLE, the idle I/O class, one busy CPU)
// or have it resolve relative names in a directory of theirs. 0, or -1
// with what could not be reset in shortfall.
static int cleanProcess(std::string& shortfall)
{
    if (chdir("/") != 0) {
        shortfall = std::string("cannot change to /: ") + strerror(errno);
        return -1;
    }
    struct sched_param normal = {};
    if (sched_setscheduler(0, SCHED_OTHER, &normal) != 0) {
        shortfall = std::string("the scheduling policy cannot be reset: ") + strerror(errno);
        return -1;
    }
    // IOPRIO_WHO_PROCESS, class none: the I/O priority follows the nice value.
    const int kWhoProcess = 1;
    if (syscall(SYS_ioprio_set, kWhoProcess, 0, 0) != 0) {
        shortfall = std::string("the I/O priority cannot be reset: ") + strerror(errno);
        return -1;
    }
    int cpus = get_nprocs_conf();
    cpu_set_t* all = CPU_ALLOC(cpus);
    if (!all) {
        shortfall = "the CPU affinity cannot be reset: out of memory";
        return -1;
    }
    size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, all);
    for (int c = 0; c < cpus; ++c)
        CPU_SET_S(c, size, all);
    // The kernel keeps what a cpuset allows of the mask.
    int rc = sched_setaffinity(0, size, all);
    CPU_FREE(all);
    if (rc != 0) {
        shortfall = std::string("the CPU affinity cannot be reset: ") + strerror(errno);
        return -1;
    }
    return 0;
}

// Every signal the caller ignored or blocked is back at its default.
static void defaultSignals()
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction sa;
        if (sigaction(sig, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN)
            signal(sig, SIG_DFL);
    }
}

int main(int argc, char** argv)
{
    callerUid = getuid();
    struct passwd* pw = getpwuid(callerUid);
    callerName = pw ? pw->pw_name : "#" + std::to_string(callerUid);
    openlog("qmems", LOG_PID, LOG_AUTHPRIV);

    const char* command = nullptr;
    bool exitGiven = false;
    if (checkArguments(argc, argv, &command, &exitGiven) != 0)
        Usage();
    verb = argv[1];

    if (setresuid(0, 0, 0) < 0) {
        if (errno == EPERM) {
            const char* self = argv[0];
            printf("\n%s\n#chown root %s\n#chmod u+s  %s\n\n", MSG_NOT_INSTALLED, self, self);
        }
        refuse("refused: not installed set-user-id root");
    }
    // Root's own calls keep their groups, as they keep everything else.
    bool fromUser = callerUid != 0;
    if (fromUser && (setresgid(0, 0, 0) != 0 || initgroups("root", 0) != 0))
        refuse("refused: root's groups could not be taken");
    if (!wholeRoot(fromUser))
        refuse("refused: the change to root left ids of the caller");
    std::string shortfall;
    if (fromUser && takeRootLimits(shortfall) != 0) {
        fprintf(stderr, "qmems: %s\n", shortfall.c_str());
        refuse(("refused: root's resource limits could not be taken: " + shortfall).c_str());
    }

    struct passwd* ems = getpwnam("ems");
    bool emsKnown = ems != nullptr;
    uid_t emsUid = emsKnown ? ems->pw_uid : 0;
    if (!maySkipPassword(exitGiven, callerUid, emsKnown, emsUid))
        testPassword(fromUser);

    char commandBuf[32] = {};
    snprintf(commandBuf, sizeof commandBuf, "%s", command);
    char* const commandArgv[] = {commandBuf, nullptr};

    // Root ran us: its environment and PATH are its own business.
    std::vector<std::string> env;
    std::vector<char*> envp;
    if (fromUser) {
        umask(022);
        defaultSignals();
        if (cleanProcess(shortfall) != 0) {
            fprintf(stderr, "qmems: %s\n", shortfall.c_str());
            refuse(("refused: " + shortfall).c_str());
        }
        RootAccount root;
        if (struct passwd* r = getpwuid(0)) {
            if (r->pw_dir && *r->pw_dir)
                root.home = r->pw_dir;
            if (r->pw_shell && *r->pw_shell)
                root.shell = r->pw_shell;
        }
        env = safeEnvironment(environ, QMEMS_SECURE_PATH, root);
        for (std::string& e : env)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        environ = envp.data();
    } else {
        restoreTerminalSignals();
        if (callerCoreKnown)
            setrlimit(RLIMIT_CORE, &callerCore);
    }

    logDecision(LOG_NOTICE, "granted");
    closelog();
    fflush(stdout);
    closefrom(3);
    execvp(commandBuf, commandArgv);

    int err = errno;
    openlog("qmems", LOG_PID, LOG_AUTHPRIV);
    if (err == EACCES) {
        printf("%s\n", MSG_EXEC_FORBIDDEN);
    } else {
        errno = err;
        perror(MSG_EXEC_FAILED);
    }
    refuse("refused: exec failed");
}
