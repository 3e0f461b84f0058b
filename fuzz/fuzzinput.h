// A fuzz input read as a stream of decisions: every read takes the next
// bytes, and reads past the end give zeros, so any input is a complete
// script. Targets stop their loop when empty() turns true.
#ifndef DRAX_FUZZ_FUZZINPUT_H
#define DRAX_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sanitizer/common_interface_defs.h>
#include <string>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t *data, size_t size) : p_(data), n_(size) {}

    bool empty() const { return off_ >= n_; }
    size_t left() const { return empty() ? 0 : n_ - off_; }

    uint8_t u8() { return off_ < n_ ? p_[off_++] : 0; }
    uint16_t u16()
    {
        uint16_t hi = u8();
        return static_cast<uint16_t>(hi << 8 | u8());
    }
    uint32_t u32()
    {
        uint32_t hi = u16();
        return hi << 16 | u16();
    }
    bool flag() { return (u8() & 1) != 0; }

    // A value from lo to hi (inclusive), taken from one or two bytes.
    uint32_t range(uint32_t lo, uint32_t hi)
    {
        uint32_t span = hi - lo + 1;
        uint32_t v = span <= 0x100 ? u8() : u16();
        return lo + v % span;
    }

    // Up to n bytes (fewer at the end of the input).
    std::vector<uint8_t> bytes(size_t n)
    {
        if (n > left())
            n = left();
        std::vector<uint8_t> v(p_ + off_, p_ + off_ + n);
        off_ += n;
        return v;
    }
    // A length byte (at most `max`), then that many bytes.
    std::vector<uint8_t> chunk(size_t max = 255) { return bytes(u8() % (max + 1)); }
    std::string text(size_t max = 255)
    {
        std::vector<uint8_t> b = chunk(max);
        return std::string(b.begin(), b.end());
    }
    std::vector<uint8_t> rest() { return bytes(left()); }

private:
    const uint8_t *p_;
    size_t n_;
    size_t off_ = 0;
};

// A broken promise of the code under test: report it and stop, so that
// libFuzzer records the input as a crash.
// (The summary goes where the sanitizers report, which stays open when
// the fuzzer is told to close the target's standard error.)
[[noreturn]] inline void fail(const char *what, const char *file, int line)
{
    char msg[512];
    std::snprintf(msg, sizeof msg, "fuzz check failed: %s (%s:%d)", what, file, line);
    std::fprintf(stderr, "%s\n", msg);
    __sanitizer_report_error_summary(msg);
    std::abort();
}

} // namespace fuzz

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fuzz::fail(#cond, __FILE__, __LINE__);                                               \
    } while (0)

#endif
