// SPDX-License-Identifier: Apache-2.0
// Test helper: sends one file descriptor into a temporary file while alive.
#ifndef RK_TESTS_SUPPORT_CAPTURE_H
#define RK_TESTS_SUPPORT_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <string>

namespace rk_test {

// text() returns what reached the descriptor, and gives the descriptor back;
// writes that bypass the C streams land in the file too.
class Capture {
public:
    explicit Capture(int fd) : fd_(fd), file_(std::tmpfile()) {
        std::fflush(nullptr);
        saved_ = dup(fd_);
        dup2(fileno(file_), fd_);
    }
    ~Capture() {
        restore();
        std::fclose(file_);
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }
    int fd_;
    std::FILE *file_;
    int saved_ = -1;
};

}  // namespace rk_test

#endif
