// The trace option scanner, as a program reads its command line: the input
// is the words of the command line (separated by NUL bytes) and the choice
// of the program's own option string. The scan ends; a trace file is
// opened only when a trace level was given, at most once, in the current
// directory (a private one; "/" in the words is replaced so that no name
// leads elsewhere); tc_reset puts everything back.
#include "fuzzinput.h"
#include "trace.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string workdir;

void remove_workdir()
{
    rmdir(workdir.c_str());
}

void init_once()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz-trace-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0)
        std::abort();
    char *real = realpath(dir.c_str(), nullptr);
    workdir = real != nullptr ? real : dir;
    std::free(real);
    std::atexit(remove_workdir);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    init_once();
    if (size == 0)
        return 0;
    static const std::string long97(97, 'a'), long98(98, 'b');
    const char *const optstrings[] = {"kid:n:h:s:", "", "ab:c::", long97.c_str(), "kz",
                                      long98.c_str(), "k-:", "+x"};
    const char *opts = optstrings[data[0] % 8];

    std::vector<std::string> words{"Zelptyd"};
    std::string cur;
    for (size_t i = 1; i < size && words.size() < 24; i++) {
        char c = static_cast<char>(data[i]);
        if (c == '\0') {
            words.push_back(cur);
            cur.clear();
        } else {
            cur += c == '/' ? '_' : c;
        }
    }
    if (!cur.empty() && words.size() < 24)
        words.push_back(cur);
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    bool level_given = false;
    for (const auto &w : words)
        for (const char *k : {"in=", "out=", "proc=", "lock="})
            level_given = level_given || w.find(k) != std::string::npos;

    // Each option character is returned once at most.
    size_t chars = 0;
    for (const auto &w : words)
        chars += w.size();
    int c;
    size_t n = 0;
    while ((c = tc_getopt(argc, argv.data(), opts)) != -1) {
        FUZZ_CHECK(c != 'z');
        FUZZ_CHECK(++n <= chars);
    }
    FUZZ_CHECK(optind >= 0 && optind <= argc);
    FILE *first = tcfile;
    // Asked again (after a "--" getopt goes on with the words after it):
    // never a second stream while one is open.
    n = 0;
    while ((c = tc_getopt(argc, argv.data(), opts)) != -1)
        FUZZ_CHECK(++n <= chars);
    FILE *file = tcfile;
    if (first != nullptr)
        FUZZ_CHECK(file == first);
    if (file != nullptr)
        FUZZ_CHECK(level_given);
    FUZZ_CHECK(tc_printf("%s", "x") == (file != nullptr ? 1 : 0));

    std::string path;
    if (file != nullptr) {
        char link[64], target[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(file));
        ssize_t len = readlink(link, target, sizeof target - 1);
        FUZZ_CHECK(len > 0);
        path.assign(target, static_cast<size_t>(len));
        FUZZ_CHECK(path.compare(0, workdir.size() + 1, workdir + "/") == 0);
        FUZZ_CHECK(path.find('/', workdir.size() + 1) == std::string::npos);
    }
    tc_reset();
    FUZZ_CHECK(tcfile == nullptr);
    int index = 0, level = 0;
    const char *name = nullptr;
    while (tc_enumdim(&index, &name, &level))
        FUZZ_CHECK(level == 0);
    FUZZ_CHECK(index == 4);
    if (!path.empty())
        unlink(path.c_str());
    return 0;
}
