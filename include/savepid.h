/* Pid file, process signalling and record locks (savepid, killproc, extlocks). */
#ifndef DRAX_SAVEPID_H
#define DRAX_SAVEPID_H

extern char pidfile[];

/* save_pid keeps the file open and its byte 0 locked for as long as the
   process lives (or until rm_pid): the lock shows that the recorded
   process is the daemon. A recorded process is believed to be the daemon
   while it holds that lock, or while it runs the caller's own program;
   kill_process and exists_pid signal no other (-2: the file is obsolete),
   and save_pid overwrites the file of any other. */
int save_pid(void);
void rm_pid(void);
int exists_pid(void);
int kill_process(const char *file, int sig);

int extblock(int fd, long start, long stop, int readwrite);
int extunlock(int fd, long start, long stop);
int exttrylock(int fd, long start, long stop);
long extlocker(int fd, long start, long stop);

/* 1 when process pid runs the same program file as the caller, 0 when it
   does not (or does not exist), -1 when the caller may not tell. */
int same_program(long pid);

#endif
