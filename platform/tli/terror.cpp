// t_errno, the error texts and t_error: shared by the TLI library and the
// TLI test double, so both print exactly the same words.
#include <tiuser.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" {

int t_errno = 0;

const char *t_errlist[] = {
    "No Error",                                  // 0
    "Incorrect address format",                  // TBADADDR
    "Incorrect options format",                  // TBADOPT
    "Illegal permissions",                       // TACCES
    "Illegal file descriptor",                   // TBADF
    "Couldn't allocate address",                 // TNOADDR
    "Routine will place interface out of state", // TOUTSTATE
    "Illegal called/calling sequence number",    // TBADSEQ
    "System error",                              // TSYSERR
    "An event requires attention",               // TLOOK
    "Illegal amount of data",                    // TBADDATA
    "Buffer not large enough",                   // TBUFOVFLW
    "Can't send message - (blocked)",            // TFLOW
    "No message currently available",            // TNODATA
    "Disconnect message not found",              // TNODIS
    "Unitdata error message not found",          // TNOUDERR
    "Incorrect flags specified",                 // TBADFLAG
    "Orderly release message not found",         // TNOREL
    "Primitive not supported by provider",       // TNOTSUPPORT
    "State is in process of changing",          // TSTATECHNG
};

int t_nerr = 19;

// "msg: " when msg is non-empty, the text of t_errno, for TSYSERR ": " and
// the text of errno, then a newline; one write on descriptor 2.
void t_error(const char *errmsg)
{
    int saved_errno = errno;
    std::string line;
    if (errmsg != nullptr && *errmsg != '\0') {
        line += errmsg;
        line += ": ";
    }
    if (t_errno >= 0 && t_errno <= t_nerr)
        line += t_errlist[t_errno];
    else
        line += "Unknown error";
    if (t_errno == TSYSERR) {
        line += ": ";
        line += std::strerror(saved_errno);
    }
    line += '\n';
    size_t off = 0;
    while (off < line.size()) {
        ssize_t n = ::write(2, line.data() + off, line.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    errno = saved_errno;
}

} // extern "C"
