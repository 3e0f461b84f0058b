// The session stream in both directions, as the two ends decode it: from
// the client as Zeltty reads it, and from the server as zelterm reads it
// (unframed from an old server, framed after a new server's hello). The
// first byte chooses the direction and seeds the cuts; the rest is the
// stream, cut into reads at places the seed chooses. Any cut must give the
// same data and messages as the whole stream in one piece, a read never
// yields more data than it brought (Zeltty's queue relies on it), each
// direction yields only its own messages, and every accepted hello, window
// size or exit status is one the reader may apply.
#include "fuzzinput.h"
#include "proto.h"

using namespace zelproto;

namespace {

bool same(const Event &a, const Event &b)
{
    return a.kind == b.kind && a.term == b.term && a.window == b.window && a.problem == b.problem &&
           a.version == b.version && a.exit == b.exit && a.after_data == b.after_data;
}

void check_event(const Event &e, Side side)
{
    switch (e.kind) {
    case Event::Hello:
        FUZZ_CHECK(side == Side::FromClient);
        FUZZ_CHECK(e.term.empty() || valid_term(e.term));
        FUZZ_CHECK(e.window == WindowSize{} || valid_window(e.window));
        FUZZ_CHECK(e.problem.empty() == (!e.term.empty() && e.window != WindowSize{}));
        break;
    case Event::Window:
        FUZZ_CHECK(side == Side::FromClient);
        FUZZ_CHECK(valid_window(e.window));
        break;
    case Event::EndOfInput:
        FUZZ_CHECK(side == Side::FromClient);
        break;
    case Event::ServerHello:
        FUZZ_CHECK(side == Side::FromServer);
        break;
    case Event::Exit:
        FUZZ_CHECK(side == Side::FromServer);
        FUZZ_CHECK(e.exit.kind == ExitStatus::Exited || e.exit.kind == ExitStatus::Signalled);
        break;
    case Event::Invalid:
        FUZZ_CHECK(!e.problem.empty());
        break;
    }
}

// The reads: sizes from 1 to 64 drawn from the seed.
template <typename Feed>
void in_pieces(const std::vector<uint8_t> &stream, uint32_t seed, Feed feed)
{
    size_t off = 0;
    while (off < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + (seed >> 16) % 64;
        if (n > stream.size() - off)
            n = stream.size() - off;
        feed(stream.data() + off, n);
        off += n;
    }
}

void from_client(const std::vector<uint8_t> &stream, uint32_t seed)
{
    Decoder whole(Side::FromClient);
    std::vector<uint8_t> data1;
    std::vector<Event> events1;
    whole.feed(stream.data(), stream.size(), data1, events1);
    FUZZ_CHECK(data1.size() <= stream.size());
    for (const Event &e : events1)
        check_event(e, Side::FromClient);

    Decoder pieces(Side::FromClient);
    std::vector<uint8_t> data2;
    std::vector<Event> events2;
    in_pieces(stream, seed, [&](const uint8_t *p, size_t n) {
        size_t before = data2.size();
        pieces.feed(p, n, data2, events2);
        FUZZ_CHECK(data2.size() - before <= n);
    });
    FUZZ_CHECK(data1 == data2);
    FUZZ_CHECK(events1.size() == events2.size());
    for (size_t i = 0; i < events1.size(); i++)
        FUZZ_CHECK(same(events1[i], events2[i]));
    FUZZ_CHECK(whole.in_message() == pieces.in_message());
}

void from_server(const std::vector<uint8_t> &stream, uint32_t seed)
{
    OutputDecoder whole;
    std::vector<uint8_t> data1;
    std::vector<Event> events1;
    whole.feed(stream.data(), stream.size(), data1, events1);
    whole.finish(data1);
    for (const Event &e : events1)
        check_event(e, Side::FromServer);
    // An old server's output passes as it is; a new one's opens with its
    // hello.
    if (whole.mode() == OutputDecoder::Mode::Raw) {
        FUZZ_CHECK(data1 == stream);
        FUZZ_CHECK(events1.empty());
    } else if (whole.mode() == OutputDecoder::Mode::Framed) {
        FUZZ_CHECK(stream.size() >= 2 && stream[0] == kEscape && stream[1] == kHello);
        FUZZ_CHECK(data1.size() <= stream.size());
        bool hello_whole = stream.size() >= 3 && stream.size() >= 3 + size_t{stream[2]};
        FUZZ_CHECK(!events1.empty() || !hello_whole);
    } else {
        FUZZ_CHECK(stream.empty());
    }

    OutputDecoder pieces;
    std::vector<uint8_t> data2;
    std::vector<Event> events2;
    in_pieces(stream, seed, [&](const uint8_t *p, size_t n) {
        size_t before = data2.size();
        pieces.feed(p, n, data2, events2);
        // The first byte 0xFF may wait for the second.
        FUZZ_CHECK(data2.size() - before <= n + 1);
    });
    pieces.finish(data2);
    FUZZ_CHECK(pieces.mode() == whole.mode());
    FUZZ_CHECK(data1 == data2);
    FUZZ_CHECK(events1.size() == events2.size());
    for (size_t i = 0; i < events1.size(); i++)
        FUZZ_CHECK(same(events1[i], events2[i]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte: the direction (its low bit) and the seed of the cuts.
    uint32_t seed = data[0] * 2654435761u + 1;
    std::vector<uint8_t> stream(data + 1, data + size);
    if (data[0] & 1)
        from_server(stream, seed);
    else
        from_client(stream, seed);
    return 0;
}
