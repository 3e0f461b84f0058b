// Ombrad's engine, stateful: one input is a series of datagrams on the
// request socket and the SAP socket, from this host or others, and the
// passing of time. Requests and responses are mostly well formed (names
// from a small set, so that they meet again), some are garbage.
//
// Checked: every request from this host of 4 bytes or more gets exactly
// one reply, echoing its code and sequence number, and nothing else gets
// one; a bind or unbind reported done is what the table shows; every SAP
// packet sent decodes; the tables keep their limits and never hold one name
// and type twice; after on_timer nothing is due at once.
//
// Also: the state file of an earlier run (a text of the input's, or one
// written from chosen services), restored before anything else happens;
// the stack's answers about the local services' sockets; and what the
// engine would save reads back the same.
#include "engine.h"
#include "fuzzinput.h"
#include "state.h"

using namespace ombrad;
using namespace sap;

namespace {

const Local kLocal{0x00000001, {0, 0, 10, 0, 0, 1}};

std::string pick_name(fuzz::Input &in)
{
    static const char *const names[] = {"HOST", "host", "SERVER-2", "A", "",
                                        "THE SERVICE WITH A NAME OF EXACTLY 47 CHARACTER",
                                        "THE SERVICE WITH A NAME OF EXACTLY 48 CHARACTERS"};
    uint8_t i = in.u8();
    if (i < 7 * 32)
        return names[i % 7];
    return in.text(60);
}

Node pick_node(fuzz::Input &in)
{
    uint8_t i = in.u8() % 6;
    if (i == 0)
        return kLocal.node;
    if (i == 1)
        return Node{0, 0, 10, 0, 0, 2};
    if (i == 2)
        return Node{};
    if (i == 3)
        return kBroadcastNode;
    Node n;
    for (auto &b : n)
        b = in.u8();
    return n;
}

Address pick_sender(fuzz::Input &in)
{
    Address a;
    uint8_t i = in.u8() % 4;
    a.net = i == 3 ? in.u32() : kLocal.net;
    a.node = i == 0 ? Node{0, 0, 10, 0, 0, 9} : kLocal.node;
    a.socket = in.u16();
    return a;
}

uint16_t pick_type(fuzz::Input &in)
{
    static const uint16_t types[] = {0x0247, 0x0004, 0x0000, 0xFFFF};
    uint8_t i = in.u8();
    return i < 4 * 48 ? types[i % 4] : in.u16();
}

bool from_local(const Address &a) { return a.net == kLocal.net && a.node == kLocal.node; }

void check_sap_sends(const std::vector<Send> &out)
{
    for (const Send &s : out) {
        if (s.from_socket != kSapSocket)
            continue;
        Packet pk;
        std::string why;
        FUZZ_CHECK(decode_packet(s.data.data(), s.data.size(), pk, why));
        FUZZ_CHECK(pk.op == kGeneralResponse || pk.op == kNearestResponse);
    }
}

void check_table(const Engine &e, const Limits &lim)
{
    const ServiceTable &t = e.table();
    FUZZ_CHECK(t.local().size() <= lim.local);
    FUZZ_CHECK(t.learned_count() <= lim.learned);
    for (size_t i = 0; i < t.local().size(); i++) {
        const Entry &a = t.local()[i];
        FUZZ_CHECK(valid_name(a.name));
        for (size_t j = i + 1; j < t.local().size(); j++) {
            const Entry &b = t.local()[j];
            FUZZ_CHECK(a.type != b.type || !same_name(a.name, b.name));
        }
    }
}

// A state file: mostly the encoding of a few services, sometimes damaged,
// sometimes any text.
std::string state_text(fuzz::Input &in)
{
    if (in.u8() % 4 == 0)
        return in.text();
    std::vector<SavedService> services(in.range(0, 4));
    for (SavedService &sv : services) {
        sv.entry.type = pick_type(in);
        sv.entry.name = pick_name(in);
        sv.entry.addr.node = pick_node(in);
        sv.entry.addr.socket = static_cast<uint16_t>(0x4000 + in.u8());
        if (in.flag())
            sv.uid = static_cast<int32_t>(in.u8() % 4 == 0 ? in.u32() : in.u8());
        sv.owner_socket = static_cast<uint16_t>(0x4000 + in.u8());
    }
    std::string text = encode_state(services);
    if (in.u8() % 4 == 0 && !text.empty())
        text[in.u8() % text.size()] = static_cast<char>(in.u8());
    return text;
}

// What the engine would save reads back as it is.
void check_saved(const Engine &e)
{
    std::vector<SavedService> saved = e.saved(), again;
    std::string why;
    FUZZ_CHECK(decode_state(encode_state(saved), saved.size(), again, why));
    FUZZ_CHECK(again.size() == saved.size());
    for (size_t i = 0; i < saved.size(); i++) {
        FUZZ_CHECK(again[i].entry.type == saved[i].entry.type);
        FUZZ_CHECK(again[i].entry.name == saved[i].entry.name);
        FUZZ_CHECK(again[i].entry.addr.node == saved[i].entry.addr.node);
        FUZZ_CHECK(again[i].entry.addr.socket == saved[i].entry.addr.socket);
        FUZZ_CHECK(again[i].uid == saved[i].uid);
        FUZZ_CHECK(again[i].owner_socket == saved[i].owner_socket);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    Limits lim;
    if (in.flag()) {
        lim.local = in.range(0, 4);
        lim.learned = in.range(0, 8);
    }
    Time now = Time{} + std::chrono::hours(1);
    int logged = 0;
    Engine engine(kLocal, now, lim, [&](Level, const std::string &text) {
        FUZZ_CHECK(!text.empty());
        logged++;
    });
    std::vector<Send> out;
    bool started = false;
    while (!in.empty()) {
        out.clear();
        uint8_t op = in.u8() % 8;
        if (op == 6 && started)
            op = 7;
        started = true;
        switch (op) {
        case 0:
        case 1: {  // a request
            Address sender = pick_sender(in);
            Bytes d;
            Request r;
            if (in.u8() % 8 == 0) {
                d = in.chunk(70);
            } else {
                uint8_t c = in.u8();
                r.code = c < 240 ? static_cast<uint16_t>(1 + c % 2) : in.u16();
                r.seq = in.u16();
                r.type = pick_type(in);
                r.socket = in.u8() % 4 == 0 ? 0 : static_cast<uint16_t>(0x4000 + in.u8());
                r.name = pick_name(in);
                r.node = pick_node(in);
                d = encode_request(r);
            }
            engine.on_request(d.data(), d.size(), sender, now, out);
            size_t replies = 0;
            for (const Send &s : out) {
                if (s.from_socket != kRequestSocket)
                    continue;
                replies++;
                FUZZ_CHECK(s.to == sender);
                Reply rep;
                FUZZ_CHECK(decode_reply(s.data.data(), s.data.size(), rep));
                FUZZ_CHECK(rep.code == (((d[0] << 8) | d[1]) | kReplyBit));
                FUZZ_CHECK(rep.seq == ((d[2] << 8) | d[3]));
                if (rep.status != kOk || d.size() != kRequestSize)
                    continue;
                // Done means done.
                Request got;
                std::string why;
                FUZZ_CHECK(decode_request(d.data(), d.size(), got, why));
                bool found = false;
                for (const Entry &e : engine.table().local())
                    found = found || (e.type == got.type && same_name(e.name, got.name));
                FUZZ_CHECK(found == (got.code == kCodeBind));
            }
            FUZZ_CHECK(replies == ((from_local(sender) && d.size() >= 4) ? 1u : 0u));
            break;
        }
        case 2:
        case 3: {  // a SAP packet
            Address sender = pick_sender(in);
            Bytes d;
            uint8_t how = in.u8() % 4;
            if (how == 0) {
                d = in.chunk();
            } else if (how == 1) {
                d = encode_query(in.flag() ? kGeneralQuery : kNearestQuery, pick_type(in));
            } else {
                std::vector<Entry> entries(in.range(1, 8));
                for (Entry &e : entries) {
                    e.type = pick_type(in);
                    e.name = pick_name(in);
                    e.addr.net = in.u8() % 4 == 0 ? kLocal.net : in.u32();
                    e.addr.node = pick_node(in);
                    e.addr.socket = in.u16();
                    e.hops = static_cast<uint16_t>(in.range(0, 17));
                }
                for (const Bytes &b : encode_responses(in.flag() ? kGeneralResponse : kNearestResponse,
                                                       entries)) {
                    engine.on_sap(b.data(), b.size(), sender, now, out);
                }
            }
            if (!d.empty())
                engine.on_sap(d.data(), d.size(), sender, now, out);
            for (const Send &s : out)
                FUZZ_CHECK(s.from_socket == kSapSocket && s.to == sender);
            break;
        }
        case 4:
            now += std::chrono::seconds(in.flag() ? in.u16() : in.u8());
            engine.on_timer(now, out);
            FUZZ_CHECK(engine.next_deadline() > now);
            break;
        case 5:
            if (in.u8() % 8 == 0) {
                engine.withdraw_all(out);
                FUZZ_CHECK(engine.table().local().empty());
            }
            break;
        case 6: {  // the state file of an earlier run, before anything else
            std::vector<SavedService> saved;
            std::string why;
            if (decode_state(state_text(in), lim.local, saved, why)) {
                FUZZ_CHECK(saved.size() <= lim.local);
                engine.restore(saved);
            } else {
                FUZZ_CHECK(!why.empty() && saved.empty());
            }
            break;
        }
        case 7: {  // the stack's answer about the sockets, when asked
            std::optional<Time> when = engine.next_check();
            if (!when || *when > now)
                break;
            std::vector<uint16_t> sockets = engine.check_sockets();
            if (in.u8() % 8 == 0) {
                engine.on_check_failed("the stack does not answer", now);
                break;
            }
            std::vector<SocketState> states;
            for (size_t i = 0; i < sockets.size(); i++) {
                uint8_t b = in.u8();
                states.push_back({(b & 1) != 0, b & 2 ? 0 : static_cast<int32_t>(b >> 2)});
            }
            engine.on_check(sockets, states, now, out);
            std::optional<Time> next = engine.next_check();
            FUZZ_CHECK(!next || *next > now);
            break;
        }
        }
        check_sap_sends(out);
        check_table(engine, lim);
        check_saved(engine);
    }
    return 0;
}
