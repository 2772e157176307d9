// A forked child process that talks to its parent through two pipes, for tests of
// locking between processes. The child runs the given function and exits with its
// result; it never returns into the test framework.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace quorvane::testing {

class TChild {
public:
    template <typename F>
    explicit TChild(F child) {
        EXPECT_EQ(::pipe(toParent_), 0);
        EXPECT_EQ(::pipe(toChild_), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toParent_[0]);
            ::close(toChild_[1]);
            int code = 99;
            try {
                code = child(*this);
            } catch (...) {
                code = 98;
            }
            ::_exit(code);
        }
        ::close(toParent_[1]);
        ::close(toChild_[0]);
    }
    ~TChild() {
        if (pid_ > 0 && !waited_) {
            ::close(toChild_[1]);
            Wait();
        }
    }
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;

    // Child side: report to the parent, wait for its word.
    void Tell(char c) const { (void)!::write(toParent_[1], &c, 1); }
    char Await() const {
        char c = 0;
        (void)!::read(toChild_[0], &c, 1);
        return c;
    }
    // Parent side: wait for the child's report, give it a word.
    char Hear() const {
        char c = 0;
        (void)!::read(toParent_[0], &c, 1);
        return c;
    }
    void Say(char c) const { (void)!::write(toChild_[1], &c, 1); }
    pid_t Pid() const { return pid_; }
    // The child's exit code (-1 when it did not exit normally).
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int toParent_[2] = {-1, -1};
    int toChild_[2] = {-1, -1};
    bool waited_ = false;
};

}  // namespace quorvane::testing
