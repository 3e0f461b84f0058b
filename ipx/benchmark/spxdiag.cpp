// dunmere's SPX endpoint operations and its reports. Each operation wraps
// one TLI call (two for the passive connection), reports a failure in words
// on standard error and returns a status the driver tests.
#include "dunmere.h"

#include <cstdio>
#include <fcntl.h>
#include <cstring>

// TLI names of the error codes, by value.
static const char *const tli_names[] = {
    "", "TBADADDR", "TBADOPT", "TACCES", "TBADF", "TNOADDR", "TOUTSTATE",
    "TBADSEQ", "TSYSERR", "TLOOK", "TBADDATA", "TBUFOVFLW", "TFLOW",
    "TNODATA", "TNODIS", "TNOUDERR", "TBADFLAG", "TNOREL", "TNOTSUPPORT",
    "TSTATECHNG",
};

// The codes each call reports by name; every other code reads as TSYSERR.
static const int bind_errs[] = {TBADADDR, TACCES, TBADF, TNOADDR, TOUTSTATE, TBUFOVFLW, 0};
static const int listen_errs[] = {TBADF, TLOOK, TBUFOVFLW, TNODATA, TNOTSUPPORT, 0};
static const int accept_errs[] = {TBADOPT, TACCES, TBADF, TOUTSTATE, TBADSEQ,
                                  TLOOK, TBADDATA, TNOTSUPPORT, 0};
static const int connect_errs[] = {TBADADDR, TBADOPT, TACCES, TBADF, TOUTSTATE,
                                   TLOOK, TBADDATA, TBUFOVFLW, TNODATA, TNOTSUPPORT, 0};
static const int snd_errs[] = {TBADF, TBADDATA, TFLOW, TNOTSUPPORT, 0};
static const int rcv_errs[] = {TBADF, TLOOK, TNODATA, TNOTSUPPORT, 0};
static const int close_errs[] = {TBADF, 0};

static const char *err_name(const int *named)
{
    for (; *named != 0; ++named)
        if (*named == t_errno)
            return tli_names[t_errno];
    return "TSYSERR";
}

// Reports the failed call by name with the t_error text and leaves t_errno
// as it was.
static void report(const char *call, const int *named)
{
    char msg[MSGSIZE];
    snprintf(msg, sizeof msg, "%s: failed due to %s\n", call, err_name(named));
    t_error(msg);
}

// The common failure path: report, close the endpoint, and return the code
// that holds after the clean-up (a failing close replaces the first one).
static int fail(int fd, const char *call, const int *named)
{
    report(call, named);
    close_endpoint(fd);
    return t_errno;
}

static void point_at(struct netbuf *nb, char *addr)
{
    nb->maxlen = ADDRSIZE;
    nb->len = ADDRSIZE;
    nb->buf = addr;
}

int open_spx_endpoint(int *fd, const char *device, struct t_info *info)
{
    *fd = t_open(device, O_RDWR, info);
    if (*fd >= 0)
        return 0;
    char msg[MSGSIZE];
    if (t_errno == TBADFLAG)
        snprintf(msg, sizeof msg, "t_open: failed due to invalid flag\n");
    else
        snprintf(msg, sizeof msg, "t_open: failed to open %s\n", device);
    t_error(msg);
    return t_errno;
}

int bind_addr(int fd, struct t_bind *req, char *addr)
{
    point_at(&req->addr, addr);
    req->qlen = 1;
    if (t_bind(fd, req, req) < 0)
        return fail(fd, "t_bind", bind_errs);
    return 0;
}

int passive_connect(int fd, struct t_call *call, char *addr)
{
    memset(call, 0, sizeof *call);
    point_at(&call->addr, addr);
    if (t_listen(fd, call) < 0)
        return fail(fd, "t_listen", listen_errs);
    if (t_accept(fd, fd, call) < 0)
        return fail(fd, "t_accept", accept_errs);
    return 0;
}

int active_connect(int fd, struct t_call *call, char *addr)
{
    memset(call, 0, sizeof *call);
    point_at(&call->addr, addr);
    if (t_connect(fd, call, call) < 0)
        return fail(fd, "t_connect", connect_errs);
    return 0;
}

int send_spx(int fd, char *buf, int len)
{
    memset(buf, 0, len);
    if (t_snd(fd, buf, len, 0) < 0)
        return fail(fd, "t_snd", snd_errs);
    return 0;
}

// Stores the byte count and the flags of the receive for the caller.
int recv_spx(int fd, char *buf, int len, int *nbytes, int *flags)
{
    memset(buf, 0, len);
    *flags = 0;
    int n = t_rcv(fd, buf, len, flags);
    if (n < 0)
        return fail(fd, "t_rcv", rcv_errs);
    *nbytes = n;
    return 0;
}

