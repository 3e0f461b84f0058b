/*
 * <tiuser.h>: the System V Release 4 Transport Layer Interface.
 *
 * Records, constants and calls with their SVR4 values. Each endpoint is one
 * file descriptor served by the user-space IPX/SPX stack daemon; see
 * docs/platform.md for how the library reaches it.
 */
#ifndef _TIUSER_H
#define _TIUSER_H

#ifdef __cplusplus
extern "C" {
#endif

/* t_errno values */
#define TBADADDR     1  /* incorrect address format */
#define TBADOPT      2  /* incorrect options format */
#define TACCES       3  /* illegal permissions */
#define TBADF        4  /* illegal file descriptor */
#define TNOADDR      5  /* couldn't allocate address */
#define TOUTSTATE    6  /* out of state */
#define TBADSEQ      7  /* bad call sequence number */
#define TSYSERR      8  /* system error */
#define TLOOK        9  /* event requires attention */
#define TBADDATA    10  /* illegal amount of data */
#define TBUFOVFLW   11  /* buffer not large enough */
#define TFLOW       12  /* flow control */
#define TNODATA     13  /* no data */
#define TNODIS      14  /* discon_ind not found on queue */
#define TNOUDERR    15  /* unitdata error not found */
#define TBADFLAG    16  /* bad flags */
#define TNOREL      17  /* no ord rel found on queue */
#define TNOTSUPPORT 18  /* primitive not supported */
#define TSTATECHNG  19  /* state is in process of changing */

/* t_look events */
#define T_LISTEN     0x0001
#define T_CONNECT    0x0002
#define T_DATA       0x0004
#define T_EXDATA     0x0008
#define T_DISCONNECT 0x0010
#define T_ERROR      0x0020
#define T_UDERR      0x0040
#define T_ORDREL     0x0080
#define T_EVENTS     0x00ff

/* flags */
#define T_MORE       0x001
#define T_EXPEDITED  0x002
#define T_NEGOTIATE  0x004
#define T_CHECK      0x008
#define T_DEFAULT    0x010
#define T_SUCCESS    0x020
#define T_FAILURE    0x040

/* service types */
#define T_COTS       1
#define T_COTS_ORD   2
#define T_CLTS       3

/* t_alloc structure types */
#define T_BIND       1
#define T_OPTMGMT    2
#define T_CALL       3
#define T_DIS        4
#define T_UNITDATA   5
#define T_UDERROR    6
#define T_INFO       7

/* t_alloc field bits */
#define T_ADDR       0x01
#define T_OPT        0x02
#define T_UDATA      0x04
#define T_ALL        0x07

/* states */
#define T_UNINIT     0
#define T_UNBND      1
#define T_IDLE       2
#define T_OUTCON     3
#define T_INCON      4
#define T_DATAXFER   5
#define T_OUTREL     6
#define T_INREL      7
#define T_FAKE       8  /* unknown state, internal to the library */

struct t_info {
    long addr;      /* largest protocol address */
    long options;   /* size of protocol options */
    long tsdu;      /* largest transport service data unit */
    long etsdu;     /* largest expedited data unit */
    long connect;   /* largest user data with a connect request */
    long discon;    /* largest user data with a disconnect request */
    long servtype;  /* service type */
};

struct netbuf {
    unsigned int maxlen;
    unsigned int len;
    char *buf;
};

struct t_bind {
    struct netbuf addr;
    unsigned qlen;
};

struct t_optmgmt {
    struct netbuf opt;
    long flags;
};

struct t_discon {
    struct netbuf udata;
    int reason;
    int sequence;
};

struct t_call {
    struct netbuf addr;
    struct netbuf opt;
    struct netbuf udata;
    int sequence;
};

struct t_unitdata {
    struct netbuf addr;
    struct netbuf opt;
    struct netbuf udata;
};

struct t_uderr {
    struct netbuf addr;
    struct netbuf opt;
    long error;
};

extern int t_errno;
extern int t_nerr;
extern const char *t_errlist[];

int   t_accept(int fd, int resfd, struct t_call *call);
char *t_alloc(int fd, int struct_type, int fields);
int   t_bind(int fd, struct t_bind *req, struct t_bind *ret);
int   t_close(int fd);
int   t_connect(int fd, struct t_call *sndcall, struct t_call *rcvcall);
void  t_error(const char *errmsg);
int   t_free(char *ptr, int struct_type);
int   t_getinfo(int fd, struct t_info *info);
/* From XTI: the endpoint's own address (len 0 when it is not bound) and its
 * peer's (len 0 when it is not connected). A null record, or one whose
 * addr.maxlen is 0, is not filled. */
int   t_getprotaddr(int fd, struct t_bind *boundaddr, struct t_bind *peeraddr);
int   t_getstate(int fd);
int   t_listen(int fd, struct t_call *call);
int   t_look(int fd);
int   t_open(const char *path, int oflag, struct t_info *info);
int   t_optmgmt(int fd, struct t_optmgmt *req, struct t_optmgmt *ret);
int   t_rcv(int fd, char *buf, unsigned nbytes, int *flags);
int   t_rcvconnect(int fd, struct t_call *call);
int   t_rcvdis(int fd, struct t_discon *discon);
int   t_rcvrel(int fd);
int   t_rcvudata(int fd, struct t_unitdata *unitdata, int *flags);
int   t_rcvuderr(int fd, struct t_uderr *uderr);
int   t_snd(int fd, char *buf, unsigned nbytes, int flags);
int   t_snddis(int fd, struct t_call *call);
int   t_sndrel(int fd);
int   t_sndudata(int fd, struct t_unitdata *unitdata);
int   t_sync(int fd);
int   t_unbind(int fd);

#ifdef __cplusplus
}
#endif

#endif /* _TIUSER_H */
