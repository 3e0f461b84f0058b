/* ravzelsrv internals: the request exchange with Ombrad. Private to the
   IPX user library and its tests. */
#ifndef DRAX_ISRV_H
#define DRAX_ISRV_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

/* Request to Ombrad, 62 bytes, every integer most significant byte first. */
struct isrv_request {
    unsigned char code[2];    /* 1 bind, 2 unbind */
    unsigned char seq[2];
    unsigned char type[2];    /* SAP service type */
    unsigned char socket[2];  /* 0 in an unbind request */
    unsigned char name[48];   /* at most 47 characters, NUL-terminated */
    unsigned char node[6];    /* 00 00 and the 32-bit host number */
};
static_assert(sizeof(struct isrv_request) == 62, "isrv_request must be 62 bytes");

/* Reply from Ombrad, 8 bytes. */
struct isrv_reply {
    unsigned char code[2];    /* request code | 0x8000 */
    unsigned char seq[2];     /* echoed */
    unsigned char status[4];  /* signed; 0 done */
};
static_assert(sizeof(struct isrv_reply) == 8, "isrv_reply must be 8 bytes");

#define ISRV_BIND    1
#define ISRV_UNBIND  2
#define ISRV_WAIT_S  10   /* seconds to wait for the reply */
#define ISRV_NAME_MAX 47  /* longest name sent: what SAP carries */

/* Sequence number of the next request; wraps from 65535 to 0. */
extern uint16_t isrv_seq;

/* Seams: the clock and the wait for a datagram. They default to time() and
   ravzel_wait(); tests replace them to run the 10-second wait without
   waiting. */
extern time_t (*isrv_time)(time_t *);
extern int (*isrv_wait)(int fd, int timeout_ms);

int isrv_req(const char *name, int type, uint32_t net, uint32_t node, int socket, int code);
int isrv_open(void);
void isrv_close(int fd);
int isrv_send_recv(int fd, const struct isrv_request *req, struct isrv_reply *reply);

/* Hexadecimal dump: one line per 16 bytes, "\t%s\n". */
#define FXDUMP_LINE 69   /* 48 hex columns, 4 blanks, 16 text columns, NUL */
void dump_bytes(FILE *fp, const void *p, int n);
void fxdump(char *line, const void *p, int n);

#endif
