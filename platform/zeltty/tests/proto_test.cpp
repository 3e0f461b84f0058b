#include "proto.h"

#include <gtest/gtest.h>

using namespace zelproto;

namespace {

struct Decoded {
    std::vector<uint8_t> data;
    std::vector<Event> events;
};

// Decodes `in` in pieces of `piece` bytes.
Decoded decode(const std::vector<uint8_t> &in, size_t piece)
{
    Decoded d;
    Decoder dec;
    for (size_t i = 0; i < in.size(); i += piece)
        dec.feed(in.data() + i, std::min(piece, in.size() - i), d.data, d.events);
    EXPECT_FALSE(dec.in_message());
    return d;
}

std::vector<uint8_t> bytes(const std::string &s)
{
    return {s.begin(), s.end()};
}

} // namespace

TEST(ZelProto, StreamDecodesTheSameWhateverItsSplit)
{
    std::vector<uint8_t> in;
    const std::vector<uint8_t> keys = {'l', 's', 0xFF, '\r', 0xFF, 0xFF, 0};
    encode_hello("xterm-256color", {33, 101, 640, 480}, in);
    encode_data(keys.data(), keys.size(), in);
    encode_window({50, 132, 0, 0}, in);
    encode_data(keys.data(), 2, in);

    for (size_t piece = 1; piece <= in.size(); ++piece) {
        SCOPED_TRACE(piece);
        Decoded d = decode(in, piece);
        std::vector<uint8_t> want = keys;
        want.push_back('l');
        want.push_back('s');
        EXPECT_EQ(d.data, want);
        ASSERT_EQ(d.events.size(), 2u);
        EXPECT_EQ(d.events[0].kind, Event::Hello);
        EXPECT_EQ(d.events[0].term, "xterm-256color");
        EXPECT_EQ(d.events[0].window, (WindowSize{33, 101, 640, 480}));
        EXPECT_TRUE(d.events[0].problem.empty());
        EXPECT_EQ(d.events[1].kind, Event::Window);
        EXPECT_EQ(d.events[1].window, (WindowSize{50, 132, 0, 0}));
    }
}

TEST(ZelProto, EscapeBytesAreDoubledInData)
{
    std::vector<uint8_t> out;
    const uint8_t in[] = {0xFF, 'a', 0xFF};
    encode_data(in, sizeof in, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0xFF, 'a', 0xFF, 0xFF}));
}

TEST(ZelProto, MessageLayoutIsBigEndian)
{
    std::vector<uint8_t> out;
    encode_window({0x0102, 0x0304, 0x0506, 0x0708}, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 'W', 8, 1, 2, 3, 4, 5, 6, 7, 8}));
    out.clear();
    encode_hello("vt100", {24, 80, 0, 0}, out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 'H', 14, 2, 0, 24, 0, 80, 0, 0, 0, 0, 'v', 't', '1', '0', '0'}));
    out.clear();
    encode_exit({ExitStatus::Signalled, 9}, out);
    encode_server_hello(out);
    encode_end_of_input(out);
    EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 'X', 2, 1, 9, 0xFF, 'H', 1, 2, 0xFF, 'E', 0}));
}

TEST(ZelProto, UnknownMessagesAreSkippedWhole)
{
    // A message of a later version, with escape bytes in its payload.
    std::vector<uint8_t> in = {'a', 0xFF, 'Z', 3, 0xFF, 'x', 0xFF, 'b'};
    Decoded d = decode(in, 1);
    EXPECT_EQ(d.data, bytes("ab"));
    EXPECT_TRUE(d.events.empty());
    // An empty message too.
    d = decode({0xFF, 'Q', 0, 'c'}, 2);
    EXPECT_EQ(d.data, bytes("c"));
}

