/*
 * Universal address records and their text form.
 *
 *   I(192.168.1.2)                  internet, 4 bytes
 *   X(0000abcd:000000000001:8063)   IPX: network, node, socket
 *   A(258.5.128)                    AppleTalk: network, node, socket
 *   O(0a0bff)                       anything else, as hexadecimal
 *
 * uni_ntoa writes these; uni_aton reads them back and also takes bare
 * bodies, whose family it infers from '.' (internet) or ':' (IPX).
 * Malformed fields read as zero digits or zero values: parsing only fails
 * for an empty text or when memory runs out.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "uniconv.h"

static const char hexdigits[] = "0123456789abcdef";

/* Longest text: letter, '(', 120 digits, ')', NUL. */
static char ntoa_buf[1 + 1 + 2 * UNI_MAXLEN + 1 + 1];

static int hex_put(char *dst, const unsigned char *src, int n)
{
    if (n < 0)
        return 0;
    for (int i = 0; i < n; i++) {
        dst[2 * i] = hexdigits[src[i] >> 4];
        dst[2 * i + 1] = hexdigits[src[i] & 15];
    }
    return 2 * n;
}

const char *uni_ntoa(const struct uni_addr *a)
{
    int n = a->len > UNI_MAXLEN ? UNI_MAXLEN : a->len;
    const unsigned char *d = a->data;
    char *p = ntoa_buf;
    int fam = a->family & 0xff;

    *p++ = (char)fam;
    *p++ = '(';
    if (fam == UNI_INET && n == 4) {
        for (int i = 0; i < 4; i++)
            p += sprintf(p, "%d%s", d[i], i < 3 ? "." : "");
    } else if (fam == UNI_XNS && n == 12) {
        p += hex_put(p, d, 4);
        *p++ = ':';
        p += hex_put(p, d + 4, 6);
        *p++ = ':';
        p += hex_put(p, d + 10, 2);
    } else if (fam == UNI_ATALK && n == 4) {
        p += sprintf(p, "%d.%d.%d", d[0] * 256 + d[1], d[2], d[3]);
    } else {
        p += hex_put(p, d, n);
    }
    *p++ = ')';
    *p = '\0';
    return ntoa_buf;
}

/* ---- parsing ---- */

static struct uni_addr result;
static char *work = NULL;
static size_t work_cap = 0;

static int hexvalue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

static int next_digit(int *pad, const char **text)
{
    if (*pad > 0) {
        (*pad)--;
        return 0;
    }
    return hexvalue((unsigned char)*(*text)++);
}

/* n bytes from hexadecimal text aligned to the right: a short text is
   padded with leading zeros, of a long one the first 2n characters count. */
static void hex_get(unsigned char *dst, int n, const char *text)
{
    size_t given = strlen(text);
    int pad = given >= (size_t)(2 * n) ? 0 : 2 * n - (int)given;
    for (int i = 0; i < n; i++) {
        int hi = next_digit(&pad, &text);
        int lo = next_digit(&pad, &text);
        dst[i] = (unsigned char)(hi * 16 + (lo & 15));
    }
}

static int digit_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

/*
 * strtoul on 32-bit values.  A base other than 0 and 2 to 36 converts
 * nothing: the result is 0, errno is EINVAL and *end is s.
 */
unsigned long uni_strtoul(const char *s, char **end, int base)
{
    const char *p = s;
    int neg = 0;
    int overflow = 0;
    unsigned long v = 0;
    const char *last = NULL;

    if (base != 0 && (base < 2 || base > 36)) {
        errno = EINVAL;
        if (end != NULL)
            *end = (char *)s;
        return 0;
    }
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r')
        p++;
    if (*p == '-' || *p == '+')
        neg = *p++ == '-';
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        base = 16;
    }
    if (base == 0)
        base = *p == '0' ? 8 : 10;
    for (;; p++) {
        int d = digit_value((unsigned char)*p);
        if (d >= base)
            break;
        last = p;
        if (overflow)
            continue;
        if (v > (0xffffffffUL - (unsigned long)d) / (unsigned long)base)
            overflow = 1;
        else
            v = v * (unsigned long)base + (unsigned long)d;
    }
    if (end != NULL)
        *end = (char *)(last != NULL ? last + 1 : s);
    if (overflow) {
        errno = ERANGE;
        return 0xffffffffUL;
    }
    return neg ? (0x100000000UL - v) & 0xffffffffUL : v;
}

