/*
 * Byte-range record locks, as used on the pid file.  Ranges are given by
 * their first and last byte, both inclusive.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "savepid.h"
#include "trace.h"

static int lock_range(int fd, int cmd, short type, long start, long stop)
{
    struct flock fl;
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = stop - start + 1;
    fl.l_pid = 0;
    return fcntl(fd, cmd, &fl);
}

/*
 * Takes an exclusive lock on bytes start..stop, waiting for it.  Only
 * write locks exist here: readwrite 0 takes no lock and gives -1.  A range
 * that ends before it starts (or starts below 0) gives -1 with EINVAL
 * without asking the system, which would read a length of 0 as "up to the
 * end of the file" and a negative one as the bytes before start.  A wait
 * interrupted by a signal fails (-1, EINTR); it is not retried.
 */
int extblock(int fd, long start, long stop, int readwrite)
{
    if (TC_GATE(tc_lock, 3))
        fprintf(tcfile, "extblock: fid %d start %08lx stop %08lx readwrite %d\n", fd,
                (unsigned long)start, (unsigned long)stop, readwrite);
    if (readwrite == 0)
        return -1;
    if (start < 0 || stop < start) {
        errno = EINVAL;
        return -1;
    }
    return lock_range(fd, F_SETLKW, F_WRLCK, start, stop) < 0 ? -1 : 0;
}

/* Releases bytes start..stop; same range rules as extblock. */
int extunlock(int fd, long start, long stop)
{
    if (TC_GATE(tc_lock, 3))
        fprintf(tcfile, "extunlock: fid %d start %08lx stop %08lx\n", fd,
                (unsigned long)start, (unsigned long)stop);
    if (start < 0 || stop < start) {
        errno = EINVAL;
        return -1;
    }
    return lock_range(fd, F_SETLK, F_UNLCK, start, stop);
}

/*
 * Takes an exclusive lock on bytes start..stop without waiting: 0, or -1
 * (errno EAGAIN or EACCES when another process holds a lock there).
 */
int exttrylock(int fd, long start, long stop)
{
    if (TC_GATE(tc_lock, 3))
        fprintf(tcfile, "exttrylock: fid %d start %08lx stop %08lx\n", fd,
                (unsigned long)start, (unsigned long)stop);
    if (start < 0 || stop < start) {
        errno = EINVAL;
        return -1;
    }
    return lock_range(fd, F_SETLK, F_WRLCK, start, stop) < 0 ? -1 : 0;
}

/*
 * The process that holds a lock on any of bytes start..stop, as another
 * process would see it: its id, 0 when none does (or only the caller), -1
 * when the system cannot tell.  The descriptor may be open for reading only.
 */
long extlocker(int fd, long start, long stop)
{
    if (start < 0 || stop < start) {
        errno = EINVAL;
        return -1;
    }
    struct flock fl;
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = stop - start + 1;
    fl.l_pid = 0;
    if (fcntl(fd, F_GETLK, &fl) < 0)
        return -1;
    return fl.l_type == F_UNLCK ? 0 : (long)fl.l_pid;
}
