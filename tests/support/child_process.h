// Programs started by tests: stdin from a descriptor (or /dev/null), stdout on a pipe read
// under the watchdog (or into a file), stderr into a file (or ours); a child still running
// at the end is killed and reaped.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
  public:
    ChildProcess() = default;
    explicit ChildProcess(const std::vector<std::string>& argv, int stdinFd = -1,
                          const std::string& errPath = "", const std::string& outPath = "") {
        Start(argv, stdinFd, errPath, outPath);
    }
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path): stdinFd -1 reads /dev/null, errPath "" keeps our stderr,
    // outPath "" puts stdout on the pipe; false (with a test failure) when it cannot start.
    bool Start(const std::vector<std::string>& argv, int stdinFd = -1,
               const std::string& errPath = "", const std::string& outPath = "");
    // Reads stdout until it holds n complete lines (0: until it ends); false when the
    // watchdog ran out first.
    bool ReadLines(size_t n = 0);
    // The complete lines read so far, without their '\n'.
    std::vector<std::string> Lines() const;
    const std::string& Out() const { return out_; }  // everything read so far
    void Signal(int sig);
    void Kill() { Signal(SIGKILL); }
    // Whether the child still runs; one that ended is reaped.
    bool Running();
    // Reads stdout to its end and reaps the child: its exit code, 128 + the signal that ended
    // it, or -1 (with a test failure) when the watchdog ran out and it was killed.
    int Wait();

  private:
    pid_t pid_ = -1;   // running child, -1 once reaped
    int status_ = -1;  // its exit code (or 128 + signal) once reaped
    int fd_ = -1;      // read end of its stdout pipe, -1 when none or it ended
    std::string out_;  // what it wrote to the pipe so far
};

// What a program run to its end gave.
struct RunResult {
    int exitCode = -1;  // as ChildProcess::Wait gives it
    std::string out;    // its stdout
    std::string err;    // its stderr
};
// Runs argv (argv[0] a path) to its end under the watchdog.
RunResult RunToEnd(const std::vector<std::string>& argv);
