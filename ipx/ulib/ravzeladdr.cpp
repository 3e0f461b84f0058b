/*
 * Conversions between the IPX address and the universal address record
 * (family 'X', 12 bytes: network 4, node 6, socket 2, as carried in the
 * TLI netbuf).
 */
#include <string.h>

#include "ravzel.h"

/* Set to 1 by a refused conversion; never cleared by the library. */
int ravzel_errno = 0;

int ravzel_iatoua(struct uni_addr *ua, const struct ipx_addr *ia)
{
    ua->family = UNI_XNS;
    ua->len = sizeof *ia;
    memcpy(ua->data, ia, sizeof *ia);
    return 0;
}

int ravzel_uatoia(struct ipx_addr *ia, const struct uni_addr *ua)
{
    if (ua->family != UNI_XNS || ua->len != sizeof *ia) {
        ravzel_errno = 1;
        return -1;
    }
    memcpy(ia, ua->data, sizeof *ia);
    return 0;
}
