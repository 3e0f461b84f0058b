// Shared by the tests of what gets installed: running a command to its end.
#ifndef DRAX_PRODUCT_TEST_H
#define DRAX_PRODUCT_TEST_H

#include "testproc.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace product {

using namespace std::chrono_literals;

struct Result {
    int status = -1;  // exit status; -1 when it did not end in time or died by a signal
    std::string out, err;
    std::string text() const { return "status " + std::to_string(status) + "\n" + out + err; }
};

// A program named without a directory is looked up in PATH.
inline std::string which(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t colon = dirs.find(':', at);
        if (colon == std::string::npos)
            colon = dirs.size();
        std::string candidate = dirs.substr(at, colon - at) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = colon + 1;
    }
    return name;
}

inline Result run(std::vector<std::string> argv,
                  const std::vector<std::pair<std::string, std::string>> &env = {},
                  std::chrono::milliseconds limit = 120s)
{
    testsupport::Proc::Options o;
    o.env = env;
    argv[0] = which(argv[0]);
    testsupport::Proc p(argv, o);
    int st = p.wait_exit(limit);
    Result r;
    r.status = st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = p.out();
    r.err = p.err();
    return r;
}

inline Result sh(const std::string &script,
                 const std::vector<std::pair<std::string, std::string>> &env = {},
                 std::chrono::milliseconds limit = 120s)
{
    return run({"/bin/sh", "-c", script}, env, limit);
}

inline std::string source_path(const std::string &relative)
{
    const char *s = std::getenv("DRAX_SOURCE_DIR");
    return std::string(s ? s : ".") + "/" + relative;
}

inline std::string build_dir()
{
    const char *b = std::getenv("DRAX_BUILD_DIR");
    return b ? b : ".";
}

// The calls that <tiuser.h> declares, in its order.
inline std::vector<std::string> tli_calls()
{
    std::ifstream in(source_path("platform/tli/include/tiuser.h"));
    std::vector<std::string> calls;
    std::regex decl(R"(^[a-z].*[ *](t_[a-z]+)\()");
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, decl))
            calls.push_back(m[1]);
    return calls;
}

} // namespace product

#endif
