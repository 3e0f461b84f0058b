/* Universal address record and its text form (shared runtime library, uniconv). */
#ifndef DRAX_UNICONV_H
#define DRAX_UNICONV_H

#include <stdint.h>

#define UNI_MAXLEN 60

/* Family codes: the ASCII letter of the family. */
#define UNI_INET   0x49 /* 'I' */
#define UNI_XNS    0x58 /* 'X' (IPX) */
#define UNI_ATALK  0x41 /* 'A' */
#define UNI_OTHER  0x4F /* 'O' */

struct uni_addr {
    uint16_t family;
    uint16_t len;
    unsigned char data[UNI_MAXLEN];
};

/* Text of a record; static storage overwritten by the next call. Never null. */
const char *uni_ntoa(const struct uni_addr *a);

/* Record read from text; static storage overwritten by the next call.
   Null for an empty text or when memory runs out. */
struct uni_addr *uni_aton(const char *text);

/* Number conversion in the manner of strtoul on 32-bit unsigned values. */
unsigned long uni_strtoul(const char *s, char **end, int base);

#endif
