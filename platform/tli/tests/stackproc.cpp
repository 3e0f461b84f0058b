#include "stackproc.h"

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stacktest {

StackProc::StackProc(const std::vector<std::string> &extra)
{
    // Everyone may use the devices, as in /dev.
    chmod(dir_.path().c_str(), 0755);
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) {
        error_ = "pipe";
        return;
    }
    std::vector<std::string> argv{testsupport::build_path("platform/stack/ipxstackd"), "-f",
                                  "--dev-dir", dir_.path(), "--ready-fd", std::to_string(p[1])};
    argv.insert(argv.end(), extra.begin(), extra.end());
    testsupport::Proc::Options o;
    o.keep_fds = {p[1]};
    proc_ = std::make_unique<testsupport::Proc>(argv, o);
    close(p[1]);
    std::string got;
    struct pollfd pf {p[0], POLLIN, 0};
    while (got.find('\n') == std::string::npos && poll(&pf, 1, 10000) > 0) {
        char b[16];
        ssize_t n = read(p[0], b, sizeof(b));
        if (n <= 0)
            break;
        got.append(b, static_cast<size_t>(n));
    }
    close(p[0]);
    ok_ = got == "ready\n";
    if (!ok_) {
        proc_->wait_exit(std::chrono::milliseconds(2000));
        error_ = "ipxstackd did not get ready: " + proc_->err();
        return;
    }
    setenv("IPX_DEVDIR", dir_.path().c_str(), 1);
}

StackProc::~StackProc()
{
    stop();
}

int StackProc::stop()
{
    if (stopped_ || !proc_)
        return 0;
    stopped_ = true;
    proc_->signal(SIGTERM);
    return proc_->wait_exit(std::chrono::milliseconds(10000));
}

std::string StackProc::status()
{
    testsupport::Proc p({testsupport::build_path("platform/stack/ipxstackd"), "-s", "--dev-dir",
                         dir_.path()});
    p.wait_exit(std::chrono::milliseconds(10000));
    return p.out();
}

long status_count(const std::string &status, const std::string &name)
{
    std::istringstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + ": ", 0) == 0)
            return std::strtol(line.c_str() + name.size() + 2, nullptr, 10);
    }
    return -1;
}

} // namespace stacktest
