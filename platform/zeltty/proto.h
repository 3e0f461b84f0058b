// The terminal session's byte stream between zelterm and Zeltty.
//
// From the client to the server the stream carries keyboard data with
// control messages framed inside it; from the server to the client it is the
// terminal's output, unframed. The byte 0xFF introduces a control message:
//
//   FF FF                  one data byte 0xFF
//   FF code len payload    a control message of `len` (0..255) bytes
//
// Codes: 'H' hello (first message of a session: version, window size,
// terminal type) and 'W' window size. A message with an unknown code is
// skipped whole, so later versions may add messages. docs/zeltty-protocol.md
// describes the layout for people writing other clients.
#ifndef ZELTTY_PROTO_H
#define ZELTTY_PROTO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelproto {

constexpr uint8_t kEscape = 0xFF;
constexpr uint8_t kHello = 'H';
constexpr uint8_t kWindow = 'W';
constexpr uint8_t kVersion = 1;
constexpr size_t kMaxTermLength = 40;
constexpr uint16_t kMaxDimension = 4096;

struct WindowSize {
    uint16_t rows = 0;
    uint16_t cols = 0;
    uint16_t xpixel = 0;
    uint16_t ypixel = 0;
    bool operator==(const WindowSize &) const = default;
};

// A terminal type is 1 to kMaxTermLength characters from [A-Za-z0-9._+-],
// starting with a letter or digit.
bool valid_term(const std::string &term);
// Rows and columns both 1 to kMaxDimension.
bool valid_window(const WindowSize &ws);

// Appends `n` data bytes to `out`, doubling every 0xFF.
void encode_data(const uint8_t *data, size_t n, std::vector<uint8_t> &out);
void encode_hello(const std::string &term, const WindowSize &ws, std::vector<uint8_t> &out);
void encode_window(const WindowSize &ws, std::vector<uint8_t> &out);

// What the decoder found in the client's stream, besides data.
struct Event {
    enum Kind { Hello, Window, Invalid } kind;
    std::string term;     // Hello: the terminal type ("" when it was not valid)
    WindowSize window;    // Hello and Window ({} when not valid)
    std::string problem;  // Invalid, or a Hello whose parts were rejected
};

// Incremental decoder of the client-to-server stream: any split of the
// stream into pieces gives the same result.
class Decoder {
public:
    // Decodes `n` bytes: data bytes are appended to `data`, control messages
    // to `events`.
    void feed(const uint8_t *in, size_t n, std::vector<uint8_t> &data, std::vector<Event> &events);

    // True while a control message is incomplete.
    bool in_message() const { return state_ != State::Data; }

private:
    enum class State { Data, Code, Length, Payload };
    void finish(std::vector<Event> &events);
    State state_ = State::Data;
    uint8_t code_ = 0;
    size_t want_ = 0;
    std::vector<uint8_t> payload_;
};

} // namespace zelproto

#endif
