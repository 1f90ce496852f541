/* Stands in for a control command in the launcher's tests: prints who runs
 * it, with which arguments, environment and inherited process state. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

static int fcntl_is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

extern char **environ;

int main(int argc, char **argv)
{
    printf("ruid=%d euid=%d argc=%d\n", (int)getuid(), (int)geteuid(), argc);
    for (int i = 0; i < argc; ++i)
        printf("argv[%d]=%s\n", i, argv[i]);
    for (char **e = environ; *e; ++e)
        printf("env %s\n", *e);
    int open_fds = 0;
    for (int fd = 3; fd < 1024; ++fd)
        if (fcntl_is_open(fd))
            ++open_fds;
    printf("fds-above-2=%d\n", open_fds);

    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    getresuid(&ru, &eu, &su);
    getresgid(&rg, &eg, &sg);
    printf("uids=%d,%d,%d gids=%d,%d,%d\n", (int)ru, (int)eu, (int)su, (int)rg, (int)eg, (int)sg);
    gid_t groups[256];
    int n = getgroups(256, groups);
    printf("groups=");
    for (int i = 0; i < n; ++i)
        printf("%s%d", i ? "," : "", (int)groups[i]);
    mode_t mask = umask(0);
    printf("\numask=%03o\n", (unsigned)mask);
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, NULL, &blocked);
    printf("ignored=");
    for (int sig = 1, first = 1; sig < 32; ++sig) {
        struct sigaction sa;
        if (sigaction(sig, NULL, &sa) == 0 && sa.sa_handler == SIG_IGN) {
            printf("%s%d", first ? "" : ",", sig);
            first = 0;
        }
    }
    printf("\nblocked=");
    for (int sig = 1, first = 1; sig < 32; ++sig) {
        if (sigismember(&blocked, sig)) {
            printf("%s%d", first ? "" : ",", sig);
            first = 0;
        }
    }
    printf("\nnice=%d\nrlimits=", getpriority(PRIO_PROCESS, 0));
    for (int r = 0; r < RLIM_NLIMITS; ++r) {
        struct rlimit l;
        getrlimit(r, &l);
        printf("%s%lld:%lld", r ? "," : "", l.rlim_cur == RLIM_INFINITY ? -1LL : (long long)l.rlim_cur,
               l.rlim_max == RLIM_INFINITY ? -1LL : (long long)l.rlim_max);
    }
    char cwd[4096];
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    sched_getaffinity(0, sizeof cpus, &cpus);
    printf("\ncwd=%s\npolicy=%d\nioprio=%ld\ncpus=%d\n", getcwd(cwd, sizeof cwd) ? cwd : "?",
           sched_getscheduler(0), (long)syscall(SYS_ioprio_get, 1, 0), CPU_COUNT(&cpus));
    return 0;
}
