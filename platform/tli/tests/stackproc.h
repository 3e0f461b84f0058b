// A real ipxstackd for tests: started in the foreground on a fresh device
// directory, waited for through --ready-fd, stopped with SIGTERM. The test
// process gets IPX_DEVDIR so that its own t_open calls reach this stack.
#ifndef DRAX_STACKPROC_H
#define DRAX_STACKPROC_H

#include "testproc.h"

#include <memory>
#include <string>
#include <vector>

namespace stacktest {

class StackProc {
public:
    explicit StackProc(const std::vector<std::string> &extra = {});
    ~StackProc();
    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }
    const std::string &dir() const { return dir_.path(); }
    testsupport::Proc &proc() { return *proc_; }
    // `ipxstackd -s` against this stack.
    std::string status();
    // SIGTERM and wait; the wait status (-1 on time-out).
    int stop();

private:
    testsupport::TempDir dir_;
    std::unique_ptr<testsupport::Proc> proc_;
    bool ok_ = false;
    bool stopped_ = false;
    std::string error_;
};

// Number of a status line "NAME: N" (-1 when absent).
long status_count(const std::string &status, const std::string &name);

} // namespace stacktest

#endif
