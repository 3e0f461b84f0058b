/*
 * Zelptyd: the SPX terminal-service listener.
 *
 * Start-up works inside the installation directory, advertises the service
 * through Ombrad (SAP type 0x247), listens for SPX connect indications on
 * socket 0x8063 and hands every accepted connection to ./Zeltty on its
 * descriptor 0. A pid file keeps a second copy from starting; `-k` stops the
 * running one.
 *
 * Signals only record what happened. SIGCHLD collects finished children;
 * SIGTERM, SIGINT and SIGQUIT set `stop_signal`, and the main flow acts on it
 * at once: the blocked listen and the wait for Ombrad come back interrupted
 * and check_stop() then withdraws the advertisement, removes the pid file
 * and exits 0.
 *
 * A call costs only its caller: when its endpoint cannot be opened, bound,
 * tuned or accepted on, or when the caller has hung up, or when the session
 * limits are reached, that one call is refused (or dropped) and logged and
 * the daemon listens again. Only a listening endpoint that itself fails
 * ends the service, in order: refuse what still waits, unbind, remove the
 * pid file, exit 0.
 */
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <tiuser.h>

#include "logging.h"
#include "ptyd.h"
#include "ravzel.h"
#include "savepid.h"
#include "trace.h"
#include "uniconv.h"
#include "zelhome.h"

static char arg_zeltty[] = "Zeltty";
static char arg_login[] = "/bin/login";
static char dev_ravspx[] = "/dev/ravspx";
static const char log_name[] = "log.zel";

char *spxdev = NULL;
int sock = 0x8063;
struct ipx_addr laddr = {{0, 0, 0, 0}, {0, 0, 0, 0, 0, 1}, {0, 0}};
int service_type = 0x247;
char service_name[SERVICE_NAME_LEN];
char *tty_argv[TTY_ARGC_MAX] = {arg_zeltty, arg_login};
int trace = 0;
int reject = 0;
int dropsome = 0;
int ackdelay = -1;
int tracespx = 0;
int sackincr = 0;
char *prog = NULL;
int nodenum = -1;
char zel_home[100];

volatile sig_atomic_t stop_signal = 0;

/* Session limits (built in; see the README). A caller is not yet
   authenticated when it calls, so without a bound anyone who can reach the
   socket could have a Zeltty, a login and a pty started for every call
   until the host runs out of ptys or processes. A session counts from the
   fork of its Zeltty until the daemon collects it. The caller's address is
   its network and node: all calls from one host count together. */
int max_sessions = SESSIONS_MAX;
int max_caller_sessions = CALLER_SESSIONS_MAX;
pid_t last_child = -1;

static struct {
    volatile pid_t pid;             /* 0: free slot */
    unsigned char host[10];         /* network and node of the caller */
} sessions[SESSIONS_MAX];

/* "traced at proc level N" */
#define PROC(n) TC_GATE(tc_proc, (n))

/* ------------------------------------------------------------------ */
/* Command line and configuration                                      */
/* ------------------------------------------------------------------ */

void usage(void)
{
    fprintf(stderr, "usage: Zelptyd [ -n<servicename> ][ -k ][ command-line ]\n");
}

/*
 * Scans the options and finishes the configuration. `name` (128 bytes)
 * receives the -n argument. Returns non-zero for a kill request, in which
 * case nothing after the scan is done. Bad options end the process with the
 * usage text and status 1.
 */
int get_options(int argc, char **argv, char *name)
{
    int killreq = 0;
    int itrace = 0;
    int c;

    name[0] = '\0';
    nodenum = -1;
    while ((c = tc_getopt(argc, argv, "kid:n:h:s:")) != -1) {
        switch (c) {
        case 'd':
            spxdev = optarg;
            break;
        case 'h':
            nodenum = atoi(optarg);
            break;
        case 'i':
            itrace++;
            break;
        case 'k':
            killreq++;
            break;
        case 'n':
            strncpy(name, optarg, SERVICE_NAME_LEN - 1);
            name[SERVICE_NAME_LEN - 1] = '\0';
            break;
        case 's':
            sock = atoi(optarg);
            break;
        default:
            usage();
            exit(1);
        }
    }

    if (killreq)
        return 1;

    if (tcfile != NULL) {
        trace = 1;
        setbuf(tcfile, NULL);
    }
    if (itrace)
        ravzel_trace = 9;

    /* The words after the options are the command Zeltty runs. tty_argv
       holds 30 of them besides "Zeltty" and the closing null; more are
       refused rather than silently dropped. */
    int words = argc - optind;
    if (words > TTY_ARGC_MAX - 2) {
        usage();
        exit(1);
    }
    if (words > 0) {
        for (int i = 0; i < words; i++)
            tty_argv[1 + i] = argv[optind + i];
        tty_argv[1 + words] = NULL;
        optind = argc;
    }

    if (spxdev == NULL)
        spxdev = dev_ravspx;
    if (sock < 0) {
        fprintf(stderr, "Socket number %d is no good\n", sock);
        exit(1);
    }
    return 0;
}

