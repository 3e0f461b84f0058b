/*
 * The pid file: the daemon's process id in decimal and a newline, written
 * at offset 0 under an exclusive lock on byte 0.  The file is never
 * truncated; readers take its first number only.
 *
 * The daemon keeps that lock for its whole life (the descriptor stays open,
 * closed on exec so that connection programs do not inherit it; a forked
 * child never inherits the lock itself).  A recorded id is believed only
 * while its process holds the lock, or runs the same program as the
 * caller: pid files left behind by a crash, an exit 1 or a SIGKILL, whose
 * number the system has since given to some unrelated process, neither
 * block a start nor get that process killed.
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

/* The claimed pid file, locked while it stays open; -1 when none. */
static int pid_fd = -1;

int same_program(long pid)
{
    char path[64];
    struct stat mine, theirs;

    snprintf(path, sizeof path, "/proc/%ld/exe", pid);
    if (stat("/proc/self/exe", &mine) < 0)
        return -1;
    if (stat(path, &theirs) < 0)
        return errno == EACCES || errno == EPERM ? -1 : 0;
    return mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

/*
 * True when text (the file's first bytes) begins with a positive number
 * naming a process that exists, whether or not we may signal it, and that
 * runs our own program (or may be, when we cannot tell).  Numbers too large
 * for a process id name no process.
 */
static int names_live_daemon(const char *text)
{
    errno = 0;
    long pid = strtol(text, NULL, 10);
    if (pid <= 0 || pid > INT_MAX || errno == ERANGE)
        return 0;
    if (kill((pid_t)pid, 0) < 0 && errno == ESRCH)
        return 0;
    return same_program(pid) != 0;
}

/* The file lost its last name (rm_pid) after we opened it. A failing fstat
   counts as still linked. */
static int removed(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_nlink == 0;
}

/* The first 32 bytes of the file name a live daemon. */
static int held(int fd)
{
    char text[33];
    ssize_t n = pread(fd, text, 32, 0);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    return names_live_daemon(text);
}

/*
 * Claims the pid file.  0: our id written, and the lock kept;  -1: cannot
 * open or lock;  -2: another process holds the lock (a running daemon, or
 * a claim or removal under way), the file names a live daemon that holds
 * no lock, or it was removed meanwhile.  Then the file is left as it was.
 * A process holds one claim: an earlier one of its own is given up.
 */
int save_pid(void)
{
    mode_t old = umask(002);
    int fd = open(pidfile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    umask(old);
    if (pid_fd >= 0) {
        close(pid_fd);
        pid_fd = -1;
    }
    if (fd < 0)
        return -1;
    /* Not waiting: a running daemon holds this lock for ever. */
    if (exttrylock(fd, 0, 0) < 0) {
        int busy = errno == EAGAIN || errno == EACCES;
        close(fd);
        return busy ? -2 : -1;
    }

    if (removed(fd) || held(fd)) {
        extunlock(fd, 0, 0);
        close(fd);
        return -2;
    }
    char line[24];
    int len = snprintf(line, sizeof line, "%d\n", (int)getpid());
    if (lseek(fd, 0, SEEK_SET) == 0 && write(fd, line, (size_t)len) < 0) {
        /* not examined: nothing better to do than go on */
    }
    pid_fd = fd;
    return 0;
}

void rm_pid(void)
{
    int fd = open(pidfile, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        /* Our own claim's lock is granted at once. */
        if (extblock(fd, 0, 0, 1) == 0) {
            unlink(pidfile);
            extunlock(fd, 0, 0);
        }
        close(fd);
    }
    if (pid_fd >= 0) {
        close(pid_fd);
        pid_fd = -1;
    }
}

int exists_pid(void)
{
    return kill_process(pidfile, 0);
}
