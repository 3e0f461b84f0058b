// zelterm's side of the session: the input is what the user types, in
// reads of the sizes the input chooses, with window changes in between, a
// terminal type and perhaps the end of input. Typed bytes pass the "~"
// escape detector and are framed with the hello, window and end messages;
// Zeltty's decoder must get back exactly the bytes the detector let through
// and exactly those messages, and the detector must find the same commands
// whatever the reads were.
//
// Also here, as zelterm reads them: the command line's address text (a
// good one is printed back and read again to the same address), and a line
// of the service list for a name as it came from the network.
#include "fuzzinput.h"
#include "proto.h"
#include "termcore.h"

using namespace zelproto;
using namespace zelterm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);

    // The hello, as the session starts.
    std::string term = in.text(50);
    WindowSize ws{in.u16(), in.u16(), in.u16(), in.u16()};
    std::vector<uint8_t> stream;
    const std::string sent_term = valid_term(term) ? term : "dumb";
    encode_hello(sent_term, ws, stream);

    EscapeDetector esc, esc_whole;
    std::string typed, passed;
    std::vector<Escape> commands;
    std::vector<WindowSize> windows;
    bool quit = false, ended = false;
    // Each read is taken as zelterm takes it: up to a command, which acts,
    // then the rest.
    auto take = [](EscapeDetector &d, const uint8_t *p, size_t n, std::string &send,
                   std::vector<Escape> &cmds) {
        while (n > 0) {
            size_t used = 0;
            Escape e = d.feed(p, n, send, used);
            FUZZ_CHECK(used <= n);
            FUZZ_CHECK(used == n || e != Escape::None);
            FUZZ_CHECK(used > 0);
            p += used;
            n -= used;
            if (e == Escape::None)
                continue;
            cmds.push_back(e);
            if (e == Escape::Quit)
                return true;
        }
        return false;
    };
    while (!in.empty() && !quit && !ended) {
        uint8_t what = in.u8();
        if (what % 8 == 0) {
            WindowSize w{static_cast<uint16_t>(in.range(1, 500)), static_cast<uint16_t>(in.range(1, 500)),
                         in.u16(), in.u16()};
            encode_window(w, stream);
            windows.push_back(w);
            continue;
        }
        if (what == 0xFF) {
            // The local input ends.
            encode_end_of_input(stream);
            ended = true;
            break;
        }
        std::vector<uint8_t> keys = in.chunk(40);
        typed.append(keys.begin(), keys.end());
        std::string out;
        quit = take(esc, keys.data(), keys.size(), out, commands);
        passed += out;
        encode_data(reinterpret_cast<const uint8_t *>(out.data()), out.size(), stream);
    }
    // One read of everything typed decides the same.
    std::string whole;
    std::vector<Escape> commands_whole;
    bool quit_whole = take(esc_whole, reinterpret_cast<const uint8_t *>(typed.data()), typed.size(),
                           whole, commands_whole);
    FUZZ_CHECK(quit_whole == quit);
    FUZZ_CHECK(commands_whole == commands);
    FUZZ_CHECK(whole == passed);
    FUZZ_CHECK(passed.size() <= typed.size());

    Decoder dec;
    std::vector<uint8_t> got;
    std::vector<Event> events;
    dec.feed(stream.data(), stream.size(), got, events);
    FUZZ_CHECK(!dec.in_message());
    FUZZ_CHECK(std::string(got.begin(), got.end()) == passed);
    FUZZ_CHECK(events.size() == 1 + windows.size() + (ended ? 1 : 0));
    FUZZ_CHECK(events[0].kind == Event::Hello);
    FUZZ_CHECK(events[0].version == kVersion);
    FUZZ_CHECK(!events[0].after_data);
    FUZZ_CHECK(events[0].term == sent_term);
    if (valid_window(ws))
        FUZZ_CHECK(events[0].window == ws);
    else
        FUZZ_CHECK(events[0].window == WindowSize{});
    for (size_t i = 0; i < windows.size(); i++) {
        FUZZ_CHECK(events[1 + i].kind == Event::Window);
        FUZZ_CHECK(events[1 + i].window == windows[i]);
    }
    if (ended)
        FUZZ_CHECK(events.back().kind == Event::EndOfInput);

    // The address on the command line.
    std::string text = in.text(40);
    uint8_t addr[12];
    std::string error;
    AddrParse p = parse_address(text, addr, error);
    if (p == AddrParse::Ok) {
        std::string shown = format_address(addr);
        uint8_t again[12];
        FUZZ_CHECK(parse_address(shown, again, error) == AddrParse::Ok);
        FUZZ_CHECK(std::equal(addr, addr + 12, again));
    } else if (p == AddrParse::Bad) {
        FUZZ_CHECK(!error.empty());
    } else {
        FUZZ_CHECK(text.find(':') == std::string::npos);
    }

    // A service list line shows no control character of the name.
    std::string name = in.text(60);
    uint16_t type = in.u16();
    uint16_t hops = in.u16();
    std::string row = list_row(name, type, addr, hops);
    FUZZ_CHECK(!row.empty() && row.back() == '\n');
    for (size_t i = 0; i + 1 < row.size(); i++)
        FUZZ_CHECK(static_cast<unsigned char>(row[i]) >= 0x20 && row[i] != 0x7f);
    return 0;
}