int servicename_setup(const char *name)
{
    char buf[SERVICE_NAME_LEN];

    if (name != NULL && name[0] != '\0') {
        strncpy(buf, name, sizeof buf - 1);
        buf[sizeof buf - 1] = '\0';
    } else {
        if (gethostname(buf, sizeof buf) < 0)
            return -1;
        /* A host name that fills the whole buffer comes without its NUL:
           it is cut to 127 characters. */
        buf[sizeof buf - 1] = '\0';
    }

    size_t i;
    for (i = 0; buf[i] != '\0'; i++) {
        unsigned char c = (unsigned char)buf[i];
        service_name[i] = (char)(islower(c) ? toupper(c) : c);
    }
    service_name[i] = '\0';
    return 0;
}

/* ------------------------------------------------------------------ */
/* Start-up, signals, kill mode                                        */
/* ------------------------------------------------------------------ */

int daemonize(int keep_attached, int keep_fd)
{
    /* Whatever is buffered now was written by the invoking process; the
       daemon must not write it a second time. */
    fflush(NULL);

    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "Zelptyd: cannot fork: %s\n", strerror(errno));
        exit(1);
    }
    if (pid > 0)
        exit(0);

    if (keep_attached)
        return 0;

    for (int fd = 0; fd <= 9; fd++)
        if (fd != keep_fd)
            close(fd);
    /* A new session and process group, without a controlling terminal
       (what setpgrp does on System V; setsid here). */
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null == 0) {
        if (dup(0) < 0 || dup(0) < 0)
            return -1;
    }
    return 0;
}

void chld_dead(int)
{
    /* Collect every finished child without blocking: one SIGCHLD may stand
       for several children, and a child that merely stopped must not hold
       up the daemon. A collected session frees its slot. errno belongs to
       the interrupted code. */
    int saved = errno;
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (int i = 0; i < SESSIONS_MAX; i++)
            if (sessions[i].pid == pid)
                sessions[i].pid = 0;
    }
    errno = saved;
}

void clean_exit(int sig)
{
    stop_signal = sig;
    /* A wait for Ombrad's answer ends at once too. */
    ravzel_cancel = 1;
}

/* Acts on a recorded stop signal: withdraw the advertisement, remove the
   pid file, exit 0. Called from every place where the daemon waits. */
void check_stop(void)
{
    if (stop_signal == 0)
        return;
    /* The withdrawal's own wait is resumed after a signal (a session that
       ends meanwhile), unless another stop signal comes. */
    ravzel_cancel = 0;
    sap_clear();
    rm_pid();
    exit(0);
}

void sig_setup(void)
{
    struct sigaction chld, stop;

    /* No flags: handlers stay installed, and an interrupted call is not
       restarted, which is what lets a stop signal end the blocked listen. */
    memset(&chld, 0, sizeof chld);
    memset(&stop, 0, sizeof stop);
    sigemptyset(&chld.sa_mask);
    sigemptyset(&stop.sa_mask);

    chld.sa_handler = chld_dead;
    if (sigaction(SIGCHLD, &chld, NULL) < 0) {
        perror("sigaction");
        exit(1);
    }
    stop.sa_handler = clean_exit;
    sigaction(SIGTERM, &stop, NULL);
    sigaction(SIGINT, &stop, NULL);
    sigaction(SIGQUIT, &stop, NULL);
}

int kill_ptyd(void)
{
    if (PROC(1))
        tc_printf("kill_ptyd: looking for %s\n", pidfile);

    int r = kill_process(pidfile, SIGTERM);
    if (r >= 0)
        return 0;

    const char *msg;
    switch (r) {
    case -1:
        msg = "Zelptyd not running (no pidfile)";
        break;
    case -2:
        msg = "Zelptyd not running (obsolete pidfile)";
        break;
    case -3:
        msg = "Permission denied (must be superuser)";
        break;
    default:
        msg = "Cannot kill Zelptyd";
        break;
    }
    fprintf(stderr, "%s: %s\n", prog, msg);
    if (PROC(1))
        tc_printf("kill_ptyd: %s\n", msg);
    return -1;
}

