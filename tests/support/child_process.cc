#include "tests/support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_env.h"
#include "tests/support/wait.h"

extern char** environ;

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, int stdinFd,
                         const std::string& errPath, const std::string& outPath) {
    int out[2] = {-1, -1};
    if (outPath.empty() && pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdinFd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, stdinFd, 0);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    if (outPath.empty()) {
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    }
    if (!errPath.empty()) {
        posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (out[1] >= 0) close(out[1]);
    fd_ = out[0];
    EXPECT_GT(pid_, 0) << "cannot start " << argv[0];
    return pid_ > 0;
}

bool ChildProcess::ReadLines(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
    while (fd_ >= 0 && (n == 0 || Lines().size() < n)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
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

std::vector<std::string> ChildProcess::Lines() const {
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = out_.find('\n', at)) != std::string::npos; at = nl + 1) {
        lines.push_back(out_.substr(at, nl - at));
    }
    return lines;
}

void ChildProcess::Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

bool ChildProcess::Running() {
    int st = 0;
    if (pid_ <= 0 || waitpid(pid_, &st, WNOHANG) == 0) return pid_ > 0;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    pid_ = -1;
    return false;
}

int ChildProcess::Wait() {
    if (ReadLines() && WaitUntil([&] { return !Running(); })) return status_;
    if (pid_ > 0) {
        Kill();
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ADD_FAILURE() << "watchdog: a child process did not end in time";
    return -1;
}

RunResult RunToEnd(const std::vector<std::string>& argv) {
    static int serial = 0;
    // Beside the device root, in the case's own folder.
    const char* root = getenv("VANTLO_ROOT");
    const std::string err = std::string(root ? root : "/tmp") + "/../run-" +
                            std::to_string(getpid()) + "-" + std::to_string(serial++) + ".err";
    ChildProcess child(argv, -1, err);
    RunResult r;
    r.exitCode = child.Wait();
    r.out = child.Out();
    r.err = ReadHostFile(err);
    unlink(err.c_str());
    return r;
}
