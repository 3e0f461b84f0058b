// A stand-in for Zeltty in the end-to-end tests. It writes a report,
// "zeltty.<pid>", into its working directory: its arguments, the TLI state
// of descriptor 0, its open descriptors and its user id; then it greets the client over
// the connection and waits for the client to go away.
#include <dirent.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <tiuser.h>

#include <string>

int main(int argc, char **argv)
{
    std::string r;
    for (int i = 0; i < argc; i++)
        r += std::string("arg ") + argv[i] + "\n";

    int state = t_sync(0);
    r += "state " + std::to_string(state) + (state < 0 ? " t_errno " + std::to_string(t_errno) : "") + "\n";

    r += "fds";
    if (DIR *d = opendir("/proc/self/fd")) {
        while (struct dirent *e = readdir(d)) {
            if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d))
                r += std::string(" ") + e->d_name;
        }
        closedir(d);
    }
    r += "\n";
    r += "uid " + std::to_string(getuid()) + "\n";

    std::string name = "zeltty." + std::to_string(getpid());
    if (FILE *f = fopen((name + ".tmp").c_str(), "w")) {
        fputs(r.c_str(), f);
        fclose(f);
        rename((name + ".tmp").c_str(), name.c_str());
    }

    char hello[] = "hello from Zeltty\n";
    if (state == T_DATAXFER)
        t_snd(0, hello, sizeof hello - 1, 0);

    // Until the client disconnects (or 20 seconds pass).
    struct pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, 20000) > 0) {
        char buf[64];
        int flags = 0;
        t_rcv(0, buf, sizeof buf, &flags);
    }
    return 0;
}