int main(int argc, char **argv)
{
    char name[SERVICE_NAME_LEN];
    struct stat st;
    /* When the installation directory cannot be examined, the log keeps
       the owner it was created with (chown with -1 changes nothing). */
    uid_t owner = (uid_t)-1;
    gid_t group = (gid_t)-1;

    zelhome_get(zel_home);
    if (chdir(zel_home) < 0) {
        fprintf(stderr, "Zelptyd: can't chdir to %s\n", zel_home);
        exit(1);
    }
    if (stat(zel_home, &st) == 0) {
        owner = st.st_uid;
        group = st.st_gid;
    }
    if (geteuid() != 0) {
        fprintf(stderr, "Zelptyd: must run as super-user\n");
        exit(1);
    }
    if (setuid(0) < 0) {
        /* The effective id is already 0; a failure changes nothing that
           the daemon relies on. */
    }
    prog = argv[0];

    if (get_options(argc, argv, name))
        exit(kill_ptyd() == 0 ? 0 : 1);

    if (exists_pid() == 0) {
        fprintf(stderr, "    Zelptyd already running\n");
        exit(1);
    }
    sackincr = 0;
    if (servicename_setup(name) < 0) {
        fprintf(stderr, "Cannot determine local hostname\n");
        exit(1);
    }

    printf("    Zelptyd: %s\n", get_version());
    printf("    %s\n", get_copyright());

    /* Without its event log the detached daemon could report nothing at
       all: refuse to start while the invoking shell can still be told. */
    if (open_log(log_name) < 0 || logfile == NULL) {
        fflush(stdout);
        fprintf(stderr, "Zelptyd: can't open event log %s%s\n", zel_home, log_name);
        exit(1);
    }
    chown_log(log_name, owner, group);
    log_new();
    log_msg("Zelptyd: %s starting", get_version());
    log_msg("%s", get_copyright());

    if (PROC(1))
        tc_printf("calling daemonize\n");
    daemonize(trace + ravzel_trace, fileno(logfile));

    if (save_pid() < 0) {
        log_msg("Zelptyd: can't create pid file %s -- ", pidfile);
        log_msg("    check protection and ownership of %s", zel_home);
        if (PROC(1))
            tc_printf("Zelptyd: can't create pid file %s\n", pidfile);
        exit(1);
    }
    fflush(logfile);

    serve();
    return 0;
}

/* ------------------------------------------------------------------ */
/* Listener loop and hand-off                                          */
/* ------------------------------------------------------------------ */

/* Connect indications taken off the listener while another one was being
   accepted or refused: the provider refuses an accept while further
   indications wait on the listening endpoint, so those are listened for
   first and served here, in order, before the listener waits again. */
#define PENDING_MAX 16
static struct {
    int seq;
    struct ipx_addr caller;
} pending[PENDING_MAX];
static int npending;

int take_pending(int *seq, struct ipx_addr *caller)
{
    if (npending == 0)
        return -1;
    *seq = pending[0].seq;
    *caller = pending[0].caller;
    npending--;
    memmove(&pending[0], &pending[1], (size_t)npending * sizeof pending[0]);
    return 0;
}

/* After a call on the listener about indication `seq` failed: 0 when an
   event was taken and the call may be tried again, 1 when the caller of
   `seq` has hung up (its disconnect is consumed), -1 when no event
   explains the failure. */
int accept_look(int lfd, int seq)
{
    int ev = t_look(lfd);
    if (ev == T_LISTEN) {
        if (npending == PENDING_MAX)
            return -1;
        memset(&pending[npending], 0, sizeof pending[npending]);
        if (do_listen(lfd, &pending[npending].caller, &pending[npending].seq) < 0)
            return -1;
        npending++;
        return 0;
    }
    if (ev == T_DISCONNECT) {
        struct t_discon dis;
        memset(&dis, 0, sizeof dis);
        if (t_rcvdis(lfd, &dis) < 0)
            return -1;
        if (dis.sequence == seq)
            return 1;
        for (int i = 0; i < npending; i++) {
            if (pending[i].seq == dis.sequence) {
                npending--;
                memmove(&pending[i], &pending[i + 1], (size_t)(npending - i) * sizeof pending[0]);
                break;
            }
        }
        return 0;
    }
    return -1;
}

