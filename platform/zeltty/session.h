// The login session on a pseudo-terminal: allocation, the command's start
// as a new session, its utmp/wtmp records, and the processes it holds.
#ifndef ZELTTY_SESSION_H
#define ZELTTY_SESSION_H

#include "fd.h"
#include "proto.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace zeltty {

struct Pty {
    Fd master;   // non-blocking, close-on-exec
    Fd slave;    // close-on-exec; not the caller's controlling terminal
    std::string path;  // "/dev/pts/N"
};

// Opens a pty pair and sets its window size (before anything runs on it).
bool open_pty(Pty &pty, const zelproto::WindowSize &ws, std::string &error);

// Where the login records go (the system's files unless a test says
// otherwise; an empty name turns that record off).
struct UtmpFiles {
    std::string utmp;
    std::string wtmp;
};

// "pts/N" for "/dev/pts/N".
std::string tty_line(const std::string &path);
// The four-character utmp id of a line ("ts/3" for "pts/3"), as login uses.
std::string tty_id(const std::string &line);

// The record a session starts with, written by the command's process just
// before it executes the command: a LOGIN_PROCESS entry that login(1) turns
// into the user's entry, or for any other command a USER_PROCESS entry of
// the super-user (also appended to wtmp). `host` is the caller's address.
void utmp_begin(const UtmpFiles &files, pid_t pid, const std::string &line, bool login,
                const std::string &host);
// The DEAD_PROCESS entry when the session ends (utmp and wtmp).
void utmp_end(const UtmpFiles &files, pid_t pid, const std::string &line);

// True when argv[0] names login(1).
bool is_login(const std::vector<std::string> &command);

// Starts `command` as a new session whose controlling terminal is the pty's
// slave, on descriptors 0, 1 and 2, with TERM set to `term` and nothing else
// open. ZELTTY_CLIENT names the caller (`client`, when known). Returns the
// child's pid, or -1 with `error` set.
pid_t start_session(Pty &pty, const std::vector<std::string> &command, const std::string &term,
                    const std::string &client, const UtmpFiles &files, std::string &error);

// Processes whose session id is `sid` (from /proc); ended ones that are not
// yet collected only when `zombies`.
std::vector<pid_t> session_members(pid_t sid, bool zombies = false);
// Sends `sig` to every member of session `sid`; returns how many there were.
int signal_session(pid_t sid, int sig);
// The hang-up of a session: SIGHUP to every member, then SIGCONT so that
// stopped ones see it. Those that ignore it (nohup) go on running.
int hang_up_session(pid_t sid);

// Closes every descriptor from 3 up.
void close_from(int first);

} // namespace zeltty

#endif
