/* The daemon's installation directory, fixed at build time. */
#include <string.h>

#include "zelhome.h"

/* buffer must hold at least 18 bytes. */
void zelhome_get(char *buffer)
{
    strcpy(buffer, ZEL_HOME_DIR);
}
