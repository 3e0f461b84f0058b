// A minimal Ombrad for the end-to-end tests: receives requests on IPX
// socket 0x0872 of "/dev/ravitp", appends each to a file as one line of
// hexadecimal, and answers with status 0 (or not at all with "silent";
// with "hold STATUS", with that status once a line arrives on its standard
// input for each request).
//
//   ptyd_test_ombrad FILE [silent | hold STATUS]
//
// It writes "ready\n" on standard output once bound.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tiuser.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: ptyd_test_ombrad FILE [silent | hold STATUS]\n");
        return 2;
    }
    bool silent = argc > 2 && strcmp(argv[2], "silent") == 0;
    bool hold = argc > 3 && strcmp(argv[2], "hold") == 0;
    long status = hold ? strtol(argv[3], nullptr, 10) : 0;

    int fd = t_open("/dev/ravitp", O_RDWR, nullptr);
    if (fd < 0) {
        t_error("t_open");
        return 1;
    }
    unsigned char addr[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x08, 0x72};
    struct t_bind req, ret;
    memset(&req, 0, sizeof req);
    memset(&ret, 0, sizeof ret);
    req.addr.len = req.addr.maxlen = sizeof addr;
    req.addr.buf = (char *)addr;
    ret.addr.maxlen = sizeof addr;
    ret.addr.buf = (char *)addr;
    if (t_bind(fd, &req, &ret) < 0) {
        t_error("t_bind");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    for (;;) {
        unsigned char from[12], data[600];
        char opt[8];
        struct t_unitdata ud;
        memset(&ud, 0, sizeof ud);
        ud.addr.maxlen = sizeof from;
        ud.addr.buf = (char *)from;
        ud.opt.maxlen = sizeof opt;
        ud.opt.buf = opt;
        ud.udata.maxlen = sizeof data;
        ud.udata.buf = (char *)data;
        int flags = 0;
        if (t_rcvudata(fd, &ud, &flags) < 0) {
            t_error("t_rcvudata");
            return 1;
        }
        if (FILE *f = fopen(argv[1], "a")) {
            for (unsigned i = 0; i < ud.udata.len; i++)
                fprintf(f, "%02x", data[i]);
            fprintf(f, "\n");
            fclose(f);
        }
        if (silent || ud.udata.len < 4)
            continue;

        if (hold) {
            char line[16];
            if (fgets(line, sizeof line, stdin) == nullptr)
                return 0;
        }
        unsigned long s = (unsigned long)status;
        unsigned char reply[8] = {(unsigned char)(data[0] | 0x80), data[1], data[2], data[3],
                                  (unsigned char)(s >> 24), (unsigned char)(s >> 16),
                                  (unsigned char)(s >> 8), (unsigned char)s};
        char noopt[2] = {0, 0};
        struct t_unitdata out;
        memset(&out, 0, sizeof out);
        out.addr.len = out.addr.maxlen = ud.addr.len;
        out.addr.buf = (char *)from;
        out.opt.len = out.opt.maxlen = sizeof noopt;
        out.opt.buf = noopt;
        out.udata.len = out.udata.maxlen = sizeof reply;
        out.udata.buf = (char *)reply;
        if (t_sndudata(fd, &out) < 0)
            t_error("t_sndudata");
    }
}
