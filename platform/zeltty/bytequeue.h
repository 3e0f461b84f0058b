// A bounded byte queue: one direction of the relay.
#ifndef ZELTTY_BYTEQUEUE_H
#define ZELTTY_BYTEQUEUE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace zeltty {

class ByteQueue {
public:
    // The buffer is not filled in: its pages cost memory only once used.
    explicit ByteQueue(size_t capacity) : buf_(new uint8_t[capacity]), cap_(capacity) {}

    size_t size() const { return end_ - begin_; }
    bool empty() const { return begin_ == end_; }
    size_t space() const { return cap_ - size(); }
    const uint8_t *data() const { return buf_.get() + begin_; }

    // Room for up to space() bytes at the end; call commit() with what was
    // written there.
    uint8_t *tail()
    {
        compact();
        return buf_.get() + end_;
    }
    void commit(size_t n) { end_ += n; }

    // Appends as much of `n` bytes as fits; returns how many.
    size_t push(const uint8_t *p, size_t n)
    {
        if (n > space())
            n = space();
        if (n == 0)
            return 0;
        std::memcpy(tail(), p, n);
        commit(n);
        return n;
    }

    void consume(size_t n)
    {
        begin_ += n;
        if (begin_ == end_)
            begin_ = end_ = 0;
    }
    void clear() { begin_ = end_ = 0; }

private:
    void compact()
    {
        if (begin_ > 0) {
            std::memmove(buf_.get(), buf_.get() + begin_, size());
            end_ -= begin_;
            begin_ = 0;
        }
    }
    std::unique_ptr<uint8_t[]> buf_;
    size_t cap_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

} // namespace zeltty

#endif