TEST(ZelProto, BadTerminalTypesAndSizesAreRejected)
{
    for (const std::string &bad : std::vector<std::string>{"", "-froot", "x;rm -rf", "a b", "xterm\n", std::string(41, 'x'),
                            std::string("vt\0" "100", 6), "\xc3\xa9"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(valid_term(bad));
        std::vector<uint8_t> in;
        // Built by hand: the encoder would cut an over-long type.
        in = {0xFF, 'H', static_cast<uint8_t>(9 + bad.size()), 1, 0, 24, 0, 80, 0, 0, 0, 0};
        for (char ch : bad)
            in.push_back(static_cast<uint8_t>(ch));
        Decoded d = decode(in, 3);
        ASSERT_EQ(d.events.size(), 1u);
        EXPECT_EQ(d.events[0].kind, Event::Hello);
        EXPECT_EQ(d.events[0].term, "");
        EXPECT_EQ(d.events[0].window, (WindowSize{24, 80, 0, 0}));
        EXPECT_NE(d.events[0].problem, "");
    }
    for (const std::string &good : std::vector<std::string>{"xterm-256color", "vt100", "screen.xterm", "X", std::string(40, 'a')})
        EXPECT_TRUE(valid_term(good)) << good;

    std::vector<uint8_t> in;
    encode_window({0, 80, 0, 0}, in);
    encode_window({24, 4097, 0, 0}, in);
    encode_window({4096, 1, 0, 0}, in);
    in.insert(in.end(), {0xFF, 'W', 4, 0, 24, 0, 80});  // short
    in.insert(in.end(), {0xFF, 'H', 3, 1, 0, 24});      // short
    Decoded d = decode(in, 5);
    ASSERT_EQ(d.events.size(), 5u);
    EXPECT_EQ(d.events[0].kind, Event::Invalid);
    EXPECT_EQ(d.events[1].kind, Event::Invalid);
    EXPECT_EQ(d.events[2].kind, Event::Window);
    EXPECT_EQ(d.events[3].kind, Event::Invalid);
    EXPECT_EQ(d.events[4].kind, Event::Invalid);
    EXPECT_TRUE(d.data.empty());
}

TEST(ZelProto, EncoderCutsAnOverlongTerminalType)
{
    std::vector<uint8_t> in;
    encode_hello(std::string(300, 'x'), {24, 80, 0, 0}, in);
    Decoded d = decode(in, 7);
    ASSERT_EQ(d.events.size(), 1u);
    EXPECT_EQ(d.events[0].term, std::string(kMaxTermLength, 'x'));
}

TEST(ZelProto, HelloKnowsWhetherDataCameFirst)
{
    // The session's hello is the one before any typed data, however the
    // stream is split.
    std::vector<uint8_t> in;
    encode_window({30, 90, 0, 0}, in);
    encode_hello("vt100", {24, 80, 0, 0}, in);
    encode_end_of_input(in);
    in.push_back('x');
    encode_hello("xterm", {24, 80, 0, 0}, in);
    for (size_t piece : {size_t(1), size_t(4), in.size()}) {
        Decoded d = decode(in, piece);
        ASSERT_EQ(d.events.size(), 4u);
        EXPECT_EQ(d.events[1].kind, Event::Hello);
        EXPECT_EQ(d.events[1].version, kVersion);
        EXPECT_FALSE(d.events[1].after_data);
        EXPECT_EQ(d.events[2].kind, Event::EndOfInput);
        EXPECT_EQ(d.events[3].kind, Event::Hello);
        EXPECT_TRUE(d.events[3].after_data);
    }
}

namespace {

struct Output {
    std::string data;
    std::vector<Event> events;
    OutputDecoder::Mode mode;
};

Output client_reads(const std::vector<uint8_t> &in, size_t piece)
{
    OutputDecoder dec;
    std::vector<uint8_t> data;
    Output o;
    for (size_t i = 0; i < in.size(); i += piece)
        dec.feed(in.data() + i, std::min(piece, in.size() - i), data, o.events);
    dec.finish(data);
    o.data.assign(data.begin(), data.end());
    o.mode = dec.mode();
    return o;
}

} // namespace

TEST(ZelProto, ClientTellsAFramingServerFromAnOldOne)
{
    // A server of this version: its hello, framed output, the exit status.
    std::vector<uint8_t> framed;
    encode_server_hello(framed);
    const std::string text = "login: \xff\r\n";
    encode_data(reinterpret_cast<const uint8_t *>(text.data()), text.size(), framed);
    encode_exit({ExitStatus::Exited, 3}, framed);
    framed.insert(framed.end(), {0xFF, 'Z', 2, 0xFF, 0xFF, 'y'});  // a later message, then data
    for (size_t piece = 1; piece <= framed.size(); ++piece) {
        SCOPED_TRACE(piece);
        Output o = client_reads(framed, piece);
        EXPECT_EQ(o.mode, OutputDecoder::Mode::Framed);
        EXPECT_EQ(o.data, text + "y");
        ASSERT_EQ(o.events.size(), 2u);
        EXPECT_EQ(o.events[0].kind, Event::ServerHello);
        EXPECT_EQ(o.events[0].version, kVersion);
        EXPECT_EQ(o.events[1].kind, Event::Exit);
        EXPECT_EQ(o.events[1].exit, (ExitStatus{ExitStatus::Exited, 3}));
    }

    // An older server's output is taken as it is, 0xFF bytes included.
    for (const std::string &old : {std::string("login: \xff\xff"), std::string("\xff\xfe" "ab"), std::string("\xff")}) {
        std::vector<uint8_t> in(old.begin(), old.end());
        for (size_t piece = 1; piece <= in.size(); ++piece) {
            Output o = client_reads(in, piece);
            EXPECT_EQ(o.mode, OutputDecoder::Mode::Raw);
            EXPECT_EQ(o.data, old);
            EXPECT_TRUE(o.events.empty());
        }
    }
    // A broken exit message is reported, not taken.
    Output o = client_reads({0xFF, 'H', 1, 2, 0xFF, 'X', 1, 0, 0xFF, 'X', 2, 7, 1}, 1);
    ASSERT_EQ(o.events.size(), 3u);
    EXPECT_EQ(o.events[1].kind, Event::Invalid);
    EXPECT_EQ(o.events[2].kind, Event::Invalid);
}
