/*
 * The product family's directory lookup, and the general directory
 * locator: environment variable, then /etc/morvane/NAME, then a default.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "zelhome.h"

#define DIR_BUFLEN 512

/* The directory that holds one configuration file per name. */
const char *dir_confdir = "/etc/morvane/";

void ravhome_get(char *buffer)
{
    strcpy(buffer, ZEL_HOME_DIR);
}

/*
 * The first word of the configuration file for name into word (512 bytes).
 * Returns 0, or -1 when the file cannot be opened, holds no word, or its
 * path or first word would not fit in 512 bytes; a word is never cut short.
 */
static int read_conf(const char *name, char *word)
{
    char path[DIR_BUFLEN];
    if ((size_t)snprintf(path, sizeof path, "%s%s", dir_confdir, name) >= sizeof path)
        return -1;
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return -1;
    int rc = -1;
    if (fscanf(f, "%511s", word) == 1) {
        int next = getc(f);
        if (next == EOF || next == ' ' || next == '\t' || next == '\n' || next == '\v' ||
            next == '\f' || next == '\r')
            rc = 0;
    }
    fclose(f);
    return rc;
}

/*
 * Locates a directory by a configuration name.  Returns 0 with the path in
 * result, or -1 leaving result unchanged.
 *
 * Every value copied into result is at most 511 characters, so a result
 * buffer of 512 bytes always suffices: an environment value or a
 * configuration word that is longer, or a configuration path that would
 * not fit in 512 bytes, is passed over as though it were absent, and a
 * longer default directory is not taken.
 */
int dir_locate(const char *name, const char *default_dir, char *result)
{
    const char *env = getenv(name);
    if (env != NULL && *env != '\0' && strlen(env) < DIR_BUFLEN) {
        strcpy(result, env);
        return 0;
    }

    char word[DIR_BUFLEN];
    if (read_conf(name, word) == 0) {
        strcpy(result, word);
        return 0;
    }

    struct stat st;
    if (strlen(default_dir) < DIR_BUFLEN && stat(default_dir, &st) == 0 &&
        (st.st_mode & S_IFMT) == S_IFDIR) {
        strcpy(result, default_dir);
        return 0;
    }
    return -1;
}