/* Refuses indication `seq` on the listener. 0 when it is refused, or when
   its caller has gone already; -1 when the listening endpoint itself
   fails. */
int refuse(int lfd, int seq)
{
    for (int tries = 0; tries <= 2 * PENDING_MAX; tries++) {
        if (do_noaccept(lfd, seq) == 0)
            return 0;
        int te = t_errno;
        if (te == TBADSEQ)
            return 0;           /* no such call waits any more */
        if (te != TLOOK && te != TOUTSTATE)
            return -1;
        int r = accept_look(lfd, seq);
        if (r == 1)
            return 0;
        if (r < 0) {
            /* Out of state with nothing to explain it: the call is no
               longer outstanding, and a listener that is still bound and
               idle is sound. */
            return te == TOUTSTATE && t_getstate(lfd) == T_IDLE ? 0 : -1;
        }
    }
    return -1;
}

/* Text of a caller's address, in uni_ntoa's static storage. */
static const char *caller_text(const struct ipx_addr *caller)
{
    struct uni_addr ua;

    memset(&ua, 0, sizeof ua);
    ravzel_iatoua(&ua, caller);
    return uni_ntoa(&ua);
}

static void listener_broken(int lfd);

/* Refuses the call of `caller` after a failure already logged in the
   current log entry, which the refusal's line completes. */
static void refuse_call(int lfd, int seq, const struct ipx_addr *caller)
{
    int r = refuse(lfd, seq);
    log_msg("Zelptyd: call from %s refused", caller_text(caller));
    if (r < 0)
        listener_broken(lfd);
}

/* Live sessions in all and from `caller`'s host. */
static int count_sessions(const struct ipx_addr *caller, int *from_caller)
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    int all = 0, mine = 0;
    for (int i = 0; i < SESSIONS_MAX; i++) {
        if (sessions[i].pid == 0)
            continue;
        all++;
        if (memcmp(sessions[i].host, caller, sizeof sessions[i].host) == 0)
            mine++;
    }
    sigprocmask(SIG_SETMASK, &old, NULL);
    *from_caller = mine;
    return all;
}

/* Refusals for the limits are logged at most REFUSALS_LOGGED times a
   minute, so that a flood of calls cannot flood the log; the rest are
   counted in the next line logged. */
#define REFUSALS_LOGGED 10
static time_t refusals_since;
static int refusals_logged, refusals_quiet;

/* 0 when the caller may have another session; otherwise the call is
   refused (and logged) and the result is 1, or -1 when the listener
   failed. */
static int over_limits(int lfd, int seq, const struct ipx_addr *caller)
{
    int mine;
    int all = count_sessions(caller, &mine);
    if (all < max_sessions && mine < max_caller_sessions)
        return 0;

    int r = refuse(lfd, seq);
    time_t now = time(NULL);
    if (now - refusals_since >= 60) {
        refusals_since = now;
        refusals_logged = 0;
    }
    if (refusals_logged < REFUSALS_LOGGED) {
        refusals_logged++;
        log_new();
        if (mine >= max_caller_sessions)
            log_msg("Zelptyd: call from %s refused: %d sessions from that address (limit %d)",
                    caller_text(caller), mine, max_caller_sessions);
        else
            log_msg("Zelptyd: call from %s refused: %d sessions in all (limit %d)",
                    caller_text(caller), all, max_sessions);
        if (refusals_quiet > 0)
            log_msg("Zelptyd: %d more calls were refused over the limits meanwhile", refusals_quiet);
        refusals_quiet = 0;
    } else {
        refusals_quiet++;
    }
    if (r < 0)
        listener_broken(lfd);
    return 1;
}

/* Starts the session of an accepted call and counts it. */
static void start_session(int cfd, const struct ipx_addr *caller)
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    /* The child must be in the table before SIGCHLD can report its end. */
    sigprocmask(SIG_BLOCK, &chld, &old);
    do_fork(cfd, tty_argv);
    if (last_child > 0) {
        for (int i = 0; i < SESSIONS_MAX; i++) {
            if (sessions[i].pid == 0) {
                memcpy(sessions[i].host, caller, sizeof sessions[i].host);
                sessions[i].pid = last_child;
                break;
            }
        }
    }
    sigprocmask(SIG_SETMASK, &old, NULL);
}

/* Binds and tunes a connection endpoint: 0, or -1 after the failure was
   logged. */
