/* Pid file, process signalling and record locks (savepid, killproc, extlocks). */
#ifndef DRAX_SAVEPID_H
#define DRAX_SAVEPID_H

extern char pidfile[];

int save_pid(void);
void rm_pid(void);
int exists_pid(void);
int kill_process(const char *file, int sig);

int extblock(int fd, long start, long stop, int readwrite);
int extunlock(int fd, long start, long stop);

#endif
