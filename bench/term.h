// A client program on a pseudo-terminal that the benchmark owns, driven as
// a user at a terminal would: keys are written to the master side, the
// screen is what comes back from it.
#ifndef DRAX_BENCH_TERM_H
#define DRAX_BENCH_TERM_H

#include "benchsys.h"

#include <string>
#include <vector>

namespace bench {

class Term {
public:
    Term() = default;
    ~Term();
    Term(const Term &) = delete;
    Term &operator=(const Term &) = delete;

    // Opens a pty (24 x 80) and runs argv on it as the leader of a new
    // session with the pty as its controlling terminal.
    bool start(const std::vector<std::string> &argv, const Env &env, std::string &why);

    pid_t pid() const { return pid_; }
    int fd() const { return fd_; }

    // Reads whatever output is there without waiting; false once the
    // terminal has nothing more to give (all its users closed it).
    bool pump();
    // True when `text` has come since the last match; the output up to its
    // end is then consumed.
    bool found(const std::string &text);
    // Reads until `text` comes (true) or the limit passes.
    bool wait_for(const std::string &text, std::chrono::milliseconds limit);
    // Discards the output that has come so far.
    void drain();
    bool type(const std::string &keys);

    // One key's round trip: drains, writes `key`, reads until it is echoed.
    // Microseconds, or -1 when it did not come within the limit.
    double echo_us(char key, std::chrono::milliseconds limit);

    // Types `exit_keys` and waits for the client to end; kills it when it
    // does not end within the limit.
    void finish(const std::string &exit_keys, std::chrono::milliseconds limit);

    // True once the client has ended (it is then reaped).
    bool ended();

    // The last output, for messages.
    std::string tail() const;

private:
    int fd_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    std::string buf_;       // output not consumed by a match
    size_t searched_ = 0;   // buf_ holds no match for the last text before this
    std::string last_text_;
};

// Waits until every terminal has shown `text` (each consumes its match) or
// its client has ended. The number that showed it; `done_at` gets the time
// each one did.
size_t wait_all(std::vector<Term *> &terms, const std::string &text,
                std::chrono::milliseconds limit, std::vector<Clock::time_point> *done_at = nullptr);

} // namespace bench

#endif
