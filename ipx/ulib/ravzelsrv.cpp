/*
 * ravzelsrv: service requests to Ombrad, the IPX daemon of this host.
 *
 * Each request is one exchange of IPX datagrams on "/dev/ravitp": open a
 * fresh datagram endpoint (which tells us the local network and node), send
 * one 62-byte request to Ombrad's socket 0x0872 at that address, wait up to
 * 10 seconds for the matching 8-byte reply, close the endpoint.
 *
 * Diagnostics go to standard output under `ravzel_trace`:
 *   1..  failures, summaries and the destination address
 *   6..  every received and every dropped datagram
 *   7..  hexadecimal dumps of the request and of each received datagram
 *   8..  the address at which Ombrad is looked for
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <tiuser.h>

#include "isrv.h"
#include "ravzel.h"
#include "uniconv.h"

int ravzel_trace = 0;
volatile sig_atomic_t ravzel_cancel = 0;
int ombrad_socket = 0x872;
struct ipx_addr ombrad_ia;

uint16_t isrv_seq = 1;

time_t (*isrv_time)(time_t *) = time;
int (*isrv_wait)(int fd, int timeout_ms) = ravzel_wait;

static const char ravitp[] = "/dev/ravitp";

/* Largest user data of an IPX datagram. A reply is received into a buffer
   of this size so that a datagram longer than 8 bytes shows its true length
   and is dropped, rather than being cut to 8 bytes that might look good. */
#define IPX_MAXDATA 546

static uint32_t get32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static unsigned get16(const unsigned char *p)
{
    return (unsigned)p[0] << 8 | p[1];
}

static void put16(unsigned char *p, unsigned v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)v;
}

static void put32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

/* Text of an IPX address, in uni_ntoa's static storage. */
static const char *ia_text(const struct ipx_addr *ia)
{
    struct uni_addr ua;

    memset(&ua, 0, sizeof ua);
    ravzel_iatoua(&ua, ia);
    return uni_ntoa(&ua);
}

void fxdump(char *line, const void *p, int n)
{
    static const char hex[] = "0123456789abcdef";
    const unsigned char *b = (const unsigned char *)p;
    char *out = line;

    for (int i = 0; i < 16; i++) {
        if (i < n) {
            *out++ = hex[b[i] >> 4];
            *out++ = hex[b[i] & 0x0f];
            *out++ = ' ';
        } else {
            *out++ = ' ';
            *out++ = ' ';
            *out++ = ' ';
        }
    }
    for (int i = 0; i < 4; i++)
        *out++ = ' ';
    for (int i = 0; i < 16; i++) {
        if (i < n)
            *out++ = (b[i] >= 0x20 && b[i] <= 0x7e) ? (char)b[i] : '.';
        else
            *out++ = ' ';
    }
    *out = '\0';
}

void dump_bytes(FILE *fp, const void *p, int n)
{
    const unsigned char *b = (const unsigned char *)p;
    char line[FXDUMP_LINE];

    for (int off = 0; off < n; off += 16) {
        fxdump(line, b + off, n - off);
        fprintf(fp, "\t%s\n", line);
    }
}

int ravzel_wait(int fd, int timeout_ms)
{
    struct pollfd pfd;

    pfd.fd = fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    int r = poll(&pfd, 1, timeout_ms);
    if (r < 0)
        return -1;
    if (r == 0)
        return 0;
    if (pfd.revents != POLLIN)
        return -1;
    return 1;
}