static int prepare_endpoint(int cfd)
{
    if (do_bind(cfd, NULL, 0) < 0)
        return -1;
    if (dropsome && do_rsrv_set(cfd, 129) < 0)
        return -1;
    if (ackdelay >= 0 && do_ackdelay_set(cfd, ackdelay) < 0)
        return -1;
    if (tracespx && do_trace_set(cfd, tracespx) < 0)
        return -1;
    return 0;
}

/* Refuses every call still waiting on the listener, those listened for
   and those not yet: the provider unbinds only an endpoint with no call
   outstanding. */
static void refuse_outstanding(int lfd)
{
    struct ipx_addr caller;
    int seq;

    for (int n = 0; n < 4 * PENDING_MAX; n++) {
        if (take_pending(&seq, &caller) == 0) {
            refuse(lfd, seq);
            continue;
        }
        int ev = t_look(lfd);
        if (ev == T_LISTEN) {
            memset(&caller, 0, sizeof caller);
            if (do_listen(lfd, &caller, &seq) < 0)
                return;
            refuse(lfd, seq);
        } else if (ev == T_DISCONNECT) {
            struct t_discon dis;
            memset(&dis, 0, sizeof dis);
            if (t_rcvdis(lfd, &dis) < 0)
                return;
        } else {
            return;
        }
    }
}

/* The orderly end of the listener. A listener that cannot be unbound
   even so is closed all the same, which releases its address. */
static void ptyd_shutdown(int lfd)
{
    refuse_outstanding(lfd);
    do_unbind(lfd);
    if (PROC(3))
        tc_printf("about to t_close\n");
    sleep(1);
    t_close(lfd);
    rm_pid();
    exit(0);
}

/* The listening endpoint itself fails: the service ends in order. */
static void listener_broken(int lfd)
{
    sap_clear();
    ptyd_shutdown(lfd);
}

void serve(void)
{
    int lfd = t_open(spxdev, O_RDWR, NULL);
    if (lfd < 0) {
        if (PROC(1))
            tc_printf("Cannot t_open(%s)\n", spxdev);
        log_msg("Zelptyd: can't open spx device %s", spxdev);
        rm_pid();
        exit(1);
    }
    if (PROC(1))
        tc_printf("listener on fd %d\n", lfd);
    if (tcfile != NULL)
        fflush(tcfile);

    sig_setup();

    if (nodenum >= 0) {
        uint32_t n = (uint32_t)nodenum;
        laddr.node[0] = 0;
        laddr.node[1] = 0;
        laddr.node[2] = (unsigned char)(n >> 24);
        laddr.node[3] = (unsigned char)(n >> 16);
        laddr.node[4] = (unsigned char)(n >> 8);
        laddr.node[5] = (unsigned char)n;
    }
    laddr.socket[0] = (unsigned char)((sock >> 8) & 0xff);
    laddr.socket[1] = (unsigned char)(sock & 0xff);

    do_bind(lfd, &laddr, 4);

    int r = sap_inform();
    check_stop();
    if (r != 0) {
        log_new();
        /* Say why: only an exchange that got no answer failed to reach
           Ombrad. */
        if (r == 5 || r == 7)
            log_msg("Zelptyd: failed to reach Ombrad");
        else
            log_msg("Zelptyd: can't advertise %s: %s", service_name, sap_result_text(r));
        log_msg("        exiting");
        ptyd_shutdown(lfd);
    }

    for (;;) {
        struct ipx_addr caller;
        int seq = 0;

        check_stop();
        memset(&caller, 0, sizeof caller);
        if (take_pending(&seq, &caller) < 0 && do_listen(lfd, &caller, &seq) < 0) {
            check_stop();
            listener_broken(lfd);
        }

        if (trace)
            fprintf(tcfile, "Connect attempt from %s\n", caller_text(&caller));

        if (reject) {
            if (refuse(lfd, seq) < 0)
                listener_broken(lfd);
            continue;
        }
        if (over_limits(lfd, seq, &caller))
            continue;

        int cfd = t_open(spxdev, O_RDWR, NULL);
        if (cfd < 0) {
            int e = errno, te = t_errno;
            if (PROC(1))
                tc_printf("t_open(%s) failure", spxdev);
            log_new();
            log_msg("Zelptyd: t_open(%s) failure, errno %d, t_errno %d", spxdev, e, te);
            refuse_call(lfd, seq, &caller);
            continue;
        }
        if (prepare_endpoint(cfd) < 0) {
            t_close(cfd);
            refuse_call(lfd, seq, &caller);
            continue;
        }

        if (PROC(3))
            tc_printf("Zelptyd: accepting, seq %d\n", seq);
        int gone = 0, failed = 0, tries = 0;
        while (do_accept(lfd, cfd, seq, &caller) < 0) {
            int e = errno, te = t_errno;
            /* Another caller queued behind this one, or a caller that hung
               up, makes the accept fail (TLOOK, or out of state once the
               provider has counted the hang-up). Neither is a fault of the
               listener: the event is taken and the service goes on. */
            int r = accept_look(lfd, seq);
            if (r == 0 && ++tries <= 2 * PENDING_MAX)
                continue;
            if (r == 1) {
                gone = 1;
                break;
            }
            log_new();
            log_msg("Zelptyd: spx accept failure, errno %d, t_errno %d", e, te);
            failed = 1;
            break;
        }
        if (gone || failed) {
            t_close(cfd);
            if (failed)
                refuse_call(lfd, seq, &caller);
            continue;
        }

        if (PROC(3))
            tc_printf("Zelptyd: do_fork(fd = %d)\n", cfd);
        start_session(cfd, &caller);
        t_close(cfd);
    }
}

