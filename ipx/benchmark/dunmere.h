// dunmere: the IPX/SPX stack diagnostic. Private declarations shared by the
// driver (dunmere.cpp), the SPX endpoint operations and reports (spxdiag.cpp)
// and the tests.
#ifndef DUNMERE_H
#define DUNMERE_H

#include <tiuser.h>

#define SPXDEV     "/dev/mspx" // SPX device, opened once by each side
#define NUNITS     1000        // data units sent from client to server
#define UNITSIZE   2048        // bytes in each data unit, all zero
#define ADDRSIZE   12          // IPX address: net (4), node (6), socket (2)
#define SRVSOCK_HI 0x00        // socket the server asks for: 0x0031
#define SRVSOCK_LO 0x31
#define MSGSIZE    128         // failure messages are composed in this much

// Endpoint operations: 0 on success; on failure the message and the t_error
// text are on standard error, the endpoint is closed (except after a failed
// t_open or t_close) and the value of t_errno after that clean-up is
// returned.
int open_spx_endpoint(int *fd, const char *device, struct t_info *info);
int bind_addr(int fd, struct t_bind *req, char *addr);
int passive_connect(int fd, struct t_call *call, char *addr);
int active_connect(int fd, struct t_call *call, char *addr);
int send_spx(int fd, char *buf, int len);
int recv_spx(int fd, char *buf, int len, int *nbytes, int *flags);
int close_endpoint(int fd);

// Receives data unit number `unit` (counted from 1) whole, into `buf` of
// UNITSIZE bytes, and checks that it is UNITSIZE zero bytes. 0 when it is;
// the status of recv_spx when a receive fails; -1 when the unit is wrong,
// after saying what was wrong on standard error and closing the endpoint.
int recv_unit(int fd, char *buf, int unit);

// Reports on standard output.
void print_network_addr(const char *addr, const char *role);
void print_tinfo(const struct t_info *info);
void print_banner(void);

#endif
