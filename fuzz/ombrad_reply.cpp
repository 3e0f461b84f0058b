// The request library's checks of Ombrad's replies (ravzelsrv), over the
// TLI test double: one input is a series of bind and unbind requests, each
// followed by datagrams that arrive at the request's endpoint (Ombrad's
// reply, replies to other requests, other senders' datagrams, garbage),
// with a clock and waits that the input drives.
//
// Checked: the request takes the first datagram that is exactly the reply
// (from Ombrad's address, 8 bytes, the request's code with the reply bit,
// its sequence number) and returns its status; anything else is passed
// over; without a reply the request fails with 5.
#include "fuzzinput.h"
#include "isrv.h"
#include "ravzel.h"
#include "tlifake.h"

#include <cerrno>
#include <cstring>
#include <deque>

namespace {

const unsigned char kNet[4] = {0x00, 0x00, 0xab, 0xcd};
const unsigned char kNode[6] = {0x00, 0x00, 0x0a, 0x00, 0x00, 0x07};

struct Datagram {
    ipx_addr from;
    std::vector<unsigned char> data;
    unsigned reported = 0;  // udata.len the provider reports
    bool good = false;      // exactly the reply the request waits for
    int32_t status = 0;
};

struct Script {
    fuzz::Input *in = nullptr;
    std::deque<Datagram> inbox;
    std::vector<const Datagram *> taken;
    std::deque<Datagram> done;  // keeps `taken` valid
    time_t now = 1000;
};

Script *sc = nullptr;

time_t fake_time(time_t *t)
{
    sc->now += sc->in->u8() % 4 == 0 ? sc->in->u8() % 4 : 0;
    if (t != nullptr)
        *t = sc->now;
    return sc->now;
}

int fake_wait(int, int timeout_ms)
{
    FUZZ_CHECK(timeout_ms >= 1000 && timeout_ms <= ISRV_WAIT_S * 1000);
    if (sc->inbox.empty())
        return 0;
    uint8_t w = sc->in->u8();
    if (w == 0xff) {
        errno = EINTR;
        return -1;
    }
    if (w == 0xfe) {
        sc->now += ISRV_WAIT_S;  // the whole wait passes
        return 0;
    }
    return 1;
}

ipx_addr ombrad_addr()
{
    ipx_addr a;
    std::memcpy(a.net, kNet, 4);
    std::memcpy(a.node, kNode, 6);
    a.socket[0] = 0x08;
    a.socket[1] = 0x72;
    return a;
}

void install_hooks()
{
    tlifake::reset();
    tlifake::hooks.bind = [](int, struct t_bind *, struct t_bind *ret) {
        ipx_addr a = ombrad_addr();
        a.socket[0] = 0x40;
        a.socket[1] = 0x01;
        FUZZ_CHECK(ret->addr.maxlen >= 12);
        std::memcpy(ret->addr.buf, &a, 12);
        ret->addr.len = 12;
        return 0;
    };
    tlifake::hooks.sndudata = [](int, t_unitdata *ud) {
        FUZZ_CHECK(ud->udata.len == sizeof(isrv_request));
        return sc->in->u8() == 0xff ? tlifake::fail(TSYSERR, EIO) : 0;
    };
    // As the library does: never more than the buffers hold; a datagram
    // too long for them fails. Now and then a provider that overstates the
    // length of what it delivered.
    tlifake::hooks.rcvudata = [](int, t_unitdata *ud, int *flags) {
        if (sc->inbox.empty())
            return tlifake::fail(TNODATA);
        sc->done.push_back(std::move(sc->inbox.front()));
        sc->inbox.pop_front();
        const Datagram &d = sc->done.back();
        if (d.data.size() > ud->udata.maxlen || ud->addr.maxlen < 12)
            return tlifake::fail(TSYSERR, EPROTO);
        sc->taken.push_back(&d);
        std::memcpy(ud->addr.buf, &d.from, 12);
        ud->addr.len = 12;
        if (!d.data.empty())
            std::memcpy(ud->udata.buf, d.data.data(), d.data.size());
        ud->udata.len = d.reported;
        *flags = 0;
        return 0;
    };
}

std::vector<unsigned char> reply_bytes(unsigned code, unsigned seq, uint32_t status)
{
    return {static_cast<unsigned char>(code >> 8), static_cast<unsigned char>(code),
            static_cast<unsigned char>(seq >> 8),  static_cast<unsigned char>(seq),
            static_cast<unsigned char>(status >> 24), static_cast<unsigned char>(status >> 16),
            static_cast<unsigned char>(status >> 8), static_cast<unsigned char>(status)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    Script script;
    script.in = &in;
    sc = &script;
    install_hooks();
    isrv_time = fake_time;
    isrv_wait = fake_wait;
    ravzel_trace = in.u8() % 16 == 0 ? 7 : 0;

    for (int round = 0; round < 4 && !in.empty(); round++) {
        script.inbox.clear();
        script.taken.clear();
        script.done.clear();
        const bool bind = in.flag();
        const unsigned code = (bind ? ISRV_BIND : ISRV_UNBIND) | 0x8000;
        const unsigned seq = isrv_seq;
        int count = in.u8() % 6;
        for (int i = 0; i < count; i++) {
            Datagram d;
            d.from = ombrad_addr();
            uint8_t how = in.u8();
            if (how % 8 == 1)
                d.from.socket[1] ^= 1;  // another socket of this host
            else if (how % 8 == 2)
                d.from.node[5] ^= 2;    // another host
            uint8_t kind = in.u8() % 6;
            if (kind == 0) {
                d.data = in.chunk(255);
                if (in.u8() % 8 == 0)
                    d.data.resize(546 + in.u8());  // longer than any datagram
            } else {
                unsigned c = kind == 1 ? (code ^ 3u) : (kind == 2 ? (code & 0x7fff) : code);
                unsigned s = kind == 3 ? seq + 1 + in.u8() : seq;
                d.status = static_cast<int32_t>(in.u8() % 4 == 0 ? in.u32() : in.u8() % 8);
                d.data = reply_bytes(c, s & 0xffff, static_cast<uint32_t>(d.status));
                if (kind == 5)
                    d.data.push_back(0);
            }
            d.reported = static_cast<unsigned>(d.data.size());
            if (in.u8() % 16 == 0)
                d.reported = 547 + in.u16();  // more than was delivered
            d.good = how % 8 != 1 && how % 8 != 2 &&
                     d.data.size() == 8 && d.reported == 8 &&
                     static_cast<unsigned>((d.data[0] << 8) | d.data[1]) == code &&
                     static_cast<unsigned>((d.data[2] << 8) | d.data[3]) == (seq & 0xffff);
            script.inbox.push_back(std::move(d));
        }

        ipx_addr ia = ombrad_addr();
        ia.node[5] = 0x07;
        ia.socket[0] = 0x80;
        ia.socket[1] = 0x63;
        uni_addr ua;
        std::memset(&ua, 0, sizeof ua);
        ravzel_iatoua(&ua, &ia);
        std::string name = in.text(60);
        int r = bind ? ravzel_srv_bind(name.c_str(), 0x247, &ua)
                     : ravzel_srv_unbind(name.c_str(), 0x247, &ua);

        // The answer is the first good datagram, and nothing after it was read.
        const Datagram *last = script.taken.empty() ? nullptr : script.taken.back();
        bool any_good_taken = false;
        for (const Datagram *d : script.taken)
            any_good_taken = any_good_taken || d->good;
        if (any_good_taken) {
            FUZZ_CHECK(last->good);
            FUZZ_CHECK(r == last->status);
            for (size_t i = 0; i + 1 < script.taken.size(); i++)
                FUZZ_CHECK(!script.taken[i]->good);
        } else {
            FUZZ_CHECK(r == 5);
        }
        FUZZ_CHECK(tlifake::count("t_open") == tlifake::count("t_close"));
    }
    fflush(stdout);
    sc = nullptr;
    return 0;
}
