/* IPX user library: IPX addresses and the requests to Ombrad. */
#ifndef DRAX_RAVZEL_H
#define DRAX_RAVZEL_H

#include <signal.h>
#include <stdint.h>
#include "uniconv.h"

/* IPX address as carried in every TLI netbuf: 12 bytes, no padding,
   integers most significant byte first. */
struct ipx_addr {
    unsigned char net[4];
    unsigned char node[6];
    unsigned char socket[2];
};
static_assert(sizeof(struct ipx_addr) == 12, "ipx_addr must be 12 bytes");

/* ravzeladdr */
extern int ravzel_errno;
int ravzel_iatoua(struct uni_addr *ua, const struct ipx_addr *ia);
int ravzel_uatoia(struct ipx_addr *ia, const struct uni_addr *ua);

/* ravzelsrv */
extern int ravzel_trace;
/* A wait for Ombrad's answer that a signal interrupts is resumed within
   the exchange's 10 seconds, unless this is non-zero: a program's signal
   handler sets it to make the exchange end at once (result 5). */
extern volatile sig_atomic_t ravzel_cancel;
extern int ombrad_socket;
extern struct ipx_addr ombrad_ia;

int ravzel_srv_bind(const char *name, int type, const struct uni_addr *addr);
int ravzel_srv_unbind(const char *name, int type, const struct uni_addr *addr);
int ravzel_wait(int fd, int timeout_ms);

#endif
