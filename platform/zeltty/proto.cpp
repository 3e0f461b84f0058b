#include "proto.h"

namespace zelproto {

namespace {

void put16(std::vector<uint8_t> &out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void put_window(std::vector<uint8_t> &out, const WindowSize &ws)
{
    put16(out, ws.rows);
    put16(out, ws.cols);
    put16(out, ws.xpixel);
    put16(out, ws.ypixel);
}

WindowSize get_window(const uint8_t *p)
{
    return WindowSize{get16(p), get16(p + 2), get16(p + 4), get16(p + 6)};
}

// A control message: escape, code, length, then the payload (whose bytes
// are not escaped: the length says where it ends).
void put_message(std::vector<uint8_t> &out, uint8_t code, const std::vector<uint8_t> &payload)
{
    out.push_back(kEscape);
    out.push_back(code);
    out.push_back(static_cast<uint8_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

bool term_char(char c, bool first)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return !first && (c == '.' || c == '_' || c == '+' || c == '-');
}

} // namespace

bool valid_term(const std::string &term)
{
    if (term.empty() || term.size() > kMaxTermLength)
        return false;
    for (size_t i = 0; i < term.size(); ++i)
        if (!term_char(term[i], i == 0))
            return false;
    return true;
}

bool valid_window(const WindowSize &ws)
{
    return ws.rows >= 1 && ws.rows <= kMaxDimension && ws.cols >= 1 && ws.cols <= kMaxDimension;
}

void encode_data(const uint8_t *data, size_t n, std::vector<uint8_t> &out)
{
    for (size_t i = 0; i < n; ++i) {
        out.push_back(data[i]);
        if (data[i] == kEscape)
            out.push_back(kEscape);
    }
}

void encode_hello(const std::string &term, const WindowSize &ws, std::vector<uint8_t> &out)
{
    std::vector<uint8_t> p;
    p.push_back(kVersion);
    put_window(p, ws);
    // The type is cut to what fits; the server checks it anyway.
    size_t len = term.size() < kMaxTermLength ? term.size() : kMaxTermLength;
    p.insert(p.end(), term.begin(), term.begin() + static_cast<long>(len));
    put_message(out, kHello, p);
}

void encode_window(const WindowSize &ws, std::vector<uint8_t> &out)
{
    std::vector<uint8_t> p;
    put_window(p, ws);
    put_message(out, kWindow, p);
}

void encode_end_of_input(std::vector<uint8_t> &out)
{
    put_message(out, kEndOfInput, {});
}

void encode_server_hello(std::vector<uint8_t> &out)
{
    put_message(out, kHello, {kVersion});
}

void encode_exit(const ExitStatus &status, std::vector<uint8_t> &out)
{
    put_message(out, kExit, {status.kind, status.value});
}

void Decoder::feed(const uint8_t *in, size_t n, std::vector<uint8_t> &data, std::vector<Event> &events)
{
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = in[i];
        switch (state_) {
        case State::Data:
            if (b == kEscape) {
                state_ = State::Code;
            } else {
                data.push_back(b);
                seen_data_ = true;
            }
            break;
        case State::Code:
            if (b == kEscape) {
                data.push_back(kEscape);
                seen_data_ = true;
                state_ = State::Data;
            } else {
                code_ = b;
                state_ = State::Length;
            }
            break;
        case State::Length:
            want_ = b;
            payload_.clear();
            if (want_ == 0)
                finish(events);
            else
                state_ = State::Payload;
            break;
        case State::Payload:
            payload_.push_back(b);
            if (payload_.size() == want_)
                finish(events);
            break;
        }
    }
}

void Decoder::finish(std::vector<Event> &events)
{
    state_ = State::Data;
    size_t before = events.size();
    if (side_ == Side::FromClient)
        finish_client(events);
    else
        finish_server(events);
    if (events.size() > before)
        events.back().after_data = seen_data_;
}

void Decoder::finish_client(std::vector<Event> &events)
{
    const std::vector<uint8_t> &p = payload_;
    if (code_ == kHello) {
        if (p.size() < 9) {
            events.push_back({Event::Invalid, {}, {}, "hello message too short"});
            return;
        }
        // Version 1 fixes the layout of the first nine bytes; a later version
        // may only append, so its hello is read the same way.
        Event e{Event::Hello, {}, get_window(p.data() + 1), {}};
        e.version = p[0];
        std::string term(p.begin() + 9, p.end());
        if (valid_term(term)) {
            e.term = term;
        } else {
            e.problem = "terminal type rejected";
        }
        if (!valid_window(e.window)) {
            e.window = {};
            e.problem += e.problem.empty() ? "window size rejected" : ", window size rejected";
        }
        events.push_back(e);
    } else if (code_ == kWindow) {
        if (p.size() != 8) {
            events.push_back({Event::Invalid, {}, {}, "window message of wrong length"});
            return;
        }
        WindowSize ws = get_window(p.data());
        if (!valid_window(ws))
            events.push_back({Event::Invalid, {}, {}, "window size rejected"});
        else
            events.push_back({Event::Window, {}, ws, {}});
    } else if (code_ == kEndOfInput) {
        events.push_back({Event::EndOfInput, {}, {}, {}});
    }
    // Any other code: a message of a later version, skipped whole.
}

// A later version may append to these messages: only their first bytes are
// read.
void Decoder::finish_server(std::vector<Event> &events)
{
    const std::vector<uint8_t> &p = payload_;
    if (code_ == kHello) {
        if (p.empty()) {
            events.push_back({Event::Invalid, {}, {}, "server hello without a version"});
            return;
        }
        Event e{Event::ServerHello, {}, {}, {}};
        e.version = p[0];
        events.push_back(e);
    } else if (code_ == kExit) {
        if (p.size() < 2 || p[0] > ExitStatus::Signalled) {
            events.push_back({Event::Invalid, {}, {}, "bad exit status message"});
            return;
        }
        Event e{Event::Exit, {}, {}, {}};
        e.exit = ExitStatus{p[0], p[1]};
        events.push_back(e);
    }
}

void OutputDecoder::feed(const uint8_t *in, size_t n, std::vector<uint8_t> &data, std::vector<Event> &events)
{
    size_t i = 0;
    while (mode_ == Mode::Unknown && i < n) {
        uint8_t b = in[i++];
        if (!first_escape_) {
            if (b == kEscape) {
                first_escape_ = true;
            } else {
                mode_ = Mode::Raw;
                data.push_back(b);
            }
        } else if (b == kHello) {
            mode_ = Mode::Framed;
            const uint8_t opening[] = {kEscape, kHello};
            framed_.feed(opening, sizeof opening, data, events);
        } else {
            mode_ = Mode::Raw;
            data.push_back(kEscape);
            data.push_back(b);
        }
    }
    if (i == n)
        return;
    if (mode_ == Mode::Raw)
        data.insert(data.end(), in + i, in + n);
    else
        framed_.feed(in + i, n - i, data, events);
}

void OutputDecoder::finish(std::vector<uint8_t> &data)
{
    if (mode_ == Mode::Unknown && first_escape_) {
        mode_ = Mode::Raw;
        data.push_back(kEscape);
    }
}

} // namespace zelproto
