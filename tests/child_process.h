// A helper program started by a test: stdin from a descriptor (or /dev/null), stdout on a
// pipe read under a watchdog, stderr into a file; killed and reaped at the end if it is
// still running.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

class ChildProcess {
  public:
    // Long enough that a child which should end never reaches it; it only guards against a hang.
    static constexpr auto kWatchdog = std::chrono::seconds(120);

    // Starts argv[0] (a path); stdinFd -1 reads /dev/null, errPath "" keeps our stderr.
    explicit ChildProcess(const std::vector<std::string>& argv, int stdinFd = -1,
                          const std::string& errPath = "") {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (stdinFd >= 0) {
            posix_spawn_file_actions_adddup2(&fa, stdinFd, 0);
        } else {
            posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        if (!errPath.empty()) {
            posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        fd_ = out[0];
        EXPECT_GT(pid_, 0) << "cannot start " << argv[0];
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads until the output holds n complete lines (0: until it ends); false when the
    // watchdog ran out first.
    bool ReadLines(size_t n = 0) {
        const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
        while (fd_ >= 0 && (n == 0 || Lines().size() < n)) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0) return false;
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[4096];
            ssize_t got = read(fd_, buf, sizeof buf);
            if (got <= 0) {
                close(fd_);
                fd_ = -1;
            } else {
                out_.append(buf, static_cast<size_t>(got));
            }
        }
        return true;
    }
    // The complete lines read so far, without their '\n'.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (size_t at = 0, nl; (nl = out_.find('\n', at)) != std::string::npos; at = nl + 1) {
            lines.push_back(out_.substr(at, nl - at));
        }
        return lines;
    }
    const std::string& Out() const { return out_; }  // everything read so far
    void Kill() {
        if (pid_ > 0) kill(pid_, SIGKILL);
    }
    // Whether the child has ended (and is reaped), without waiting.
    bool Ended() {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
        return pid_ <= 0;
    }
    // Reads the output to its end and reaps the child: its exit code, 128 + the signal that
    // ended it, or -1 (with a test failure) when the watchdog ran out and it was killed.
    int Wait() {
        bool ended = ReadLines();
        if (pid_ > 0) {
            if (!ended) kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        if (!ended) {
            ADD_FAILURE() << "watchdog: a child process did not end in time";
            return -1;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
    }

  private:
    pid_t pid_ = -1;   // running child, -1 once reaped
    int status_ = -1;  // its wait status once reaped
    int fd_ = -1;      // read end of its stdout, -1 once it ended
    std::string out_;  // what it wrote so far
};