/*
 * Splits body at runs of sep into at most max parts, ending each part with
 * a NUL.  Leading separators are skipped; text after the last part taken
 * is ignored.  Returns the number of parts found.
 */
static int split(char *body, int sep, char **parts, int max)
{
    int k = 0;
    char *p = body;
    while (k < max) {
        while (*p == sep)
            p++;
        if (*p == '\0')
            break;
        parts[k++] = p;
        while (*p != '\0' && *p != sep)
            p++;
        if (*p == '\0')
            break;
        *p++ = '\0';
    }
    return k;
}

static struct uni_addr *dflt_aton(struct uni_addr *rec, char *body)
{
    size_t n = (strlen(body) + 1) / 2;
    if (n > UNI_MAXLEN)
        n = UNI_MAXLEN;
    rec->len = (uint16_t)n;
    hex_get(rec->data, (int)n, body);
    return rec;
}

static struct uni_addr *internet_aton(struct uni_addr *rec, char *body)
{
    char *parts[4];
    unsigned long v[4];

    if (strchr(body, '.') == NULL)
        return dflt_aton(rec, body);
    int k = split(body, '.', parts, 4);
    for (int i = 0; i < k; i++)
        v[i] = uni_strtoul(parts[i], NULL, 0);

    memset(rec->data, 0, 4);
    if (k == 4) {
        for (int i = 0; i < 4; i++)
            rec->data[i] = (unsigned char)(v[i] & 0xff);
    } else if (k > 0) {
        for (int i = 0; i < k - 1; i++)
            rec->data[i] = (unsigned char)(v[i] & 0xff);
        for (int i = k - 1; i < 4; i++)
            rec->data[i] = (unsigned char)((v[k - 1] >> ((3 - i) * 8)) & 0xff);
    }
    rec->len = 4;
    return rec;
}

static struct uni_addr *xns_aton(struct uni_addr *rec, char *body)
{
    char zero[] = "0";
    char *parts[3] = {zero, zero, zero};

    if (strchr(body, ':') == NULL)
        return dflt_aton(rec, body);
    split(body, ':', parts, 3);
    rec->len = 12;
    hex_get(rec->data, 4, parts[0]);
    hex_get(rec->data + 4, 6, parts[1]);
    hex_get(rec->data + 10, 2, parts[2]);
    return rec;
}

static struct uni_addr *atalk_aton(struct uni_addr *rec, char *body)
{
    char zero[] = "0";
    char *parts[3] = {zero, zero, zero};

    split(body, '.', parts, 3);
    unsigned long net = uni_strtoul(parts[0], NULL, 0);
    unsigned long node = uni_strtoul(parts[1], NULL, 0);
    unsigned long sock = uni_strtoul(parts[2], NULL, 0);
    rec->len = 4;
    rec->data[0] = (unsigned char)((net >> 8) & 0xff);
    rec->data[1] = (unsigned char)(net & 0xff);
    rec->data[2] = (unsigned char)(node & 0xff);
    rec->data[3] = (unsigned char)(sock & 0xff);
    return rec;
}

/* A missing text (null pointer) is refused like an empty one. */
struct uni_addr *uni_aton(const char *text)
{
    if (text == NULL)
        return NULL;
    size_t len = strlen(text);
    if (len == 0)
        return NULL;

    if (len + 1 > work_cap) {
        free(work);
        work = (char *)malloc(len + 1 + 32);
        if (work == NULL) {
            work_cap = 0;
            return NULL;
        }
        work_cap = len + 1 + 32;
    }
    memcpy(work, text, len + 1);

    char *body;
    int fam;
    if (work[1] == '(') {
        fam = (unsigned char)work[0];
        body = work + 2;
        char *close = strrchr(body, ')');
        if (close != NULL)
            *close = '\0';
    } else {
        body = work;
        if (strchr(body, '.') != NULL)
            fam = UNI_INET;
        else if (strchr(body, ':') != NULL)
            fam = UNI_XNS;
        else
            fam = UNI_OTHER;
    }

    result.family = (uint16_t)fam;
    switch (fam) {
    case UNI_INET:
        return internet_aton(&result, body);
    case UNI_XNS:
        return xns_aton(&result, body);
    case UNI_ATALK:
        return atalk_aton(&result, body);
    default:
        return dflt_aton(&result, body);
    }
}
