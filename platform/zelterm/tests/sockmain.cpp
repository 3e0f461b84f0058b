// zelterm with its SPX endpoint served by a stream socket inherited from
// the test (descriptor ZELTERM_TEST_FD), and a fixed service directory:
// ZELHOST (type 0x247) and FILESRV (type 4). ZELTERM_TEST_REFUSE makes the
// connection be refused (with the disconnect reason it holds);
// ZELTERM_TEST_SILENT leaves the connection request unanswered;
// ZELTERM_TEST_NOSAP makes the directory fail.
// Each t_connect is reported on standard error with its address.
#include "sockhooks.h"
#include "termcore.h"
#include "tlifake.h"
#include "zelterm.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    using tlifake::fail;
    socktli::install();
    const char *fdtext = std::getenv("ZELTERM_TEST_FD");
    int fd = fdtext != nullptr ? std::atoi(fdtext) : -1;
    const char *refuse_text = std::getenv("ZELTERM_TEST_REFUSE");
    int refuse = refuse_text != nullptr ? std::atoi(refuse_text) : 0;
    bool silent = std::getenv("ZELTERM_TEST_SILENT") != nullptr;
    bool nosap = std::getenv("ZELTERM_TEST_NOSAP") != nullptr;

    tlifake::hooks.open = [fd](const char *path, int, t_info *) {
        return std::strcmp(path, "/dev/ravspx") != 0 || fd < 0 ? fail(TSYSERR, ENOENT) : fd;
    };
    tlifake::hooks.connect = [refuse, silent](int, t_call *call, t_call *) {
        if (call->addr.len != 12)
            return fail(TBADADDR);
        std::fprintf(stderr, "test: t_connect %s\n",
                     zelterm::format_address(reinterpret_cast<const uint8_t *>(call->addr.buf)).c_str());
        if (refuse != 0) {
            socktli::set_disconnected(refuse);
            return fail(TLOOK);
        }
        return silent ? fail(TNODATA) : 0;
    };

    zelterm::ServiceEntry host{0x247, "ZELHOST", {0, 0, 0, 1, 0, 0, 0x7f, 0, 0, 1, 0x80, 0x63}, 1};
    zelterm::ServiceEntry files{0x4, "FILESRV", {0, 0, 0, 2, 0, 0, 0, 0, 0, 9, 0x04, 0x51}, 2};
    zelterm::Directory dir;
    dir.list = [&](uint16_t type, std::vector<zelterm::ServiceEntry> &out, std::string &error) {
        if (nosap) {
            error = "no answer from Ombrad";
            return -1;
        }
        if (type != 0xFFFF) {
            error = "unexpected type";
            return -1;
        }
        out = {host, files};
        return 0;
    };
    dir.find = [&](const std::string &name, uint16_t type, zelterm::ServiceEntry &out, std::string &) {
        if (name == host.name && type == host.type) {
            out = host;
            return 0;
        }
        return 1;
    };
    int status = zelterm::run(argc, argv, dir);
    tlifake::reset();
    return status;
}
