// dunmere: tells whether the host's IPX/SPX stack works end to end. It opens
// and binds an SPX endpoint, reports what the transport says about itself
// and the address it bound, then splits into a server (this process, whose
// exit status is the verdict) and a client that connects to it and sends
// NUNITS units of UNITSIZE zero bytes, which the server receives and checks.
// No options; the arguments and the environment are not looked at.
#include "dunmere.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

static pid_t client_pid;

// While the server waits for the client's connect request, the client's end
// is watched: a client that could not open, bind or connect ends with status
// 1 and nothing would ever reach the listening endpoint, so its end ends the
// server too. A client that ended with status 0 had been accepted and has
// sent everything; the server goes on receiving. The watch does not depend
// on how the TLI library waits inside t_listen.
static void client_ended(int)
{
    int saved = errno;
    int st;
    if (waitpid(client_pid, &st, WNOHANG) == client_pid &&
        !(WIFEXITED(st) && WEXITSTATUS(st) == 0)) {
        static const char msg[] =
            "dunmere: the client ended before its connection was accepted\n";
        ssize_t ignored = write(2, msg, sizeof msg - 1);
        (void)ignored;
        _exit(1);
    }
    errno = saved;
}

[[noreturn]] static void serve(int srvfd, char *srvaddr, sigset_t *oldmask)
{
    static struct t_call srvcall;
    static char rcvbuf[UNITSIZE];
    int count = 0;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = client_ended;
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP; // a client that carries on must not disturb the wait
    sigemptyset(&sa.sa_mask);
    sigaction(SIGCHLD, &sa, nullptr);
    sigprocmask(SIG_SETMASK, oldmask, nullptr);

    memset(&srvcall, 0, sizeof srvcall);
    if (passive_connect(srvfd, &srvcall, srvaddr) != 0)
        exit(1);
    // From here on the client is never waited for and leaves no zombie.
    signal(SIGCHLD, SIG_IGN);

    printf(">> Testing the IPX/SPX protocol stack ...\n");
    fflush(stdout);
    while (count < NUNITS) {
        if (recv_unit(srvfd, rcvbuf, count + 1) != 0)
            exit(1);
        count++;
    }
    if (close_endpoint(srvfd) != 0)
        exit(1);
    printf(">> %d packets have been exchanged and verified\n", count);
    printf("\nIPX/SPX protocol stack is validated\n");
    exit(0);
}

[[noreturn]] static void client(int srvfd, char *srvaddr, sigset_t *oldmask)
{
    static struct t_info info;
    static char cliaddr[ADDRSIZE];
    static struct t_bind clibind;
    static struct t_call clicall;
    static char sndbuf[UNITSIZE];
    int clifd;
    int count = 0;

    sigprocmask(SIG_SETMASK, oldmask, nullptr);
    if (close_endpoint(srvfd) != 0)
        exit(1);
    if (open_spx_endpoint(&clifd, SPXDEV, &info) != 0)
        exit(1);
    memset(cliaddr, 0, sizeof cliaddr);
    memset(&clibind, 0, sizeof clibind);
    if (bind_addr(clifd, &clibind, cliaddr) != 0)
        exit(1);
    print_network_addr(cliaddr, "Client");
    fflush(stdout);

    memset(&clicall, 0, sizeof clicall);
    if (active_connect(clifd, &clicall, srvaddr) != 0)
        exit(1);
    while (count < NUNITS) {
        if (send_spx(clifd, sndbuf, UNITSIZE) != 0)
            exit(1);
        count++;
    }
    if (close_endpoint(clifd) != 0)
        exit(1);
    exit(0);
}

int main()
{
    static struct t_info info;
    static char srvaddr[ADDRSIZE];
    static struct t_bind srvbind;
    int srvfd;

    print_banner();
    if (open_spx_endpoint(&srvfd, SPXDEV, &info) != 0)
        exit(1);
    print_tinfo(&info);

    memset(srvaddr, 0, sizeof srvaddr);
    memset(&srvbind, 0, sizeof srvbind);
    srvaddr[10] = SRVSOCK_HI;
    srvaddr[11] = SRVSOCK_LO;
    if (bind_addr(srvfd, &srvbind, srvaddr) != 0)
        exit(1);
    print_network_addr(srvaddr, "Server");

    // Nothing may stay buffered across the fork, or both processes would
    // print it; the reports so far must also precede the client's.
    fflush(stdout);
    fflush(stderr);

    // SIGCHLD stays blocked until the server has set up its watch, so that
    // a client that ends at once is not missed.
    sigset_t chld, oldmask;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &oldmask);

    pid_t pid = fork();
    if (pid < 0) {
        // Without a second process there is nobody to connect to the
        // server: say so and stop.
        fprintf(stderr, "fork: %s\n", strerror(errno));
        close_endpoint(srvfd);
        exit(1);
    }
    if (pid > 0) {
        client_pid = pid;
        serve(srvfd, srvaddr, &oldmask);
    }
    client(srvfd, srvaddr, &oldmask);
}