int do_fork(int fd, char **argv)
{
    pid_t pid = fork();
    last_child = pid;
    if (pid < 0) {
        /* The caller's connection is dropped when the daemon closes its
           endpoint; say why. */
        log_new();
        log_msg("Zelptyd: fork failed, errno %d", errno);
        return 0;
    }
    if (pid > 0)
        return 0;

    /* The daemon forks with SIGCHLD held off (start_session); Zeltty gets
       it as usual. */
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &chld, NULL);
    if (fd != 0) {
        close(0);
        if (dup(fd) == 0)
            close(fd);
    }
    execvp("./Zeltty", argv);
    log_new();
    log_msg("Zelptyd: exec of Zeltty failed\n");
    /* _exit: the child must not flush stdio buffers it inherited. */
    _exit(1);
}

/* ------------------------------------------------------------------ */
/* TLI endpoint operations                                             */
/* ------------------------------------------------------------------ */

void dump_addr(const struct ipx_addr *a)
{
    if (!trace)
        return;
    fprintf(tcfile, "%2.2x%2.2x%2.2x%2.2x:", a->net[0], a->net[1], a->net[2], a->net[3]);
    fprintf(tcfile, "%2.2x%2.2x%2.2x%2.2x%2.2x%2.2x:", a->node[0], a->node[1], a->node[2],
            a->node[3], a->node[4], a->node[5]);
    fprintf(tcfile, "%4.4x\n", a->socket[0] << 8 | a->socket[1]);
}

void netbuf_dump(const struct netbuf *nb)
{
    if (!trace)
        return;
    fprintf(tcfile, "len %d: ", (int)nb->len);
    for (unsigned i = 0; i < nb->len; i++)
        fprintf(tcfile, "%2.2x ", (unsigned char)nb->buf[i]);
}

static const char *event_name(int ev)
{
    switch (ev) {
    case T_LISTEN:
        return "conn ind\n";
    case T_CONNECT:
        return "conn con\n";
    case T_DATA:
        return "data\n";
    case T_EXDATA:
        return "expedited data\n";
    case T_DISCONNECT:
        return "disconn ind\n";
    case T_UDERR:
        return "dg err ind\n";
    case T_ORDREL:
        return "orderly rel ind\n";
    default:
        return NULL;
    }
}

void do_terror(int fd, const char *op)
{
    /* The failed call's codes, before tracing can disturb errno. */
    int te = t_errno;
    int e = errno;

    if (PROC(1))
        tc_printf("do_terror(%d), op %s, t_errno %d\n", fd, op, te);
    log_new();

    if (te == TLOOK) {
        int ev = t_look(fd);
        if (ev < 0) {
            log_msg("Zelptyd: t_look() after %s failure, errno %d, t_errno %d\n", op, errno,
                    t_errno);
            return;
        }
        log_msg("Zelptyd: %s failure, t_look returns %d", op, ev);
        const char *name = event_name(ev);
        if (name != NULL && PROC(1))
            tc_printf("%s", name);
        return;
    }
    if (te == TOUTSTATE) {
        if (PROC(1))
            tc_printf("TOUTSTATE (op %s): state %d\n", op, t_getstate(fd));
        log_msg("Zelptyd: TOUTSTATE(op %s): state %d", op, t_getstate(fd));
        return;
    }
    log_msg("Zelptyd: errno %d, t_errno %d, tli op %s", e, te, op);
}

