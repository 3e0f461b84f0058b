// The address text parser of the runtime library, as programs read their
// command lines and configuration: the input is one text. Whatever
// uni_aton reads, uni_ntoa prints, and uni_aton reads that back to the
// same record; an IPX record converts to the IPX address and back.
// uni_strtoul agrees with the C library's strtoul cut to 32 bits.
#include "fuzzinput.h"
#include "ravzel.h"
#include "uniconv.h"

#include <cerrno>
#include <cstring>

namespace {

bool same(const uni_addr &a, const uni_addr &b)
{
    return a.family == b.family && a.len == b.len && std::memcmp(a.data, b.data, a.len) == 0;
}

void check_strtoul(const std::string &s, int base)
{
    char *end = nullptr, *ref_end = nullptr;
    errno = 0;
    unsigned long v = uni_strtoul(s.c_str(), &end, base);
    int err = errno;
    errno = 0;
    unsigned long long ref = std::strtoull(s.c_str(), &ref_end, base);
    int ref_err = errno;
    if (ref_err == EINVAL) {
        FUZZ_CHECK(v == 0 && err == EINVAL && end == s.c_str());
        return;
    }
    const char *p = s.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool neg = *p == '-';
    unsigned long long mag = neg ? 0 - ref : ref;
    if (ref_err == ERANGE || mag > 0xffffffffULL) {
        FUZZ_CHECK(v == 0xffffffffUL && err == ERANGE);
    } else {
        FUZZ_CHECK(v == (neg ? (0x100000000ULL - mag) & 0xffffffffULL : mag));
        FUZZ_CHECK(err == 0);
    }
    // The end agrees, but for a "0x" with no hex digit after it, where
    // nothing counts as converted here while strtoul takes the "0".
    const char *q = p + (*p == '-' || *p == '+');
    bool bare_prefix = (base == 0 || base == 16) && q[0] == '0' && (q[1] == 'x' || q[1] == 'X');
    if (!bare_prefix)
        FUZZ_CHECK(end == ref_end);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const int bases[] = {0, 10, 16, 8, 2, 36, 1, 37};
    int base = bases[data[0] % 8];
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    text = text.substr(0, text.find('\0'));

    check_strtoul(text, base);

    uni_addr *r = uni_aton(text.c_str());
    if (r == nullptr) {
        FUZZ_CHECK(text.empty());
        return 0;
    }
    FUZZ_CHECK(r->len <= UNI_MAXLEN);
    uni_addr first = *r;
    std::string shown = uni_ntoa(&first);
    FUZZ_CHECK(shown.size() <= 1 + 1 + 2 * UNI_MAXLEN + 1);
    uni_addr *again = uni_aton(shown.c_str());
    FUZZ_CHECK(again != nullptr);
    FUZZ_CHECK(same(*again, first));

    ipx_addr ia;
    if (ravzel_uatoia(&ia, &first) == 0) {
        FUZZ_CHECK(first.family == UNI_XNS && first.len == 12);
        uni_addr back;
        std::memset(&back, 0, sizeof back);
        ravzel_iatoua(&back, &ia);
        FUZZ_CHECK(same(back, first));
    } else {
        FUZZ_CHECK(first.family != UNI_XNS || first.len != 12);
    }
    return 0;
}
