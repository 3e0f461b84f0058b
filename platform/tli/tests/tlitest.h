// Shared pieces of the TLI tests: one stack per test program (started in
// the private namespace), and small helpers that fail the test on error.
#ifndef DRAX_TLITEST_H
#define DRAX_TLITEST_H

#include "stackproc.h"

#include <gtest/gtest.h>
#include <tiuser.h>

#include <array>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <string>

namespace tlitest {

using Addr = std::array<uint8_t, 12>;

class TliTest : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    static stacktest::StackProc &stack() { return *stack_; }

protected:
    void SetUp() override;
    static std::unique_ptr<stacktest::StackProc> stack_;
};

Addr make_addr(uint32_t net, uint32_t host, uint16_t socket);
uint16_t socket_of(const Addr &a);

int open_ep(const char *dev, int oflag = O_RDWR);
// Binds (address chosen by the provider when want is null); returns the
// bound address.
Addr bind_ep(int fd, unsigned qlen, const Addr *want = nullptr);

// A connection: `cli` called `lis`, the call was accepted on `srv` (or on
// `lis` itself when srv_on_listener).
struct Conn {
    int lis = -1, srv = -1, cli = -1;
    Addr lis_addr{};
    void close_all();
};
Conn connect_pair(bool srv_on_listener = false, const char *dev = "/dev/ravspx");

// A caller: a non-blocking endpoint, bound (at *bound, if given), whose
// connect request to `to` is on its way (t_connect answered TNODATA).
int call_to(const Addr &to, Addr *bound = nullptr);

// Blocking receive of exactly n bytes of one or more units.
std::string rcv_exactly(int fd, size_t n);
// Waits until t_look reports `event` (bounded).
bool wait_look(int fd, int event, int ms = 5000);
void set_nonblock(int fd, bool on);

} // namespace tlitest

#endif