int do_bind(int fd, struct ipx_addr *addr, int qlen)
{
    struct ipx_addr bound;
    struct t_bind req, ret;

    if (PROC(1))
        tc_printf("do_bind(%d)\n", fd);

    memset(&bound, 0, sizeof bound);
    memset(&req, 0, sizeof req);
    memset(&ret, 0, sizeof ret);
    if (addr != NULL) {
        req.addr.maxlen = sizeof *addr;
        req.addr.len = sizeof *addr;
        req.addr.buf = (char *)addr;
        req.qlen = (unsigned)qlen;
    }
    ret.addr.maxlen = sizeof bound;
    ret.addr.len = 0;
    ret.addr.buf = (char *)&bound;

    if (t_bind(fd, addr != NULL ? &req : NULL, &ret) < 0) {
        do_terror(fd, "t_bind");
        /* The listener without its address is no service at all; a
           connection endpoint (no address) costs only its call. */
        if (addr != NULL)
            exit(1);
        return -1;
    }
    if (addr != NULL)
        memcpy(addr, &bound, sizeof bound);

    if (trace) {
        fprintf(tcfile, "t_bind results:\n");
        fprintf(tcfile, "    res.addr.len = %d\n", (int)ret.addr.len);
        fprintf(tcfile, "    %2.2x%2.2x%2.2x%2.2x:", bound.net[0], bound.net[1], bound.net[2],
                bound.net[3]);
        fprintf(tcfile, "    %2.2x%2.2x%2.2x%2.2x%2.2x%2.2x:%4.4x\n", bound.node[0], bound.node[1],
                bound.node[2], bound.node[3], bound.node[4], bound.node[5],
                bound.socket[0] << 8 | bound.socket[1]);
        fprintf(tcfile, "    qlen = %d\n", (int)ret.qlen);
    }
    return 0;
}

int do_listen(int fd, struct ipx_addr *addr, int *seq)
{
    struct t_call call;

    memset(&call, 0, sizeof call);
    call.addr.maxlen = sizeof *addr;
    call.addr.len = 0;
    call.addr.buf = (char *)addr;
    call.opt.maxlen = 0;
    call.udata.maxlen = 0;
    call.sequence = 0;
    if (PROC(1))
        tc_printf("do_listen(%d)\n", fd);

    for (;;) {
        /* A stop signal that lands between this test and the start of the
           wait is seen when the wait next ends; everywhere else the
           interrupted wait brings it here at once. */
        check_stop();
        if (t_listen(fd, &call) == 0)
            break;
        /* A signal ended the wait: a stop signal is acted on by
           check_stop(), anything else (a child's SIGCHLD) listens again. */
        if (t_errno == TSYSERR && errno == EINTR)
            continue;
        do_terror(fd, "t_listen");
        return -1;
    }

    if (trace) {
        fprintf(tcfile, "t_listen returns: seq %d addr len %d, addr ", call.sequence,
                (int)call.addr.len);
        dump_addr(addr);
    }
    *seq = call.sequence;
    return 0;
}

int do_accept(int fd, int resfd, int seq, struct ipx_addr *addr)
{
    struct t_call call;

    memset(&call, 0, sizeof call);
    call.addr.maxlen = sizeof *addr;
    call.addr.len = sizeof *addr;
    call.addr.buf = (char *)addr;
    call.opt.len = 0;
    call.udata.maxlen = 0;
    call.sequence = seq;
    if (t_accept(fd, resfd, &call) < 0) {
        do_terror(fd, "t_accept");
        return -1;
    }
    return 0;
}

int do_noaccept(int fd, int seq)
{
    struct t_call call;

    if (PROC(1))
        tc_printf("do_noaccept(%d)\n", fd);
    memset(&call, 0, sizeof call);
    call.udata.len = 0;
    call.sequence = seq;
    /* A caller may hang up before it is refused: the listener sorts that
       out (refuse()), so a failure is reported, not fatal. */
    if (t_snddis(fd, &call) < 0) {
        do_terror(fd, "t_snddis");
        return -1;
    }
    return 0;
}

int do_unbind(int fd)
{
    if (PROC(1))
        tc_printf("do_unbind(%d)\n", fd);
    /* Only the shutdown unbinds; it goes on after a failure, since closing
       the endpoint releases the address as well. */
    if (t_unbind(fd) < 0) {
        do_terror(fd, "t_unbind");
        return -1;
    }
    return 0;
}

/* ------------------------------------------------------------------ */
/* SPX options                                                         */
/* ------------------------------------------------------------------ */

