#include "state.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ombrad {

namespace {

constexpr const char *kHeader = "Ombrad services 1";

// `digits` hexadecimal digits, either case, and nothing else.
bool hex_field(const std::string &s, size_t digits, uint64_t &v)
{
    if (s.size() != digits)
        return false;
    v = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (d < 0)
            return false;
        v = v << 4 | unsigned(d);
    }
    return true;
}

// "-" (not seen) or a decimal number of 32 bits, signed.
bool uid_field(const std::string &s, std::optional<int32_t> &uid)
{
    if (s == "-") {
        uid.reset();
        return true;
    }
    size_t i = s.size() > 1 && s[0] == '-' ? 1 : 0;
    if (s.size() - i == 0 || s.size() - i > 10)
        return false;
    long long v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    if (s[0] == '-')
        v = -v;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    uid = int32_t(v);
    return true;
}

// The next field of `line` up to a space, moving `pos` past the space.
bool field(const std::string &line, size_t &pos, std::string &out)
{
    size_t sp = line.find(' ', pos);
    if (sp == std::string::npos)
        return false;
    out = line.substr(pos, sp - pos);
    pos = sp + 1;
    return true;
}

bool decode_line(const std::string &line, SavedService &s, std::string &why)
{
    size_t pos = 0;
    std::string type, socket, node, uid, owner;
    uint64_t t = 0, so = 0, no = 0, ow = 0;
    if (!field(line, pos, type) || !field(line, pos, socket) || !field(line, pos, node) ||
        !field(line, pos, uid) || !field(line, pos, owner) || !hex_field(type, 4, t) ||
        !hex_field(socket, 4, so) || !hex_field(node, 12, no) || !uid_field(uid, s.uid) ||
        !hex_field(owner, 4, ow)) {
        why = "malformed";
        return false;
    }
    // Only a privileged socket registers a service.
    if (ow == 0 || ow >= sap::kFirstUnprivilegedSocket) {
        why = "unusable owner";
        return false;
    }
    s.owner_socket = uint16_t(ow);
    s.entry = {};
    s.entry.type = uint16_t(t);
    s.entry.addr.socket = uint16_t(so);
    for (int i = 5; i >= 0; --i, no >>= 8)
        s.entry.addr.node[size_t(i)] = uint8_t(no);
    s.entry.name = line.substr(pos);
    if (!sap::valid_name(s.entry.name)) {
        why = "unusable name";
        return false;
    }
    if (t == 0 || t == sap::kAllTypes || so == 0 || s.entry.addr.node == sap::Node{} ||
        s.entry.addr.node == sap::kBroadcastNode) {
        why = "unusable service";
        return false;
    }
    return true;
}

} // namespace

std::string encode_state(const std::vector<SavedService> &services)
{
    std::string text = std::string(kHeader) + "\n";
    for (const SavedService &s : services) {
        const sap::Address &a = s.entry.addr;
        char b[64];
        std::snprintf(b, sizeof b, "%04x %04x %02x%02x%02x%02x%02x%02x ", unsigned(s.entry.type),
                      unsigned(a.socket), a.node[0], a.node[1], a.node[2], a.node[3], a.node[4],
                      a.node[5]);
        text += b;
        text += s.uid ? std::to_string(*s.uid) : "-";
        std::snprintf(b, sizeof b, " %04x ", unsigned(s.owner_socket));
        text += b + s.entry.name + "\n";
    }
    return text;
}

bool decode_state(const std::string &text, size_t max, std::vector<SavedService> &out,
                  std::string &why)
{
    if (text.empty() || text.back() != '\n') {
        why = "cut short";
        return false;
    }
    std::vector<SavedService> got;
    size_t pos = 0;
    for (size_t line_no = 1; pos < text.size(); ++line_no) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (line_no == 1) {
            if (line != kHeader) {
                why = "not a service list";
                return false;
            }
            continue;
        }
        SavedService s;
        if (!decode_line(line, s, why)) {
            why = "line " + std::to_string(line_no) + ": " + why;
            return false;
        }
        if (got.size() >= max) {
            why = "more than " + std::to_string(max) + " services";
            return false;
        }
        got.push_back(std::move(s));
    }
    out = std::move(got);
    return true;
}

bool load_state(const std::string &path, size_t max, std::vector<SavedService> &out,
                std::string &why)
{
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        why = std::strerror(errno);
        return false;
    }
    struct stat st;
    std::string text;
    bool ok = false;
    if (fstat(fd, &st) < 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    else if (st.st_uid != geteuid())
        why = "owned by user " + std::to_string(st.st_uid);
    else if (st.st_mode & (S_IWGRP | S_IWOTH))
        why = "writable by others";
    else if (st.st_size > off_t(kMaxStateSize))
        why = "larger than " + std::to_string(kMaxStateSize) + " bytes";
    else
        ok = true;
    // Read to the end (at most one byte past the limit, in case it grew).
    char buf[4096];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (text.size() + size_t(n) > kMaxStateSize) {
            why = "larger than " + std::to_string(kMaxStateSize) + " bytes";
            ok = false;
        } else {
            text.append(buf, size_t(n));
        }
    }
    close(fd);
    return ok && decode_state(text, max, out, why);
}

bool save_state(const std::string &path, const std::vector<SavedService> &services,
                std::string &error)
{
    std::string text = encode_state(services);
    std::string fresh = path + ".new";
    auto fail = [&](const std::string &what) {
        error = what + ": " + std::strerror(errno);
        return false;
    };
    // A file left by an interrupted save is replaced, never written through.
    if (unlink(fresh.c_str()) < 0 && errno == ENOENT) {
        size_t slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0)
            mkdir(path.substr(0, slash).c_str(), 0755);  // fails harmlessly when it exists
    }
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(fresh);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            unlink(fresh.c_str());
            errno = e;
            return fail(fresh);
        }
        done += size_t(n);
    }
    bool synced = fsync(fd) == 0;
    int e = errno;
    if (close(fd) < 0 && synced) {
        synced = false;
        e = errno;
    }
    if (!synced) {
        unlink(fresh.c_str());
        errno = e;
        return fail(fresh);
    }
    if (rename(fresh.c_str(), path.c_str()) < 0) {
        e = errno;
        unlink(fresh.c_str());
        errno = e;
        return fail(path);
    }
    return true;
}

} // namespace ombrad
