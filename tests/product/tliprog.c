/*
 * A TLI program as a third party writes it, in C, with nothing but
 * <tiuser.h> and the library that pkg-config names: an SPX connection
 * between two processes (one unit each way, then the caller's disconnect)
 * and an IPX datagram between two endpoints. Prints "tliprog: ok".
 */
#include <tiuser.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

static void fail(const char *what)
{
    t_error(what);
    exit(1);
}

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "tliprog: %s\n", what);
        exit(1);
    }
}

static void caller(const struct netbuf *to)
{
    static char hello[] = "hello over spx";
    char reply[64];
    struct t_call call;
    int flags = 0;
    int fd = t_open("/dev/mspx", O_RDWR, NULL);
    if (fd < 0)
        fail("t_open /dev/mspx");
    if (t_bind(fd, NULL, NULL) < 0)
        fail("t_bind (caller)");
    memset(&call, 0, sizeof call);
    call.addr = *to;
    if (t_connect(fd, &call, NULL) < 0)
        fail("t_connect");
    if (t_snd(fd, hello, sizeof hello, 0) != (int)sizeof hello)
        fail("t_snd");
    check(t_rcv(fd, reply, sizeof reply, &flags) == 5 && memcmp(reply, "thank", 5) == 0 && flags == 0,
          "the caller got no reply");
    if (t_snddis(fd, NULL) < 0)
        fail("t_snddis");
    t_close(fd);
    _exit(0);
}

static void spx(void)
{
    struct t_info info;
    struct t_bind *req, *ret;
    struct t_call *in;
    struct t_discon dis;
    char buf[64];
    int flags = 0, status = 0;
    pid_t pid;
    int fd = t_open("/dev/ravspx", O_RDWR, &info);
    if (fd < 0)
        fail("t_open /dev/ravspx");
    check(info.servtype == T_COTS && info.addr == 12, "unexpected t_info for /dev/ravspx");
    req = (struct t_bind *)t_alloc(fd, T_BIND, T_ALL);
    ret = (struct t_bind *)t_alloc(fd, T_BIND, T_ALL);
    in = (struct t_call *)t_alloc(fd, T_CALL, T_ADDR);
    check(req && ret && in && ret->addr.maxlen >= 12, "t_alloc");
    req->addr.len = 0;
    req->qlen = 1;
    if (t_bind(fd, req, ret) < 0)
        fail("t_bind");
    check(ret->addr.len == 12 && t_getstate(fd) == T_IDLE, "bound address");
    check(t_bind(fd, req, NULL) < 0 && t_errno == TOUTSTATE, "a second t_bind was taken");

    pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        t_close(fd);
        caller(&ret->addr);
    }
    if (t_listen(fd, in) < 0)
        fail("t_listen");
    check(in->addr.len == 12, "the caller's address");
    if (t_accept(fd, fd, in) < 0)
        fail("t_accept");
    check(t_rcv(fd, buf, sizeof buf, &flags) == 15 && strcmp(buf, "hello over spx") == 0, "unit received");
    if (t_snd(fd, "thank", 5, 0) != 5)
        fail("t_snd (reply)");
    check(t_rcv(fd, buf, sizeof buf, &flags) < 0 && t_errno == TLOOK && t_look(fd) == T_DISCONNECT,
          "no disconnect after the caller's t_snddis");
    memset(&dis, 0, sizeof dis);
    if (t_rcvdis(fd, &dis) < 0)
        fail("t_rcvdis");
    check(dis.reason == 1, "disconnect reason");
    check(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "the caller failed");
    t_free((char *)in, T_CALL);
    t_free((char *)req, T_BIND);
    t_free((char *)ret, T_BIND);
    t_close(fd);
}

static void datagram(void)
{
    static char text[] = "one datagram";
    char addr[12], got[64], gotaddr[12], gotopt[2];
    struct t_bind b;
    struct t_unitdata ud;
    int flags = 0;
    int a = t_open("/dev/ravitp", O_RDWR, NULL), z = t_open("/dev/ravitp", O_RDWR, NULL);
    if (a < 0 || z < 0)
        fail("t_open /dev/ravitp");
    if (t_bind(a, NULL, NULL) < 0)
        fail("t_bind (datagram)");
    memset(&b, 0, sizeof b);
    b.addr.buf = addr;
    b.addr.maxlen = sizeof addr;
    if (t_bind(z, NULL, &b) < 0)
        fail("t_bind (datagram receiver)");

    memset(&ud, 0, sizeof ud);
    ud.addr = b.addr;
    ud.udata.buf = text;
    ud.udata.len = sizeof text;
    if (t_sndudata(a, &ud) < 0)
        fail("t_sndudata");
    memset(&ud, 0, sizeof ud);
    ud.addr.buf = gotaddr;
    ud.addr.maxlen = sizeof gotaddr;
    ud.opt.buf = gotopt;
    ud.opt.maxlen = sizeof gotopt;
    ud.udata.buf = got;
    ud.udata.maxlen = sizeof got;
    if (t_rcvudata(z, &ud, &flags) < 0)
        fail("t_rcvudata");
    check(ud.udata.len == sizeof text && memcmp(got, text, sizeof text) == 0 && ud.addr.len == 12,
          "datagram received");
    t_close(a);
    t_close(z);
}

int main(void)
{
    check(t_open("/dev/no-such-device", O_RDWR, NULL) < 0 && t_errno == TSYSERR, "t_open of nothing");
    spx();
    datagram();
    printf("tliprog: ok\n");
    return 0;
}