enum opt_field { OPT_TRACE, OPT_RSRV, OPT_ACKDEL, OPT_SACKDEL };

/* Fetches the provider's defaults, changes one field, negotiates the
   record. Options are set on connection endpoints only: a failure of
   either t_optmgmt is analysed and gives -1, and costs only that call. */
static int opt_change(int fd, enum opt_field field, int value)
{
    struct spx_opts o;
    struct t_optmgmt req, ret;

    memset(&o, 0, sizeof o);
    memset(&req, 0, sizeof req);
    memset(&ret, 0, sizeof ret);
    req.opt.len = 0;
    req.opt.buf = NULL;
    req.flags = T_DEFAULT;
    ret.opt.maxlen = sizeof o;
    ret.opt.buf = (char *)&o;
    if (t_optmgmt(fd, &req, &ret) < 0) {
        do_terror(fd, "t_optmgmt");
        return -1;
    }

    switch (field) {
    case OPT_TRACE:
        o.rsrv = (unsigned char)((o.rsrv & 0xf0) | (value & 0x0f));
        break;
    case OPT_RSRV:
        o.rsrv = (unsigned char)(value & 0xff);
        break;
    case OPT_ACKDEL:
        o.ackdel = (unsigned short)(value & 0xffff);
        break;
    case OPT_SACKDEL:
        o.sackdel = (unsigned short)((o.sackdel + (value & 0xffff)) & 0xffff);
        break;
    }

    memset(&req, 0, sizeof req);
    memset(&ret, 0, sizeof ret);
    req.opt.maxlen = sizeof o;
    req.opt.len = sizeof o;
    req.opt.buf = (char *)&o;
    req.flags = T_NEGOTIATE;
    ret.opt.maxlen = sizeof o;
    ret.opt.buf = (char *)&o;
    if (t_optmgmt(fd, &req, &ret) < 0) {
        do_terror(fd, "T_NEGOTIATE t_optmgmt");
        return -1;
    }

    if ((field == OPT_RSRV || field == OPT_ACKDEL) && PROC(1))
        tc_printf("options: flags %x rsrv %x ackdel %d sackdel/max %d/%d\n", o.flags, o.rsrv,
                  o.ackdel, o.sackdel, o.max);
    return 0;
}

int do_trace_set(int fd, int level)
{
    return opt_change(fd, OPT_TRACE, level);
}

int do_rsrv_set(int fd, int value)
{
    return opt_change(fd, OPT_RSRV, value);
}

int do_ackdelay_set(int fd, int delay)
{
    return opt_change(fd, OPT_ACKDEL, delay);
}

int do_sackdel_incr(int fd)
{
    if (sackincr == 0)
        return 0;
    return opt_change(fd, OPT_SACKDEL, sackincr);
}

/* ------------------------------------------------------------------ */
/* Service advertisement                                               */
/* ------------------------------------------------------------------ */

const char *sap_result_text(int r)
{
    static char text[64];

    switch (r) {
    case 2:
        return "its address is not on the local network or not advertisable (2)";
    case 5:
    case 7:
        return "no answer from Ombrad";
    case 6:
        return "a socket below 0x4000 needs the super-user (6)";
    case -1:
        return "Ombrad found the request malformed (-1)";
    case -2:
        return "Ombrad refused the name (-2)";
    case -3:
        return "Ombrad refused the service type or address (-3)";
    case -4:
        return "the name is advertised at another address (-4)";
    case -5:
        return "Ombrad's table of services is full (-5)";
    case -7:
        return "Ombrad takes requests from privileged sockets only (-7)";
    default:
        snprintf(text, sizeof text, "Ombrad refused it (%d)", r);
        return text;
    }
}

int sap_inform(void)
{
    struct uni_addr ua;

    memset(&ua, 0, sizeof ua);
    ravzel_iatoua(&ua, &laddr);
    int r = ravzel_srv_bind(service_name, service_type, &ua);
    if (r < 0 && PROC(1))
        tc_printf("sap_inform: ravzel_srv_bind fails\n");
    return r;
}

void sap_clear(void)
{
    struct uni_addr ua;

    if (PROC(3))
        tc_printf("Calling ravzel_srv_unbind(%s, %x)\n", service_name, service_type);
    memset(&ua, 0, sizeof ua);
    ravzel_iatoua(&ua, &laddr);
    if (ravzel_srv_unbind(service_name, service_type, &ua) < 0 && PROC(1))
        tc_printf("sap_clear: ravzel_srv_unbind fails\n");
}