int isrv_open(void)
{
    int fd = t_open(ravitp, O_RDWR, NULL);
    if (fd < 0) {
        if (ravzel_trace)
            printf("isrv_open: t_open failed, error %d/%d\n", t_errno, errno);
        return -1;
    }

    /* The provider fills in the local network and node; the bound address
       comes back into the same buffer. */
    struct ipx_addr a;
    memset(&a, 0, sizeof a);
    a.node[5] = 1;
    a.socket[0] = 0x17;
    a.socket[1] = 0x00;

    struct t_bind req, ret;
    memset(&req, 0, sizeof req);
    memset(&ret, 0, sizeof ret);
    req.addr.maxlen = sizeof a;
    req.addr.len = sizeof a;
    req.addr.buf = (char *)&a;
    req.qlen = 0;
    ret.addr.maxlen = sizeof a;
    ret.addr.len = 0;
    ret.addr.buf = (char *)&a;

    if (t_bind(fd, &req, &ret) < 0) {
        if (ravzel_trace)
            printf("isrv_open: t_bind failed, error %d / %d\n", t_errno, errno);
        t_close(fd);
        return -1;
    }

    ombrad_ia = a;
    put16(ombrad_ia.socket, (unsigned)ombrad_socket);

    if (ravzel_trace > 7)
        printf("looking for daemon at %s\n", ia_text(&ombrad_ia));
    return fd;
}

void isrv_close(int fd)
{
    t_close(fd);
}

int isrv_send_recv(int fd, const struct isrv_request *req, struct isrv_reply *reply)
{
    if (ravzel_trace)
        printf("isrv_send_recv: sending request to %s --\n", ia_text(&ombrad_ia));
    if (ravzel_trace >= 7)
        dump_bytes(stdout, req, sizeof *req);

    char sndopt[2] = {0, 0};
    struct t_unitdata ud;
    memset(&ud, 0, sizeof ud);
    ud.addr.maxlen = sizeof ombrad_ia;
    ud.addr.len = sizeof ombrad_ia;
    ud.addr.buf = (char *)&ombrad_ia;
    ud.opt.maxlen = sizeof sndopt;
    ud.opt.len = sizeof sndopt;
    ud.opt.buf = sndopt;
    ud.udata.maxlen = sizeof *req;
    ud.udata.len = sizeof *req;
    ud.udata.buf = (char *)req;

    if (ravzel_trace)
        dump_bytes(stdout, &ombrad_ia, sizeof ombrad_ia);

    if (t_sndudata(fd, &ud) < 0) {
        if (ravzel_trace)
            printf("isrv_send_recv: t_sndudata failed, error %d / %d\n", t_errno, errno);
        return -1;
    }

    time_t start = isrv_time(NULL);
    unsigned want_code = get16(req->code) | 0x8000;
    unsigned want_seq = get16(req->seq);

    for (;;) {
        /* The 10 seconds count from the send and cover every dropped
           datagram, but each wait is given at least one second. */
        time_t remaining = start + ISRV_WAIT_S - isrv_time(NULL);
        if (remaining < 1)
            remaining = 1;

        int w = isrv_wait(fd, (int)remaining * 1000);
        /* A signal (a child's SIGCHLD, say) cut the wait short: wait again
           for the time that is left, unless the program asked for the
           exchange to end. The request has gone; only the answer is still
           awaited. */
        if (w < 0 && errno == EINTR && !ravzel_cancel &&
            isrv_time(NULL) < start + ISRV_WAIT_S)
            continue;
        if (w < 0) {
            if (ravzel_trace)
                printf("isrv_send_recv: poll fails, errno %d\n", errno);
            return -1;
        }
        if (w == 0) {
            if (ravzel_trace)
                printf("isrv_send_recv: poll times out\n");
            return -1;
        }

        struct ipx_addr from;
        char rcvopt[2];
        unsigned char data[IPX_MAXDATA];
        memset(&from, 0, sizeof from);

        struct t_unitdata rd;
        memset(&rd, 0, sizeof rd);
        rd.addr.maxlen = sizeof from;
        rd.addr.buf = (char *)&from;
        rd.opt.maxlen = sizeof rcvopt;
        rd.opt.buf = rcvopt;
        rd.udata.maxlen = sizeof data;
        rd.udata.buf = (char *)data;

        int flags = 0;
        if (t_rcvudata(fd, &rd, &flags) < 0) {
            if (ravzel_trace)
                printf("isrv_send_recv: t_rcvudata error %d / %d\n", t_errno, errno);
            return -1;
        }

        int n = (int)rd.udata.len;
        if (n > (int)sizeof data)   /* a provider that overstates the length */
            n = (int)sizeof data;
        if (ravzel_trace > 5)
            printf("isrv_send_recv: got %d bytes from %s --\n", n, ia_text(&from));
        if (n > 0 && ravzel_trace >= 7)
            dump_bytes(stdout, data, n);

        if (rd.addr.len == sizeof from && memcmp(&from, &ombrad_ia, sizeof from) == 0 &&
            n == (int)sizeof *reply && get16(data + 2) == want_seq &&
            get16(data) == want_code) {
            memcpy(reply, data, sizeof *reply);
            if (ravzel_trace)
                printf("isrv_send_recv: good response\n");
            return 0;
        }

        if (ravzel_trace > 5)
            printf("isrv_send_recv: bad response\n");
        if (isrv_time(NULL) >= start + ISRV_WAIT_S) {
            if (ravzel_trace)
                printf("isrv_send_recv: timed out\n");
            return -1;
        }
    }
}

