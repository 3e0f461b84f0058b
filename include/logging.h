/* Event log (shared runtime library, logging). */
#ifndef DRAX_LOGGING_H
#define DRAX_LOGGING_H

#include <stdio.h>
#include <sys/types.h>

extern FILE *logfile;

int open_log(const char *name);
void chown_log(const char *name, uid_t uid, gid_t gid);
void log_new(void);
void log_msg(const char *format, ...) __attribute__((format(printf, 1, 2)));
void close_log(void);

#endif
