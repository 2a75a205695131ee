// The peer process of the tests of windows across processes: started with its stdout on a
// pipe, read line by line under a watchdog, and killed at the end whatever happened.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/window.h"
#include "tests/support/test_env.h"

extern char** environ;

class PeerProcess {
  public:
    // Long enough that a wait which should end never reaches it; it only guards against a hang.
    static constexpr int kWatchdogMs = 20000;

    // Starts vantlo-ipc-peer with args; env entries "NAME=value" replace or extend ours.
    explicit PeerProcess(const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}) {
        std::string program = BinPath("vantlo-ipc-peer");
        std::vector<std::string> argStore{program};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            bool replaced = false;
            for (auto& mine : env) {
                replaced = replaced || entry.substr(0, entry.find('=') + 1) ==
                                           mine.substr(0, mine.find('=') + 1);
            }
            if (!replaced) envStore.push_back(entry);
        }
        envStore.insert(envStore.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        fd_ = out[0];
    }
    ~PeerProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line that starts with prefix, skipping the lines before it; "" when none
    // came within ms or the peer closed its output.
    std::string Expect(const std::string& prefix, int ms = kWatchdogMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            while (cursor_ < lines_.size()) {
                const std::string& line = lines_[cursor_++];
                if (line.compare(0, prefix.size(), prefix) == 0) return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return "";
        }
    }
    // Every line read so far.
    const std::vector<std::string>& Lines() const { return lines_; }

    // The window a "window" peer created, once it says it is ready; null otherwise.
    HWND WaitReady() {
        std::string line = Expect("ready ");
        if (line.empty()) return nullptr;
        return reinterpret_cast<HWND>(
            static_cast<uintptr_t>(strtoull(line.c_str() + 6, nullptr, 16)));
    }

    void Signal(int sig) {
        if (pid_ > 0 && !reaped_) kill(pid_, sig);
    }
    // Waits for the process to end: its wait status, or -1 when it did not end within ms.
    int Wait(int ms = kWatchdogMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (pid_ > 0 && !reaped_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = status;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            ReadSome(20);  // keeps its output flowing meanwhile
        }
        return reaped_ ? status_ : -1;
    }

  private:
    // Reads what the peer wrote within ms; false at its end of output or on time-out.
    bool ReadSome(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (fd_ < 0 || poll(&p, 1, ms) <= 0) return false;
        char buf[65536];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) return false;
        partial_.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string partial_;             // a line not yet complete
    std::vector<std::string> lines_;  // complete lines, in order
    size_t cursor_ = 0;               // lines before it were looked at by Expect
};
