/* Version texts of the terminal-service listener. */
#include "ptyd.h"

const char *get_version(void)
{
    return "ZEL spx terminal services 2.2.1 sh";
}

const char *get_copyright(void)
{
    return "Copyright (c) 1993-1995 Drax Network Systems. All rights reserved.";
}

const char *get_companyname(void)
{
    return "Drax Network Systems";
}

const char *get_revdate(void)
{
    return "05/02/95";
}
