/* Signalling the process named in a pid file. */
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>

#include "savepid.h"

/*
 * Reads the first decimal number of the stream the way fscanf's %d does
 * (blanks, an optional sign, digits), but without its undefined result for
 * numbers out of range: those read as 0.  Returns 0, or -1 when no number
 * begins the text.
 */
static int read_number(FILE *f, long *value)
{
    int c;
    do
        c = getc(f);
    while (c != EOF && isspace(c));
    int neg = 0;
    if (c == '-' || c == '+') {
        neg = c == '-';
        c = getc(f);
    }
    if (c == EOF || !isdigit(c))
        return -1;
    long v = 0;
    int big = 0;
    for (; c != EOF && isdigit(c); c = getc(f)) {
        if (v > (LONG_MAX - 9) / 10)
            big = 1;
        else
            v = v * 10 + (c - '0');
    }
    *value = big ? 0 : neg ? -v : v;
    return 0;
}

/*
 * Sends sig to the process whose id is the first number in file.
 * 0 sent, -1 no file or no number, -2 no such process, -3 any other
 * failure of kill.  A recorded number of 0 or less, or one beyond the range
 * of process ids, is never passed to kill (it would address a process group
 * or every process): it names no process, so the file is obsolete and the
 * result is -2, as save_pid also treats it.
 *
 * The recorded process is believed to be the one that wrote the file only
 * while it holds the file's lock (save_pid keeps it), or while it runs the
 * caller's own program (or the caller may not tell). Any other process
 * merely has the number of one that is gone: it is not signalled, and the
 * file is obsolete (-2).
 */
int kill_process(const char *file, int sig)
{
    FILE *f = fopen(file, "r");
    if (f == NULL)
        return -1;
    long number;
    int got = read_number(f, &number);
    long holder = got < 0 ? 0 : extlocker(fileno(f), 0, 0);
    fclose(f);
    if (got < 0)
        return -1;
    if (number <= 0 || number > INT_MAX)
        return -2;
    if (holder != number && same_program(number) == 0)
        return -2;
    if (kill((pid_t)number, sig) == 0)
        return 0;
    return errno == ESRCH ? -2 : -3;
}
