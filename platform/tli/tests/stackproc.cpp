#include "stackproc.h"

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace stacktest {

StackProc::StackProc(const std::vector<std::string> &extra)
{
    // Everyone may use the devices, as in /dev.
    chmod(dir_.path().c_str(), 0755);
    std::vector<std::string> argv{testsupport::build_path("platform/stack/ipxstackd"), "-f",
                                  "--dev-dir", dir_.path()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto proc = std::make_unique<testsupport::Proc>();
    ok_ = testsupport::start_ready(*proc, argv, {}, std::chrono::seconds(10), error_);
    if (proc->pid() > 0)
        proc_ = std::move(proc);
    if (!ok_)
        return;
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
