// The terminal session's byte stream between zelterm and Zeltty.
//
// From the client to the server the stream carries keyboard data with
// control messages framed inside it. From the server to the client it is
// the terminal's output: unframed from a server of version 1, framed the
// same way once a server of version 2 or later has answered the client's
// hello with its own. The byte 0xFF introduces a control message:
//
//   FF FF                  one data byte 0xFF
//   FF code len payload    a control message of `len` (0..255) bytes
//
// Client to server: 'H' hello (first message of a session: version, window
// size, terminal type), 'W' window size, 'E' end of input. Server to
// client: 'H' hello (version), 'X' the command's exit status. A message with
// an unknown code is skipped whole, so later versions may add messages.
// docs/zeltty-protocol.md describes the layout for people writing other
// clients.
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
constexpr uint8_t kEndOfInput = 'E';
constexpr uint8_t kExit = 'X';
// The version this code speaks. Version 2 added the server's hello, framed
// output, the exit status and the end of input.
constexpr uint8_t kVersion = 2;
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
// The client has no more input (its standard input ended).
void encode_end_of_input(std::vector<uint8_t> &out);

// How the command of a session ended.
struct ExitStatus {
    enum Kind : uint8_t { Exited = 0, Signalled = 1 };
    uint8_t kind = Exited;
    uint8_t value = 0;  // exit status, or signal number
    bool operator==(const ExitStatus &) const = default;
};

void encode_server_hello(std::vector<uint8_t> &out);
void encode_exit(const ExitStatus &status, std::vector<uint8_t> &out);

// Which end wrote the stream being decoded: the codes mean different
// messages in the two directions.
enum class Side { FromClient, FromServer };

// What the decoder found besides data.
struct Event {
    enum Kind { Hello, Window, Invalid, EndOfInput, ServerHello, Exit } kind;
    std::string term;     // Hello: the terminal type ("" when it was not valid)
    WindowSize window;    // Hello and Window ({} when not valid)
    std::string problem;  // Invalid, or a Hello whose parts were rejected
    uint8_t version = 0;  // Hello, ServerHello
    ExitStatus exit{};    // Exit
    bool after_data = false;  // data bytes came before it in the stream
};

// Incremental decoder of a framed stream: any split of the stream into
// pieces gives the same result.
class Decoder {
public:
    explicit Decoder(Side side = Side::FromClient) : side_(side) {}

    // Decodes `n` bytes: data bytes are appended to `data`, control messages
    // to `events`.
    void feed(const uint8_t *in, size_t n, std::vector<uint8_t> &data, std::vector<Event> &events);

    // True while a control message is incomplete.
    bool in_message() const { return state_ != State::Data; }

private:
    enum class State { Data, Code, Length, Payload };
    void finish(std::vector<Event> &events);
    void finish_client(std::vector<Event> &events);
    void finish_server(std::vector<Event> &events);
    Side side_;
    State state_ = State::Data;
    uint8_t code_ = 0;
    size_t want_ = 0;
    std::vector<uint8_t> payload_;
    bool seen_data_ = false;
};

// The client's decoder of the server's stream. A server of version 2 or
// later opens it with its hello ("FF 'H'") and frames everything after; an
// older server sends the terminal's output as it is. The first two bytes
// tell which.
class OutputDecoder {
public:
    enum class Mode { Unknown, Raw, Framed };
    void feed(const uint8_t *in, size_t n, std::vector<uint8_t> &data, std::vector<Event> &events);
    // At the end of the stream: a lone first byte 0xFF was output.
    void finish(std::vector<uint8_t> &data);
    Mode mode() const { return mode_; }

private:
    Mode mode_ = Mode::Unknown;
    bool first_escape_ = false;  // the first byte was 0xFF; the second decides
    Decoder framed_{Side::FromServer};
};

} // namespace zelproto

#endif
