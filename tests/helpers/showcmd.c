/* Stands in for a control command in the launcher's tests: prints who runs
 * it, with which arguments and which environment. */
#include <stdio.h>
#include <fcntl.h>
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
    return 0;
}
