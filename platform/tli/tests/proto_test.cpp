// The endpoint message codec: exact lengths, short bodies, headers.
#include "proto.h"

#include <gtest/gtest.h>
#include <tiuser.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tliproto;

TEST(Proto, HeaderRoundTripAndLength)
{
    Writer w;
    w.i32(-5).u32(7).bytes("abc", 3);
    auto msg = build(kBind, kFlagBlock, 42, 3, 4, w.data());
    ASSERT_EQ(msg.size(), kHeaderLen + 11);
    Header h = get_header(msg.data());
    EXPECT_EQ(h.type, kBind);
    EXPECT_EQ(h.flags, kFlagBlock);
    EXPECT_EQ(h.len, msg.size());
    EXPECT_EQ(h.reqid, 42u);
    EXPECT_EQ(h.terr, 3);
    EXPECT_EQ(h.syserr, 4);
    Reader r(msg.data() + kHeaderLen, msg.size() - kHeaderLen);
    int32_t a;
    uint32_t b;
    char s[3];
    EXPECT_TRUE(r.i32(a) && r.u32(b) && r.bytes(s, 3));
    EXPECT_TRUE(r.done());
    EXPECT_EQ(a, -5);
    EXPECT_EQ(b, 7u);
}

TEST(Proto, ReaderRejectsShortAndLongBodies)
{
    uint8_t body[6] = {1, 0, 0, 0, 2, 0};
    Reader r(body, sizeof(body));
    uint32_t v;
    EXPECT_TRUE(r.u32(v));
    EXPECT_FALSE(r.done());  // two bytes left over
    EXPECT_FALSE(r.u32(v));  // only two bytes left
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.done());
    const uint8_t *p;
    EXPECT_FALSE(r.view(p, 1));  // stays failed
    // A length field larger than what follows never reads past the end.
    Reader r2(body, sizeof(body));
    EXPECT_FALSE(r2.view(p, 0xFFFFFFFFu));
    Reader r3(body, sizeof(body));
    uint32_t n;
    r3.u32(n);
    EXPECT_FALSE(r3.view(p, 3));
}

TEST(Proto, InfoBodyIsExact)
{
    InfoBody in;
    in.addr = 12;
    in.tsdu = -1;
    in.servtype = 1;
    in.state = 5;
    Writer w;
    in.write(w);
    InfoBody out;
    Reader r(w.data().data(), w.data().size());
    EXPECT_TRUE(out.read(r) && r.done());
    EXPECT_EQ(out.tsdu, -1);
    EXPECT_EQ(out.state, 5);
    Reader shortr(w.data().data(), w.data().size() - 1);
    EXPECT_FALSE(out.read(shortr));
}

TEST(Proto, TypeNames)
{
    EXPECT_EQ(type_name(kListen), "listen");
    EXPECT_EQ(type_name(kListen | kReply), "reply to listen");
    EXPECT_EQ(type_name(999), "type 999");
}

// The library's side, against a scripted daemon: the endpoint is one end of
// a socket pair, the replies wait in the other end.
namespace {

std::vector<int> open_fds()
{
    std::vector<int> v;
    for (int fd = 0; fd < 256; fd++)
        if (fcntl(fd, F_GETFD) >= 0)
            v.push_back(fd);
    return v;
}

// Puts `msg` with a descriptor of /dev/null attached in the daemon's end.
void send_with_fd(int daemon, const std::vector<uint8_t> &msg)
{
    int pass = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(pass, 0);
    OutMessage om(msg, pass);
    ASSERT_GE(sendmsg(daemon, &om.mh, MSG_NOSIGNAL), 0);
    close(pass);
}

} // namespace

// Only t_open expects a descriptor with its reply; one that comes with any
// other message is closed, whatever the message.
TEST(LibraryReplies, StrayDescriptorsAreClosed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the library talks only to a daemon of root's";
    const std::vector<int> before = open_fds();
    for (int round = 0; round < 2; round++) {
        // The library's request ids are its pid and a counter: a call to a
        // daemon that is gone already tells the id the next call will use.
        int gone[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, gone), 0);
        shutdown(gone[1], SHUT_WR);
        EXPECT_EQ(t_look(gone[0]), -1);
        uint8_t req[kHeaderLen];
        ASSERT_EQ(recv(gone[1], req, sizeof req, MSG_DONTWAIT), static_cast<ssize_t>(kHeaderLen));
        close(gone[0]);
        close(gone[1]);
        uint32_t next = get_header(req).reqid + 1;
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        Writer ev;
        ev.i32(0);
        if (round == 0) {
            // A good reply to t_look, with a descriptor it has no use for.
            send_with_fd(sv[1], build(kLook | kReply, 0, next, 0, 0, ev.data()));
        } else {
            // An empty message: the daemon's end is gone for the library.
            send_with_fd(sv[1], {});
        }
        shutdown(sv[1], SHUT_WR);
        EXPECT_EQ(t_look(sv[0]), round == 0 ? 0 : -1);
        close(sv[0]);
        close(sv[1]);
        EXPECT_EQ(open_fds(), before) << "round " << round;
    }
}
