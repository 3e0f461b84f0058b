/*
 * Time stamps for daemons that log to standard error (in the foreground):
 * "2025-05-20 14:03:07.215 " in local time. No stamp when standard error is
 * systemd's journal (JOURNAL_STREAM names it), which stamps every line
 * itself, nor for syslog, which does the same.
 */
#ifndef DRAX_LOGSTAMP_H
#define DRAX_LOGSTAMP_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

/* Whether standard error is the journal (checked once). */
static inline int logstamp_to_journal(void)
{
    static int known = -1;
    if (known < 0) {
        const char *js = getenv("JOURNAL_STREAM");
        unsigned long long dev = 0, ino = 0;
        struct stat st;
        known = js != NULL && sscanf(js, "%llu:%llu", &dev, &ino) == 2 && fstat(2, &st) == 0 &&
                (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino;
    }
    return known;
}

/* Writes the stamp of `now` into buf (at least 32 bytes); "" for the journal. */
static inline const char *logstamp_format(char *buf, size_t size, const struct timespec *now)
{
    struct tm tm;
    buf[0] = '\0';
    if (logstamp_to_journal() || localtime_r(&now->tv_sec, &tm) == NULL)
        return buf;
    size_t n = strftime(buf, size, "%Y-%m-%d %H:%M:%S", &tm);
    if (n > 0)
        snprintf(buf + n, size - n, ".%03ld ", now->tv_nsec / 1000000L);
    return buf;
}

/* The stamp of the current time (wall clock), in buf. */
static inline const char *logstamp(char *buf, size_t size)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return logstamp_format(buf, size, &now);
}

#endif
