/* Zelptyd: the terminal-service listener daemon. Its configuration,
   state and operations, shared by its sources and its tests. */
#ifndef DRAX_PTYD_H
#define DRAX_PTYD_H

#include <signal.h>
#include <tiuser.h>

#include "ravzel.h"

#define TTY_ARGC_MAX 32         /* slots of tty_argv, the closing null included */
#define SERVICE_NAME_LEN 128

/* Session limits: Zeltty sessions started and not yet collected, in all
   and per caller host (network and node). Calls beyond them are refused. */
#define SESSIONS_MAX 128
#define CALLER_SESSIONS_MAX 32

/* Configuration: written during start-up, only read afterwards. */
extern char *spxdev;
extern int sock;
extern struct ipx_addr laddr;
extern int service_type;
extern char service_name[SERVICE_NAME_LEN];
extern char *tty_argv[TTY_ARGC_MAX];
extern int trace;
extern int reject;
extern int dropsome;
extern int ackdelay;
extern int tracespx;
extern int sackincr;
extern char *prog;
extern int nodenum;             /* host number of -h; -1 when none was given */
extern char zel_home[100];

/* The stop signal received, 0 while none; set by clean_exit. */
extern volatile sig_atomic_t stop_signal;

/* The limits in force (at most SESSIONS_MAX in all), and the process id
   that the last do_fork gave (-1 when the fork failed). */
extern int max_sessions;
extern int max_caller_sessions;
extern pid_t last_child;

/* Version texts. */
const char *get_version(void);
const char *get_copyright(void);
const char *get_companyname(void);
const char *get_revdate(void);

/* Command line and configuration. */
void usage(void);
int get_options(int argc, char **argv, char *name);
int servicename_setup(const char *name);

/* Start-up, life cycle, kill mode. */
int daemonize(int keep_attached, int keep_fd);
void sig_setup(void);
void chld_dead(int sig);
void clean_exit(int sig);
void check_stop(void);
int kill_ptyd(void);

/* Listener loop and hand-off. */
void serve(void);
int do_fork(int fd, char **argv);
int take_pending(int *seq, struct ipx_addr *caller);
int accept_look(int lfd, int seq);
int refuse(int lfd, int seq);

/* TLI endpoint operations. */
int do_bind(int fd, struct ipx_addr *addr, int qlen);
int do_listen(int fd, struct ipx_addr *addr, int *seq);
int do_accept(int fd, int resfd, int seq, struct ipx_addr *addr);
int do_noaccept(int fd, int seq);
int do_unbind(int fd);
void do_terror(int fd, const char *op);
void dump_addr(const struct ipx_addr *addr);
void netbuf_dump(const struct netbuf *nb);

/* SPX options: the record exchanged with the provider, 8 bytes, the 16-bit
   fields in host byte order. */
struct spx_opts {
    unsigned char flags;
    unsigned char rsrv;         /* low 4 bits: the provider's trace level */
    unsigned short ackdel;
    unsigned short sackdel;
    unsigned short max;
};
static_assert(sizeof(struct spx_opts) == 8, "spx_opts must be 8 bytes");

int do_trace_set(int fd, int level);
int do_rsrv_set(int fd, int value);
int do_ackdelay_set(int fd, int delay);
int do_sackdel_incr(int fd);

/* Service advertisement. */
int sap_inform(void);
void sap_clear(void);
const char *sap_result_text(int r);

#endif
