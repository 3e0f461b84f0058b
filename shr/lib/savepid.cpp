/*
 * The pid file: the daemon's process id in decimal and a newline, written
 * at offset 0 under an exclusive lock on byte 0.  The file is never
 * truncated; readers take its first number only.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "savepid.h"

/* Relative to the working directory; room for a longer path. */
char pidfile[256] = "ptyd.pid";

/*
 * True when text (the file's first bytes) begins with a positive number
 * naming a process that exists, whether or not we may signal it.  Numbers
 * too large for a process id name no process.
 */
static int names_live_process(const char *text)
{
    errno = 0;
    long pid = strtol(text, NULL, 10);
    if (pid <= 0 || pid > INT_MAX || errno == ERANGE)
        return 0;
    return kill((pid_t)pid, 0) == 0 || errno != ESRCH;
}

/* The file lost its last name (rm_pid) while we waited for its lock. A
   failing fstat counts as still linked. */
static int removed(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_nlink == 0;
}

/* The first 32 bytes of the file name a live process. */
static int held(int fd)
{
    char text[33];
    ssize_t n = pread(fd, text, 32, 0);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    return names_live_process(text);
}

/*
 * Claims the pid file.  0: our id written; -1: cannot open or lock;
 * -2: a live process holds it, or it was removed while we waited for the
 * lock.  Either way the file is left as it was.
 */
int save_pid(void)
{
    mode_t old = umask(002);
    int fd = open(pidfile, O_RDWR | O_CREAT, 0666);
    umask(old);
    if (fd < 0)
        return -1;
    if (extblock(fd, 0, 0, 1) < 0) {
        close(fd);
        return -1;
    }

    int result = -2;
    if (!removed(fd) && !held(fd)) {
        char line[24];
        int len = snprintf(line, sizeof line, "%d\n", (int)getpid());
        if (lseek(fd, 0, SEEK_SET) == 0 && write(fd, line, (size_t)len) < 0) {
            /* not examined: nothing better to do than go on */
        }
        result = 0;
    }
    extunlock(fd, 0, 0);
    close(fd);
    return result;
}

void rm_pid(void)
{
    int fd = open(pidfile, O_RDWR);
    if (fd < 0)
        return;
    if (extblock(fd, 0, 0, 1) < 0) {
        close(fd);
        return;
    }
    unlink(pidfile);
    extunlock(fd, 0, 0);
    close(fd);
}

int exists_pid(void)
{
    return kill_process(pidfile, 0);
}
