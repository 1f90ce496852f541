// qmems: runs one of the platform's service control commands as root, for
// an operator who knows the password of the service account ems.
//
// Installed owned by root with the set-user-id bit. Every privilege decision
// is made here, in this order:
//   1. the arguments are checked before the identity changes;
//   2. the process becomes root: real, effective and saved user ids, and for
//      a caller who was not root also root's group ids and groups; the ids
//      are read back, since a kernel without CAP_SETUID may leave some;
//   3. the password of ems is asked on the terminal and tested, unless
//      "--exit" was given by root or by ems itself; a wrong one costs two
//      seconds, an expired account is refused;
//   4. a caller who was not root gets a clean environment and the trusted
//      search path, umask 022 and every signal at its default, so nothing
//      of theirs steers the root command;
//   5. the process becomes the verb's control command.
// Each decision goes to the system log (authpriv), as su and sudo do.

#include "messages.h"
#include "policy.h"
#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <shadow.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#ifndef QMEMS_SECURE_PATH
#define QMEMS_SECURE_PATH "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
#endif

namespace {

uid_t callerUid;
std::string callerName;
const char* verb = "-";

void logDecision(int priority, const char* what)
{
    syslog(priority, "%s (uid %ld): %s: %s", callerName.c_str(), static_cast<long>(callerUid), verb,
           what);
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

// A wrong password costs this long, as with login and pam_unix, so that
// guessing the password that grants root is slow.
constexpr int kFailDelaySeconds = 2;

[[noreturn]] static void refuseAfterDelay(const char* reason)
{
    // The terminal's signals would cut the delay short; the caller cannot
    // send any other to a process that is wholly root by now.
    for (int sig : {SIGINT, SIGQUIT, SIGTSTP, SIGHUP})
        signal(sig, SIG_IGN);
    struct timespec left = {kFailDelaySeconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    refuse(reason);
}

// Asks for the password of ems and tests it; returns only when it is right.
static void testPassword()
{
    struct spwd* sp = getspnam("ems");
    if (sp == nullptr || sp->sp_pwdp == nullptr) {
        printf("%s\n", MSG_NO_EMS);
        refuse("refused: no ems entry");
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
    if (read == PasswordRead::Failed) {
        printf("%s\n", MSG_NO_PASSWORD);
        refuse("refused: password not read");
    }
    bool ok = read == PasswordRead::Line && passwordMatches(typed, sp->sp_pwdp);
    explicit_bzero(typed, sizeof typed);
    if (!ok) {
        printf("%s\n", MSG_WRONG_PASSWORD);
        fflush(stdout);
        refuseAfterDelay("refused: wrong password");
    }
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

    struct passwd* ems = getpwnam("ems");
    bool emsKnown = ems != nullptr;
    uid_t emsUid = emsKnown ? ems->pw_uid : 0;
    if (!maySkipPassword(exitGiven, callerUid, emsKnown, emsUid))
        testPassword();

    char commandBuf[32] = {};
    snprintf(commandBuf, sizeof commandBuf, "%s", command);
    char* const commandArgv[] = {commandBuf, nullptr};

    // Root ran us: its environment and PATH are its own business.
    std::vector<std::string> env;
    std::vector<char*> envp;
    if (fromUser) {
        umask(022);
        defaultSignals();
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
