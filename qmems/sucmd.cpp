// qmems: runs one of the platform's service control commands as root, for
// an operator who knows the password of the service account ems.
//
// Installed owned by root with the set-user-id bit. Every privilege decision
// is made here, in this order:
//   1. the arguments are checked before the identity changes;
//   2. the process becomes root (setuid(0));
//   3. the password of ems is asked and tested, unless "--exit" was given by
//      root or by ems itself;
//   4. a caller who was not root gets a clean environment and the trusted
//      search path, so nothing of theirs steers the root command;
//   5. the process becomes the verb's control command.
// Each decision goes to the system log (authpriv), as su and sudo do.

#include "messages.h"
#include "policy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <shadow.h>
#include <string>
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

// Asks for the password of ems and tests it; returns only when it is right.
static void testPassword()
{
    struct spwd* sp = getspnam("ems");
    if (sp == nullptr || sp->sp_pwdp == nullptr) {
        printf("%s\n", MSG_NO_EMS);
        refuse("refused: no ems entry");
    }
    printf("%s", MSG_PROMPT);
    fflush(stdout);
    char* typed = getpass("");
    if (typed == nullptr) {
        printf("%s\n", MSG_NO_PASSWORD);
        refuse("refused: password not read");
    }
    bool ok = passwordMatches(typed, sp->sp_pwdp);
    explicit_bzero(typed, strlen(typed));
    if (!ok) {
        printf("%s\n", MSG_WRONG_PASSWORD);
        refuse("refused: wrong password");
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

    if (setuid(0) < 0) {
        if (errno == EPERM) {
            const char* self = argv[0];
            printf("\n%s\n#chown root %s\n#chmod u+s  %s\n\n", MSG_NOT_INSTALLED, self, self);
        }
        refuse("refused: not installed set-user-id root");
    }

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
    if (callerUid != 0) {
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
