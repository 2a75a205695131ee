// The trace on stderr: lines are written by one writer per process, in gathered writes. A
// process that ends normally loses none of them, every thread's lines keep their order, and
// the lines an engine library traces (with its own copy of the platform) fall between the
// program's lines as they were traced.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/device_image.h"
#include "platform/engine_abi.h"
#include "platform/module.h"
#include "platform/trace.h"
#include "tests/support/test_env.h"

namespace {

constexpr int kThreads = 3;
constexpr int kLinesPerThread = 3000;

// The forked child's work; its exit code says how far it got.
int TraceInChild(const std::string& errPath) {
    int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) return 2;
    close(fd);
    Trace("child: before the engine");
    HMODULE lib = LoadLibraryW(VIDEO_ENGINE_LIBRARY);
    auto create =
        lib ? GetProcAddressAs<PFN_CREATE_VIDEO_ENGINE>(lib, VIDEO_ENGINE_CREATE_EXPORT) : nullptr;
    auto release =
        lib ? GetProcAddressAs<PFN_RELEASE_VIDEO_ENGINE>(lib, VIDEO_ENGINE_RELEASE_EXPORT)
            : nullptr;
    VideoEngine* engine = nullptr;
    if (!create || !release || FAILED(create(&engine)) || !engine) return 3;
    VideoUploadParams params{};
    params.path = u"\\Media\\marker.mp4";
    engine->ops->CancelUpload(engine, &params);  // nothing runs: the library says so
    release(&engine);
    Trace("child: after the engine");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; i++) Trace("child: thread %d line %d", t, i);
        });
    }
    for (std::thread& th : threads) th.join();
    return 0;
}

long IndexOf(const std::vector<std::string>& lines, const std::string& fragment) {
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find(fragment) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

TEST_F(DeviceTest, EveryLineReachesStderrByANormalExitInTheOrderItWasTraced) {
    ASSERT_TRUE(PrepareDeviceImage());
    unsetenv("VANTLO_TRACE_FILE");  // the gathered writes are what is tested
    const std::string errPath = base_ + "/child.err";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) exit(TraceInChild(errPath));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const std::vector<std::string> lines = SplitLines(ReadHostFile(errPath));
    const long before = IndexOf(lines, "child: before the engine");
    const long engine = IndexOf(lines, "[Zorvid] cancel of \\Media\\marker.mp4");
    const long after = IndexOf(lines, "child: after the engine");
    ASSERT_GE(before, 0);
    EXPECT_GT(engine, before);
    EXPECT_GT(after, engine);
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        int t = 0, i = 0;
        const size_t at = line.find("child: thread ");
        if (at == std::string::npos) continue;
        ASSERT_EQ(sscanf(line.c_str() + at, "child: thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]) << "out of order: " << line;
        next[t] = i + 1;
        EXPECT_EQ(line.rfind("[Orbel] [", 0), 0u) << "a line was cut: " << line;
    }
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(next[t], kLinesPerThread) << "thread " << t;
}
