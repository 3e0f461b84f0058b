/*
 * Event log: an append-only text file of entries.  An entry is a time
 * stamp line (ctime's 24 characters) followed by tab-indented message
 * lines; every line ends in CR LF and every message is flushed at once.
 */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "logging.h"

FILE *logfile = NULL;

static time_t t = 0;     /* time of the current entry's stamp; 0: none yet */
static int acc = 0;      /* access() of the log before open_log: -1 = created */
static char stamp[27];   /* 24 characters, CR, LF, NUL */

/*
 * Opening a log while one is open closes the first; the new file starts
 * with a new entry (its first message writes a stamp).
 */
int open_log(const char *name)
{
    close_log();
    t = 0;
    acc = access(name, F_OK);
    logfile = fopen(name, "a");
    return logfile != NULL ? 0 : -1;
}

void chown_log(const char *name, uid_t uid, gid_t gid)
{
    if (acc >= 0)
        return;
    (void)chmod(name, 0644);
    if (chown(name, uid, gid) < 0) {
        /* ignored: the log works whoever owns it */
    }
}

void log_new(void)
{
    t = 0;
}

/*
 * log_msg takes a variable argument list, checked against its format by
 * the compiler.  The stamp is the time of an entry's first message.
 */
void log_msg(const char *format, ...)
{
    if (logfile == NULL)
        return;
    if (t == 0) {
        char text[32];
        t = time(NULL);
        if (ctime_r(&t, text) == NULL || strlen(text) != 25) {
            /* A time that ctime cannot show in 24 characters. */
            strcpy(text, "??? ??? ?? ??:??:?? ????\n");
        }
        memcpy(stamp, text, 24);
        stamp[24] = '\r';
        stamp[25] = '\n';
        stamp[26] = '\0';
        fprintf(logfile, "%s", stamp);
    }
    putc('\t', logfile);
    va_list ap;
    va_start(ap, format);
    vfprintf(logfile, format, ap);
    va_end(ap);
    fputs("\r\n", logfile);
    fflush(logfile);
}

void close_log(void)
{
    if (logfile != NULL) {
        fclose(logfile);
        logfile = NULL;
    }
}