int close_endpoint(int fd)
{
    if (t_close(fd) < 0) {
        report("t_close", close_errs);
        return t_errno;
    }
    return 0;
}

// A unit ends with the receive that comes back without T_MORE. A unit longer
// than the buffer is drained piece by piece into the buffer's start, so that
// its whole length can be told; only its first UNITSIZE bytes are looked at
// for content. The client sends no expedited data, so any is a fault of the
// stack.
int recv_unit(int fd, char *buf, int unit)
{
    long total = 0;
    long bad_at = -1;
    int bad_byte = 0;
    int expedited = 0;
    int flags;
    do {
        long off = total < UNITSIZE ? total : 0;
        int n = 0;
        int st = recv_spx(fd, buf + off, UNITSIZE - off, &n, &flags);
        if (st != 0)
            return st;
        if (flags & T_EXPEDITED)
            expedited = 1;
        for (int i = 0; total < UNITSIZE && i < n && bad_at < 0; ++i)
            if (buf[off + i] != 0) {
                bad_at = total + i;
                bad_byte = (unsigned char)buf[off + i];
            }
        total += n;
    } while (flags & T_MORE);

    if (total == UNITSIZE && bad_at < 0 && !expedited)
        return 0;
    if (total != UNITSIZE)
        fprintf(stderr, "dunmere: unit %d of %d: %ld bytes received, %d expected\n",
                unit, NUNITS, total, UNITSIZE);
    if (bad_at >= 0)
        fprintf(stderr, "dunmere: unit %d of %d: byte %ld is 0x%02X, 0x00 expected\n",
                unit, NUNITS, bad_at, bad_byte);
    if (expedited)
        fprintf(stderr, "dunmere: unit %d of %d: arrived as expedited data\n", unit, NUNITS);
    close_endpoint(fd);
    return -1;
}

static const char stars[] = "******************************************************\n";

void print_network_addr(const char *addr, const char *role)
{
    const unsigned char *a = (const unsigned char *)addr;
    printf("%s", stars);
    printf("* Network Address Assigned to %s                 *\n", role);
    printf("%s", stars);
    printf("Network Number: ");
    for (int i = 0; i < 4; ++i)
        printf("%02X", a[i]);
    printf("\nHost Address:   ");
    for (int i = 4; i < 10; ++i)
        printf("%02X", a[i]);
    printf("\nSocket Number:  ");
    for (int i = 10; i < 12; ++i)
        printf("%02X", a[i]);
    printf("\n\n");
}

// One report line: the texts for -2, -1 and 0; a null text prints the value.
static void info_line(const char *label, long v, const char *m2, const char *m1,
                      const char *zero)
{
    printf("%s", label);
    if (v == -2)
        printf("%s", m2);
    else if (v == -1)
        printf("%s", m1);
    else if (v == 0 && zero != nullptr)
        printf("%s", zero);
    else
        printf("%ld\n", v);
}

void print_tinfo(const struct t_info *info)
{
    static const char nolimit[] = "No limit to the size\n";
    static const char unsupported[] = "Not supported\n";
    printf("%s", stars);
    printf("* IPX/SPX Protocol via TLI Options                   *\n");
    printf("%s", stars);
    info_line("Max size of IPX/SPX address: ", info->addr,
              "No user access to the protocol addresses\n", nolimit, nullptr);
    info_line("Size of IPX/SPX Options: ", info->options,
              "No user access to the options\n", nolimit, nullptr);
    info_line("Max Size of Transport Service Data Unit: ", info->tsdu,
              unsupported, nolimit, "No concept of TSDU\n");
    info_line("Max Size of Expedited Transport Service Data Unit: ", info->etsdu,
              unsupported, nolimit, "No concept of ETSDU\n");
    info_line("Max Size of Transfer of User Data Along a Conn Request: ", info->connect,
              unsupported, nolimit, nullptr);
    info_line("Max Size of Transfer of User Data Along a Disconn Request: ", info->discon,
              unsupported, nolimit, nullptr);
    printf("Service Type Provided: ");
    switch (info->servtype) {
    case T_COTS:
        printf("Connection-oriented, w/o orderly release\n");
        break;
    case T_COTS_ORD:
        printf("Connection-oriented, with orderly release\n");
        break;
    case T_CLTS:
        printf("Connectionless service\n");
        break;
    default:
        printf("Unknown service\n");
        break;
    }
    printf("\n");
}

// The banner: five boxed lines of 54 characters. The two notice lines are
// ours to word; they name the system the diagnostic belongs to and what it
// does, each centred between the asterisks (a spare space goes right).
void print_banner(void)
{
    printf("%s", stars);
    printf("*           IPX/SPX Diagnostic Program               *\n");
    printf("*    DRAXipx remote terminal service for IPX/SPX     *\n");
    printf("*    Checks the SPX transport end to end over TLI    *\n");
    printf("%s", stars);
}