/* The exchange with the service's whole six-byte node. A node whose first
   two bytes are zero is a 32-bit host number (isrv_req); any other node (a
   network card's address on an Ethernet link) goes in the request as it
   is. */
static int isrv_req_node(const char *name, int type, uint32_t net, const unsigned char node[6],
                         int socket, int code)
{
    int fd = isrv_open();
    if (fd < 0)
        return 7;

    uint32_t local = get32(ombrad_ia.net);
    if (net != local) {
        if (ravzel_trace)
            printf("isrv_req: net %d not local net (%d)\n", (int)net, (int)local);
        isrv_close(fd);
        return 2;
    }

    struct isrv_request req;
    memset(&req, 0, sizeof req);
    put16(req.code, (unsigned)code);
    put16(req.seq, isrv_seq);
    isrv_seq++;
    put16(req.type, (unsigned)type & 0xffff);
    put16(req.socket, (unsigned)socket & 0xffff);
    /* SAP carries at most 47 characters (its 48-byte field keeps a NUL),
       and Ombrad refuses longer names: a longer name is cut to 47. The
       name is always NUL-terminated and the rest of the field stays
       zero. */
    if (name != NULL)
        memcpy(req.name, name, strnlen(name, ISRV_NAME_MAX));
    memcpy(req.node, node, sizeof req.node);

    struct isrv_reply reply;
    if (isrv_send_recv(fd, &req, &reply) < 0) {
        isrv_close(fd);
        return 5;
    }
    isrv_close(fd);
    return (int)get32(reply.status);
}

int isrv_req(const char *name, int type, uint32_t net, uint32_t node, int socket, int code)
{
    unsigned char n[6] = {0, 0, 0, 0, 0, 0};
    put32(n + 2, node);
    return isrv_req_node(name, type, net, n, socket, code);
}

/* The checks shared by bind and unbind. 0 with the network, node and socket
   of the address filled in, or the request's result code. */
static int srv_check(const struct uni_addr *addr, uint32_t *net, unsigned char node[6], unsigned *socket)
{
    struct ipx_addr ia;

    if (addr == NULL || ravzel_uatoia(&ia, addr) < 0)
        return 2;
    *net = get32(ia.net);
    *socket = get16(ia.socket);
    if (*socket == 0)
        return 2;
    if (*socket < 0x4000 && geteuid() != 0)
        return 6;
    memcpy(node, ia.node, 6);
    return 0;
}

int ravzel_srv_bind(const char *name, int type, const struct uni_addr *addr)
{
    uint32_t net = 0;
    unsigned char node[6];
    unsigned socket = 0;

    int r = srv_check(addr, &net, node, &socket);
    if (r != 0)
        return r;
    return isrv_req_node(name, type, net, node, (int)socket, ISRV_BIND);
}

int ravzel_srv_unbind(const char *name, int type, const struct uni_addr *addr)
{
    uint32_t net = 0;
    unsigned char node[6];
    unsigned socket = 0;

    int r = srv_check(addr, &net, node, &socket);
    if (r != 0)
        return r;
    /* The withdrawal names the service only: no node, no socket. */
    return isrv_req(name, type, net, 0, 0, ISRV_UNBIND);
}
