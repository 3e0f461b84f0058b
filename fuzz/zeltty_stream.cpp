// The session stream from the client as Zeltty decodes it: the input is
// the stream, cut into reads at places the input also chooses. Any cut
// must give the same data and messages as the whole stream in one piece,
// a read never yields more data than it brought (Zeltty's queue relies on
// it), and every accepted hello or window size is one Zeltty may apply.
#include "fuzzinput.h"
#include "proto.h"

using namespace zelproto;

namespace {

bool same(const Event &a, const Event &b)
{
    return a.kind == b.kind && a.term == b.term && a.window == b.window && a.problem == b.problem;
}

void check_event(const Event &e)
{
    switch (e.kind) {
    case Event::Hello:
        FUZZ_CHECK(e.term.empty() || valid_term(e.term));
        FUZZ_CHECK(e.window == WindowSize{} || valid_window(e.window));
        FUZZ_CHECK(e.problem.empty() == (!e.term.empty() && e.window != WindowSize{}));
        break;
    case Event::Window:
        FUZZ_CHECK(valid_window(e.window));
        break;
    case Event::Invalid:
        FUZZ_CHECK(!e.problem.empty());
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte seeds the cuts; the rest is the stream.
    uint32_t seed = data[0] * 2654435761u + 1;
    std::vector<uint8_t> stream(data + 1, data + size);

    Decoder whole;
    std::vector<uint8_t> data1;
    std::vector<Event> events1;
    whole.feed(stream.data(), stream.size(), data1, events1);
    FUZZ_CHECK(data1.size() <= stream.size());
    for (const Event &e : events1)
        check_event(e);

    Decoder pieces;
    std::vector<uint8_t> data2;
    std::vector<Event> events2;
    size_t off = 0;
    while (off < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + (seed >> 16) % 64;
        if (n > stream.size() - off)
            n = stream.size() - off;
        std::vector<uint8_t> piece(stream.begin() + static_cast<long>(off),
                                   stream.begin() + static_cast<long>(off + n));
        size_t before = data2.size();
        pieces.feed(piece.data(), piece.size(), data2, events2);
        FUZZ_CHECK(data2.size() - before <= n);
        off += n;
    }
    FUZZ_CHECK(data1 == data2);
    FUZZ_CHECK(events1.size() == events2.size());
    for (size_t i = 0; i < events1.size(); i++)
        FUZZ_CHECK(same(events1[i], events2[i]));
    FUZZ_CHECK(whole.in_message() == pieces.in_message());
    return 0;
}
