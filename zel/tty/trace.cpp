/*
 * Trace facility: one trace file and four named dimensions with integer
 * levels, all chosen through the -z option that tc_getopt folds into the
 * program's own options.
 *
 *   -z in=N -z out=N -z proc=N -z lock=N     set a dimension's level
 *   -z tracefile=NAME                        name the trace file (%p = pid)
 *
 * The file (default "zeltty.trc") is opened, appending, when the scan ends
 * and at least one level was given.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "trace.h"

FILE *tcfile = NULL;
int tc_in = 0;
int tc_out = 0;
int tc_proc = 0;
int tc_lock = 0;

#define TC_OPTLEN 100   /* "z:" and the caller's option string, with NUL */
#define TC_ARGLEN 100   /* one -z argument, with NUL */
#define TC_NAMELEN 128  /* trace file name, with NUL */

static const char default_tfname[] = "zeltty.trc";

static char tfname[TC_NAMELEN] = "";
static int saw_a_z = 0;
static int ever_called = 0;
static int saved_optind = 0;
static int scan_start = 1;  /* the next tc_getopt begins a scan */

static const struct {
    const char *name;
    int *level;
} dims[] = {
    {"in", &tc_in},
    {"out", &tc_out},
    {"proc", &tc_proc},
    {"lock", &tc_lock},
};
static const int ndims = sizeof dims / sizeof dims[0];

static void first_call(void)
{
    if (!ever_called) {
        saved_optind = optind;
        ever_called = 1;
    }
}

static int *tc_findvar(const char *name)
{
    for (int i = 0; i < ndims; i++)
        if (strcmp(dims[i].name, name) == 0)
            return dims[i].level;
    return NULL;
}

/*
 * Applies one -z argument, "keyword=value".
 *
 * An argument longer than 99 characters is refused as a whole with a
 * warning: cutting it short could set a level or a file name that nobody
 * asked for.  A known keyword without a value ("proc", "proc=",
 * "tracefile", "tracefile=") is ignored with a warning and changes
 * nothing; in particular it does not count as a dimension setting.
 */
static void setopt(const char *progname, const char *arg)
{
    char work[TC_ARGLEN];

    if (strlen(arg) >= sizeof work) {
        fprintf(stderr, "%s: warning: trace option longer than %d characters ignored\n",
                progname, TC_ARGLEN - 1);
        return;
    }
    strcpy(work, arg);

    char *keyword = work;
    while (*keyword == '=')
        keyword++;
    if (*keyword == '\0')
        return;
    char *value = strchr(keyword, '=');
    if (value != NULL)
        *value++ = '\0';

    int *level = tc_findvar(keyword);
    int is_file = strcmp(keyword, "tracefile") == 0;
    if (level == NULL && !is_file) {
        fprintf(stderr, "%s: warning: unrecognized trace option %s\n", progname, keyword);
        return;
    }
    if (value == NULL || *value == '\0') {
        fprintf(stderr, "%s: warning: trace option %s has no value, ignored\n", progname,
                keyword);
        return;
    }
    if (is_file) {
        /* Cannot be too long here: the value is shorter than the argument. */
        strcpy(tfname, value);
        return;
    }
    *level = atoi(value);
    saw_a_z = 1;
}

/*
 * Expands the trace file name in place: %p is the process id, %% a single
 * %, % before any other character is dropped, a trailing % is dropped.
 * Returns -1, leaving the name as it was, when the result would not fit in
 * 127 characters; the caller then opens no trace file rather than one
 * under a cut-down name.
 */
static int tfprocess(char *name)
{
    char out[TC_NAMELEN];
    size_t n = 0;

    for (const char *s = name; *s != '\0'; s++) {
        char piece[24];
        size_t len;
        if (*s != '%') {
            piece[0] = *s;
            len = 1;
        } else if (s[1] == '\0') {
            break;
        } else if (s[1] == 'p') {
            len = (size_t)snprintf(piece, sizeof piece, "%d", (int)getpid());
            s++;
        } else {
            piece[0] = s[1];
            len = 1;
            s++;
        }
        if (n + len >= sizeof out)
            return -1;
        memcpy(out + n, piece, len);
        n += len;
    }
    out[n] = '\0';
    strcpy(name, out);
    return 0;
}

/*
 * Makes glibc's getopt start afresh while keeping optind: it remembers a
 * position inside a group of options ("-kd") that an abandoned scan may
 * have left behind, and it reads the '+' of the option string only when it
 * starts afresh, which optind = 0 asks for.  An empty scan with
 * optind = 0 does that; optind is then put back.
 */
static void restart_getopt(const char *combined)
{
    char empty0[] = "";
    char *empty[] = {empty0, NULL};
    int keep = optind;
    optind = 0;
    getopt(1, empty, combined);
    optind = keep;
}

/*
 * getopt with the -z option folded in.
 *
 * The combined option string starts with '+': glibc's getopt otherwise
 * permutes the command line and would take option-like words of the
 * command that follows the options (for Zelptyd, the command for Zeltty)
 * as options of its own.  With '+' the scan stops at the first word that
 * is not an option, as System V getopt does.
 *
 * A caller option string of more than 97 characters is refused like one
 * that contains z: a message on standard error and -1.
 *
 * Called again after it has returned -1 (without tc_reset), it returns
 * what getopt returns; it never opens a second stream on the trace file
 * while one is open.
 */
int tc_getopt(int argc, char *const argv[], const char *optstring)
{
    char combined[TC_OPTLEN + 1];
    const char *progname = argc > 0 && argv[0] != NULL ? argv[0] : "";

    first_call();

    if (strchr(optstring, 'z') != NULL) {
        fprintf(stderr, "%s: tc_getopt error: multiply defined z option\n", progname);
        return -1;
    }
    if (strlen(optstring) > TC_OPTLEN - 3) {
        fprintf(stderr, "%s: tc_getopt error: option string longer than %d characters\n",
                progname, TC_OPTLEN - 3);
        return -1;
    }
    snprintf(combined, sizeof combined, "+z:%s", optstring);
    if (scan_start) {
        restart_getopt(combined);
        scan_start = 0;
    }

    int c;
    while ((c = getopt(argc, argv, combined)) == 'z')
        setopt(progname, optarg);
    if (c != -1)
        return c;
    if (!saw_a_z || tcfile != NULL)
        return -1;

    if (tfname[0] == '\0')
        strcpy(tfname, default_tfname);
    if (tfprocess(tfname) < 0) {
        fprintf(stderr, "%s: warning: trace file name %s too long once expanded, no trace\n",
                progname, tfname);
        return -1;
    }
    tcfile = fopen(tfname, "a");
    return -1;
}

/* With no trace file open nothing is written and the result is 0. */
int tc_printf(const char *format, ...)
{
    if (tcfile == NULL)
        return 0;
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(tcfile, format, ap);
    va_end(ap);
    return n;
}

int tc_enumdim(int *index, const char **name, int *level)
{
    int i = *index;
    if (i < 0 || i >= ndims)
        return 0;
    *name = dims[i].name;
    *level = *dims[i].level;
    *index = i + 1;
    return 1;
}

/* Back to the state before the first scan. */
void tc_reset(void)
{
    first_call();
    if (tcfile != NULL) {
        fclose(tcfile);
        tcfile = NULL;
    }
    for (int i = 0; i < ndims; i++)
        *dims[i].level = 0;
    saw_a_z = 0;
    optind = saved_optind;
    tfname[0] = '\0';
    scan_start = 1;
}
