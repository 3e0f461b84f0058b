/* Trace facility: one trace file, four dimensions, the -z option. */
#ifndef DRAX_TRACE_H
#define DRAX_TRACE_H

#include <stdio.h>

extern FILE *tcfile;
extern int tc_in;
extern int tc_out;
extern int tc_proc;
extern int tc_lock;

int tc_getopt(int argc, char *const argv[], const char *optstring);
int tc_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
int tc_enumdim(int *index, const char **name, int *level);
void tc_reset(void);

/* The gate "traced at D level N". */
#define TC_GATE(level_var, n) (tcfile != NULL && (level_var) >= (n))

#endif
