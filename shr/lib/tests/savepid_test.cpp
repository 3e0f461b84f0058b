// The pid file with real processes: claims, stale and live owners, the
// races that its lock settles, and signalling through kill_process.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "savepid.h"
#include "testproc.h"
#include "trace.h"

namespace {

using namespace std::chrono_literals;

const uid_t nobody = 65534;
const uid_t stranger = 65533;  // a second unprivileged user

// A pipe that child processes wait on until the parent opens it.
class Gate {
public:
    Gate() { EXPECT_EQ(pipe2(fd_, O_CLOEXEC), 0); }
    ~Gate()
    {
        for (int fd : fd_)
            if (fd >= 0)
                close(fd);
    }
    void wait_in_child()
    {
        close(fd_[1]);
        char c;
        while (read(fd_[0], &c, 1) < 0 && errno == EINTR) {
        }
    }
    void open_gate()
    {
        if (fd_[1] >= 0)
            close(fd_[1]);
        fd_[1] = -1;
    }

private:
    int fd_[2] = {-1, -1};
};

// A forked process that runs `work`, reports its int result through a pipe,
// then waits at `hold` (when given) before ending. The destructor kills and
// reaps it if it is still there.
class Child {
public:
    Child(const std::function<int()> &work, Gate *hold = nullptr)
    {
        int p[2];
        EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            int r = work();
            (void)!write(p[1], &r, sizeof r);
            if (hold != nullptr)
                hold->wait_in_child();
            _exit(0);
        }
        close(p[1]);
        fd_ = p[0];
    }
    ~Child()
    {
        if (fd_ >= 0)
            close(fd_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

    // The reported result; -100 when none came within the limit.
    int result(int limit_ms = 10000)
    {
        pollfd p = {fd_, POLLIN, 0};
        int r;
        if (poll(&p, 1, limit_ms) != 1 || read(fd_, &r, sizeof r) != sizeof r)
            return -100;
        return r;
    }
    // Waits for the end; the wait status, or -1 on time-out.
    int finish(std::chrono::milliseconds limit = 10s)
    {
        int status = -1;
        bool done = testsupport::wait_until(
            [&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
        if (!done)
            return -1;
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

// Drops to another user (when uid is not 0); 0 on success.
int idle_as(uid_t uid)
{
    if (uid != 0 && (setgroups(0, nullptr) < 0 || setgid(uid) < 0 || setuid(uid) < 0))
        return -1;
    return 0;
}

class PidFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_LT((dir_ / "ptyd.pid").size(), 256u);
        strcpy(pidfile, (dir_ / "ptyd.pid").c_str());
    }
    void TearDown() override { strcpy(pidfile, "ptyd.pid"); }

    std::string content() { return testsupport::read_file(pidfile); }
    void set(const std::string &text)
    {
        unlink(pidfile);
        testsupport::write_file(pidfile, text, 0666);
        chmod(pidfile, 0666);
    }
    std::string mine() { return std::to_string(getpid()) + "\n"; }

    bool root() { return geteuid() == 0; }

    testsupport::TempDir dir_;
};

TEST_F(PidFile, ClaimWithoutAFile)
{
    EXPECT_EQ(exists_pid(), -1);
    mode_t old = umask(077);
    EXPECT_EQ(save_pid(), 0);
    EXPECT_EQ(umask(old), 077u) << "the caller's mask is restored";
    EXPECT_EQ(content(), mine());
    struct stat st;
    ASSERT_EQ(stat(pidfile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
    EXPECT_EQ(exists_pid(), 0);

    rm_pid();
    EXPECT_NE(access(pidfile, F_OK), 0);
    rm_pid();  // nothing left to remove
    EXPECT_EQ(exists_pid(), -1);

    strcpy(pidfile, (dir_ / "no/such/dir/ptyd.pid").c_str());
    EXPECT_EQ(save_pid(), -1);
}

TEST_F(PidFile, FilesNamingNoProcess)
{
    // kill_process with signal 0 shows whether a number reached kill():
    // 0 and -1 would "succeed" there for a process group or every process.
    struct {
        const char *text;
        int kill_result;
    } cases[] = {
        {"", -1}, {"abc\n", -1}, {"- 5\n", -1}, {"0\n", -2}, {"-1\n", -2},
        {"-0\n", -2}, {"  \n\t-7\n", -2}, {"99999999999999999999999\n", -2},
        {"2147483648\n", -2}, {"99999999\n", -2},
    };
    for (const auto &c : cases) {
        set(c.text);
        EXPECT_EQ(kill_process(pidfile, 0), c.kill_result) << c.text;
        EXPECT_EQ(exists_pid(), c.kill_result) << c.text;
        EXPECT_EQ(save_pid(), 0) << c.text;
        std::string got = content();
        EXPECT_EQ(got.substr(0, mine().size()), mine()) << c.text;
    }
    EXPECT_EQ(kill_process((dir_ / "none").c_str(), 0), -1);
}

TEST_F(PidFile, StaleFileIsOverwrittenWithoutTruncation)
{
    // The id of a process that has ended and been collected.
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);

    std::string old = std::to_string(gone) + "\n" + std::string(40, '5') + "\n";
    set(old);
    EXPECT_EQ(exists_pid(), -2);
    EXPECT_EQ(save_pid(), 0);
    EXPECT_EQ(content(), mine() + old.substr(mine().size()));
    EXPECT_EQ(exists_pid(), 0) << "readers take the first number only";
}

TEST_F(PidFile, OnlyTheFirst32BytesAreExamined)
{
    Gate gate;
    Child live([&] { return idle_as(0); }, &gate);
    ASSERT_EQ(live.result(), 0);

    // The live id lies beyond byte 32: save_pid does not see it...
    std::string text = std::string(32, ' ') + std::to_string(live.pid()) + "\n";
    set(text);
    EXPECT_EQ(exists_pid(), 0) << "kill_process reads past the blanks";
    EXPECT_EQ(save_pid(), 0);
    EXPECT_EQ(content().substr(0, mine().size()), mine());

    // ...within it, it does.
    set(std::string(31 - std::to_string(live.pid()).size(), ' ') +
        std::to_string(live.pid()) + "\n");
    EXPECT_EQ(save_pid(), -2);
    gate.open_gate();
    EXPECT_EQ(live.finish(), 0);
}

TEST_F(PidFile, LiveProcessOfTheSameUserKeepsTheFile)
{
    Gate gate;
    Child live([&] { return idle_as(0); }, &gate);
    ASSERT_EQ(live.result(), 0);
    std::string text = std::to_string(live.pid()) + "\n";
    set(text);

    EXPECT_EQ(exists_pid(), 0);
    EXPECT_EQ(save_pid(), -2);
    EXPECT_EQ(content(), text);

    // Kill mode: the named process receives the signal.
    EXPECT_EQ(kill_process(pidfile, SIGTERM), 0);
    int status = live.finish();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(kill_process(pidfile, SIGTERM), -2) << "now obsolete";
}

TEST_F(PidFile, LiveProcessOfAnotherUserCountsAsLive)
{
    if (!root())
        GTEST_SKIP() << "needs root to act as two users";
    Gate gate;
    Child other([&] { return idle_as(nobody); }, &gate);
    ASSERT_EQ(other.result(), 0);
    std::string text = std::to_string(other.pid()) + "\n";
    set(text);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);

    // Root may signal it.
    EXPECT_EQ(exists_pid(), 0);

    // A third user may not: the early test passes (-3), the claim does not.
    Child claimer([&] {
        if (idle_as(stranger) < 0)
            return -100;
        int e = exists_pid();
        int s = save_pid();
        return e * 10 + s;
    });
    EXPECT_EQ(claimer.result(), -3 * 10 + -2);
    EXPECT_EQ(WEXITSTATUS(claimer.finish()), 0);
    EXPECT_EQ(content(), text);

    gate.open_gate();
    EXPECT_EQ(other.finish(), 0);
}

TEST_F(PidFile, TwoClaimsAtOnceExactlyOneWins)
{
    for (int round = 0; round < 20; round++) {
        unlink(pidfile);
        Gate start, hold;
        auto claim = [&] {
            start.wait_in_child();
            return save_pid();
        };
        Child a(claim, &hold), b(claim, &hold);
        start.open_gate();
        int ra = a.result(), rb = b.result();
        ASSERT_TRUE((ra == 0 && rb == -2) || (ra == -2 && rb == 0))
            << "round " << round << ": " << ra << " " << rb;
        pid_t winner = ra == 0 ? a.pid() : b.pid();
        EXPECT_EQ(content(), std::to_string(winner) + "\n");
        hold.open_gate();
        EXPECT_EQ(a.finish(), 0);
        EXPECT_EQ(b.finish(), 0);
    }
}

// A running daemon keeps the lock: a second claim gives up at once rather
// than wait for ever, and leaves the file alone.
TEST_F(PidFile, ClaimWhileAnotherHoldsTheLockGivesUpAtOnce)
{
    set("99999999\n");
    int fd = open(pidfile, O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(extblock(fd, 0, 0, 1), 0);

    Child claimer([] { return save_pid(); });
    EXPECT_EQ(claimer.result(), -2);
    EXPECT_EQ(claimer.finish(), 0);
    EXPECT_EQ(content(), "99999999\n");

    close(fd);  // the holder is gone: the stale file is claimed
    Child second([] { return save_pid(); });
    std::string id = std::to_string(second.pid()) + "\n";
    EXPECT_EQ(second.result(), 0);
    EXPECT_EQ(second.finish(), 0);
    EXPECT_EQ(content().substr(0, id.size()), id);
}

// A pid file left behind names a number that the system has given to some
// unrelated program: the start goes on, and kill mode signals nothing.
TEST_F(PidFile, UnrelatedProcessWithTheRecordedIdIsNotBelieved)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    testsupport::Proc::Options o;
    o.stdin_fd = p[0];
    testsupport::Proc cat({"/bin/cat"}, o);
    close(p[0]);
    ASSERT_TRUE(testsupport::wait_until([&] { return same_program(cat.pid()) == 0; }, 10s))
        << "cat never started";
    set(std::to_string(cat.pid()) + "\n");

    EXPECT_EQ(exists_pid(), -2);
    EXPECT_EQ(kill_process(pidfile, SIGTERM), -2);
    EXPECT_EQ(kill(cat.pid(), 0), 0) << "still running";
    EXPECT_EQ(save_pid(), 0);
    EXPECT_EQ(content(), mine());

    close(p[1]);
    int st = cat.wait_exit();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    rm_pid();
}

// The holder of the lock is believed whatever program it runs now (here it
// locked the file, wrote its id and executed another program).
TEST_F(PidFile, LockHolderIsBelievedWhateverItRuns)
{
    set("");
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        int fd = open(pidfile, O_RDWR);  // not closed on exec: the lock stays
        std::string id = std::to_string(getpid()) + "\n";
        if (fd < 0 || extblock(fd, 0, 0, 1) < 0 || write(fd, id.data(), id.size()) < 0)
            _exit(98);
        dup2(p[0], 0);
        execl("/bin/cat", "cat", (char *)nullptr);
        _exit(99);
    }
    close(p[0]);
    auto locked = [&] {
        int fd = open(pidfile, O_RDONLY);
        long who = fd < 0 ? -1 : extlocker(fd, 0, 0);
        if (fd >= 0)
            close(fd);
        return who == holder && content() == std::to_string(holder) + "\n";
    };
    ASSERT_TRUE(testsupport::wait_until(locked, 10s));

    EXPECT_EQ(exists_pid(), 0);
    EXPECT_EQ(save_pid(), -2);
    EXPECT_EQ(content(), std::to_string(holder) + "\n");
    EXPECT_EQ(kill_process(pidfile, SIGTERM), 0);
    int st = 0;
    EXPECT_EQ(waitpid(holder, &st, 0), holder);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM) << st;
    close(p[1]);
}

TEST_F(PidFile, RecordLocks)
{
    set("1\n");
    int fd = open(pidfile, O_RDWR);
    ASSERT_GE(fd, 0);

    auto other_can_lock = [&](long start, long len) {
        Child probe([&] {
            int pfd = open(pidfile, O_RDWR);
            struct flock fl = {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_start = start;
            fl.l_len = len;
            return fcntl(pfd, F_SETLK, &fl) == 0 ? 1 : 0;
        });
        int r = probe.result();
        probe.finish();
        return r == 1;
    };

    ASSERT_EQ(extblock(fd, 2, 5, 1), 0);
    EXPECT_FALSE(other_can_lock(2, 1));
    EXPECT_FALSE(other_can_lock(5, 1)) << "the last byte is included";
    EXPECT_TRUE(other_can_lock(6, 1));
    EXPECT_TRUE(other_can_lock(1, 1));
    EXPECT_EQ(extunlock(fd, 2, 5), 0);
    EXPECT_TRUE(other_can_lock(2, 4));

    // No read locks exist: readwrite 0 takes nothing.
    EXPECT_EQ(extblock(fd, 0, 0, 0), -1);
    EXPECT_TRUE(other_can_lock(0, 1));

    // Inverted or negative ranges are refused instead of meaning "to the end".
    errno = 0;
    EXPECT_EQ(extblock(fd, 5, 4, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(extblock(fd, -1, 0, 1), -1);
    EXPECT_EQ(extunlock(fd, 5, 4), -1);
    EXPECT_TRUE(other_can_lock(0, 100));

    EXPECT_EQ(extblock(-1, 0, 0, 1), -1);
    EXPECT_EQ(extunlock(-1, 0, 0), -1);
    close(fd);
}

TEST_F(PidFile, LockTraceLines)
{
    std::string trc = dir_ / "t.trc";
    tcfile = fopen(trc.c_str(), "w");
    ASSERT_NE(tcfile, nullptr);

    tc_lock = 2;
    EXPECT_EQ(save_pid(), 0);
    fflush(tcfile);
    EXPECT_EQ(testsupport::read_file(trc), "") << "below level 3";

    tc_lock = 3;
    unlink(pidfile);
    int next_fd = dup(0);
    close(next_fd);
    EXPECT_EQ(save_pid(), 0);
    fflush(tcfile);
    std::string fid = std::to_string(next_fd);
    // The lock is taken without waiting and kept.
    EXPECT_EQ(testsupport::read_file(trc),
              "exttrylock: fid " + fid + " start 00000000 stop 00000000\n");

    fclose(tcfile);
    tcfile = nullptr;
    tc_lock = 0;
}

} // namespace
