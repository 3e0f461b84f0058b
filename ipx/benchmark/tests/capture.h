// Captures what the code under test writes on standard output and standard
// error (descriptors 1 and 2) into temporary files for the life of the
// object.
#ifndef DUNMERE_TEST_CAPTURE_H
#define DUNMERE_TEST_CAPTURE_H

#include <cstdio>
#include <string>
#include <unistd.h>

class Capture {
public:
    Capture()
    {
        fflush(stdout);
        fflush(stderr);
        for (int i = 0; i < 2; ++i) {
            files_[i] = tmpfile();
            saved_[i] = dup(i + 1);
            dup2(fileno(files_[i]), i + 1);
        }
    }
    ~Capture() { restore(); }

    // Everything written so far; ends the capture.
    std::string out() { restore(); return text_[0]; }
    std::string err() { restore(); return text_[1]; }

private:
    void restore()
    {
        if (done_)
            return;
        done_ = true;
        fflush(stdout);
        fflush(stderr);
        for (int i = 0; i < 2; ++i) {
            dup2(saved_[i], i + 1);
            close(saved_[i]);
            rewind(files_[i]);
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, files_[i])) > 0)
                text_[i].append(buf, n);
            fclose(files_[i]);
        }
    }

    FILE *files_[2] = {};
    int saved_[2] = {-1, -1};
    std::string text_[2];
    bool done_ = false;
};

#endif
