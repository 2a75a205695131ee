// The status-query load. N client processes ask the resident process (the real `vantlo`) for
// the upload status of files among 10,000 history entries, as fast as they can for a fixed
// time: each sends CD_GET_UPLOAD_STATUS with its reply window and waits for the
// WM_UPL_UPLOAD_STATUS answer that comes back during its send. Measured: answered queries a
// second and the 99th-percentile latency. The baseline, in the same run and with the same
// clients, is a bare echo over the same transport: a window of another process that answers
// each request at once with the same reply, sent the same way. A query is lost when its send
// fails or its answer does not come or is not 4 (done).
//
// Usage: vantlo-bench-status [--clients N] [--seconds S]   (defaults: 4 clients, 3 s)
// The device root goes to a fresh folder under $VANTLO_BENCH_DIR (default: the memory file
// system when there is one), removed at the end. The last line is
// "ratio status-query <system p99 / echo p99>".
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_image.h"
#include "platform/devpath.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "store/upload_db.h"

extern char** environ;

namespace {

constexpr int kHistoryEntries = 10000;
constexpr int kWarmUpQueries = 200;  // per client, not measured
constexpr ULONG_PTR CD_GET_UPLOAD_STATUS = 2065;
constexpr UINT WM_UPL_UPLOAD_STATUS = WM_USER + 1042;
constexpr DWORD kStatusDone = 4;
constexpr UINT kSendTimeoutMs = 10000;
constexpr WCHAR kVantloClass[] = u"VANTLO";
constexpr WCHAR kEchoClass[] = u"VantloBenchEcho";
constexpr WCHAR kReplyClass[] = u"VantloBenchReply";

using Clock = std::chrono::steady_clock;

void Die(const std::string& what) {
    fprintf(stdout, "bench_status: %s\n", what.c_str());
    fflush(stdout);
    exit(1);
}

// The device path of history file i.
WString FilePath(int i) {
    return u"\\Media\\bench\\f" + FromUtf8(std::to_string(i)) + u".jpg";
}

// ---- The echo server (a process of its own) -------------------------------------------------

LRESULT EchoProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
        auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (cds && cds->dwData == CD_GET_UPLOAD_STATUS && wParam) {
            DWORD_PTR result = 0;
            SendMessageTimeoutW(reinterpret_cast<HWND>(wParam), WM_UPL_UPLOAD_STATUS, 0,
                                kStatusDone, SMTO_NORMAL, 2000, &result);
        }
        return 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int RunEcho() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = EchoProc;
    wc.lpszClassName = kEchoClass;
    RegisterClassW(&wc);
    HWND hwnd =
        CreateWindowExW(0, kEchoClass, u"Echo", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (!hwnd) return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

// ---- A client (a process of its own) ---------------------------------------------------------

DWORD g_answer = 0;       // the last WM_UPL_UPLOAD_STATUS lParam
bool g_answered = false;  // it came since the last query was sent

LRESULT ReplyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_UPL_UPLOAD_STATUS) {
        g_answer = static_cast<DWORD>(lParam);
        g_answered = true;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// One query; its latency in microseconds, or -1 when it was lost.
long Query(HWND target, HWND reply, const std::vector<BYTE>& path) {
    COPYDATASTRUCT cds{CD_GET_UPLOAD_STATUS, static_cast<DWORD>(path.size()),
                       const_cast<BYTE*>(path.data())};
    g_answered = false;
    const Clock::time_point start = Clock::now();
    DWORD_PTR result = 0;
    const LRESULT sent =
        SendMessageTimeoutW(target, WM_COPYDATA, reinterpret_cast<WPARAM>(reply),
                            reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL, kSendTimeoutMs, &result);
    const Clock::time_point end = Clock::now();
    if (!sent || !g_answered || g_answer != kStatusDone) return -1;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
}

// Prints "answered <n> lost <m>" and then one latency (µs) a line.
int RunClient(const std::string& targetClass, double seconds, int seed) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ReplyProc;
    wc.lpszClassName = kReplyClass;
    RegisterClassW(&wc);
    HWND reply =
        CreateWindowExW(0, kReplyClass, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    const WString cls = FromUtf8(targetClass);
    HWND target = FindWindowW(cls.c_str(), nullptr);
    if (!reply || !target) return 1;

    std::vector<std::vector<BYTE>> paths;
    for (int i = 0; i < kHistoryEntries; i++) {
        const WString p = FilePath(i);
        std::vector<BYTE> block((p.size() + 1) * sizeof(WCHAR), 0);
        std::memcpy(block.data(), p.data(), p.size() * sizeof(WCHAR));
        paths.push_back(std::move(block));
    }
    std::mt19937 rng(static_cast<unsigned>(seed));
    std::uniform_int_distribution<int> pick(0, kHistoryEntries - 1);
    for (int i = 0; i < kWarmUpQueries; i++) Query(target, reply, paths[pick(rng)]);

    std::vector<long> latencies;
    long lost = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(seconds));
    while (Clock::now() < deadline) {
        const long us = Query(target, reply, paths[pick(rng)]);
        if (us < 0) {
            lost++;
        } else {
            latencies.push_back(us);
        }
    }
    std::string out =
        "answered " + std::to_string(latencies.size()) + " lost " + std::to_string(lost) + "\n";
    for (long us : latencies) out += std::to_string(us) + "\n";
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
    return 0;
}

// ---- The driver ------------------------------------------------------------------------------

std::string g_self;  // this program
std::string g_dir;   // this benchmark's folder

pid_t Spawn(const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> all = args;
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) Die("cannot start " + args[0]);
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void WaitForWindow(LPCWSTR cls) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (!FindWindowW(cls, nullptr)) {
        if (Clock::now() > deadline) Die("no window of class " + ToUtf8(cls));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// What the clients of one side measured together.
struct Load {
    double queriesPerSecond;  // answered queries a second, all clients together
    double p50Ms;             // median latency
    double p99Ms;             // 99th-percentile latency
    long answered;            // queries answered
    long lost;                // queries lost
};

Load RunClients(const std::string& targetClass, int clients, double seconds) {
    std::vector<pid_t> pids;
    for (int c = 0; c < clients; c++) {
        pids.push_back(
            Spawn({g_self, "--client", targetClass, std::to_string(seconds), std::to_string(c + 1)},
                  g_dir + "/client-" + std::to_string(c) + ".out"));
    }
    std::vector<long> all;
    long lost = 0;
    for (int c = 0; c < clients; c++) {
        if (WaitExit(pids[c]) != 0) Die("a client failed against " + targetClass);
        std::ifstream in(g_dir + "/client-" + std::to_string(c) + ".out");
        std::string word;
        long answered = 0, clientLost = 0;
        in >> word >> answered >> word >> clientLost;
        lost += clientLost;
        long us;
        while (in >> us) all.push_back(us);
        if (static_cast<long>(all.size()) < answered) Die("a client's report is short");
    }
    if (all.empty()) Die("no query was answered by " + targetClass);
    std::sort(all.begin(), all.end());
    const auto at = [&](double q) {
        return static_cast<double>(
                   all[static_cast<size_t>(q * static_cast<double>(all.size() - 1))]) /
               1000.0;
    };
    return Load{static_cast<double>(all.size()) / seconds, at(0.5), at(0.99),
                static_cast<long>(all.size()), lost};
}

void Print(const char* side, const Load& l) {
    printf("%-6s: %8.0f queries/s, p50 %.3f ms, p99 %.3f ms, answered %ld, lost %ld\n", side,
           l.queriesPerSecond, l.p50Ms, l.p99Ms, l.answered, l.lost);
    fflush(stdout);
}

// The device root's history: one small file per entry, each recorded as uploaded.
void FillHistory() {
    const Clock::time_point start = Clock::now();
    if (!PrepareDeviceImage()) Die("the device image is incomplete");
    for (int i = 0; i < kHistoryEntries; i++) {
        const std::string host = HostPath(FilePath(i).c_str());
        if (i == 0) EnsureParentFolder(host);
        std::ofstream(host, std::ios::binary) << "photo " << i;
    }
    CUploadDb history;
    if (!history.InitHistory()) Die("cannot open the upload history");
    for (int i = 0; i < kHistoryEntries; i++) {
        UploadHistoryKey key{};
        if (!FormUploadHistoryKey(FilePath(i).c_str(), &key) || !history.AddHistory(&key)) {
            Die("cannot record history entry " + std::to_string(i));
        }
    }
    history.Close();
    printf("history: %d entries in %.1f s\n", kHistoryEntries,
           std::chrono::duration<double>(Clock::now() - start).count());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--echo") return RunEcho();
    if (argc >= 5 && std::string(argv[1]) == "--client") {
        return RunClient(argv[2], atof(argv[3]), atoi(argv[4]));
    }
    int clients = 4;
    double seconds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--clients") {
            clients = std::max(1, atoi(argv[i + 1]));
        } else if (flag == "--seconds") {
            seconds = std::max(0.5, atof(argv[i + 1]));
        } else {
            Die("usage: vantlo-bench-status [--clients N] [--seconds S]");
        }
    }

    std::error_code ec;
    g_self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) Die("cannot find this program");
    const std::string vantlo = std::filesystem::path(g_self).parent_path() / "vantlo";
    const char* dir = getenv("VANTLO_BENCH_DIR");
    const std::filesystem::path parent = dir && *dir ? std::filesystem::path(dir)
                                         : std::filesystem::is_directory("/dev/shm")
                                             ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path();
    g_dir = (parent / ("vantlo-bench-status-" + std::to_string(std::random_device{}()))).string();
    std::filesystem::create_directories(g_dir + "/root");
    std::filesystem::create_directories(g_dir + "/run");
    std::filesystem::permissions(g_dir + "/run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    setenv("VANTLO_ROOT", (g_dir + "/root").c_str(), 1);
    setenv("VANTLO_RUNTIME_DIR", (g_dir + "/run").c_str(), 1);
    unsetenv("VANTLO_TRACE_FILE");
    if (!getenv("VANTLO_BENCH_TRACE")) {
        if (!freopen("/dev/null", "w", stderr)) Die("cannot silence the trace");
    }

    printf("status-query load: %d client processes, %.1f s a side, %d history entries\n", clients,
           seconds, kHistoryEntries);
    FillHistory();

    // The baseline: the bare echo.
    const pid_t echo = Spawn({g_self, "--echo"}, g_dir + "/echo.out");
    WaitForWindow(kEchoClass);
    const Load base = RunClients(ToUtf8(kEchoClass), clients, seconds);
    kill(echo, SIGTERM);
    WaitExit(echo);
    Print("echo", base);

    // The system: the resident process with its history.
    const pid_t system = Spawn({vantlo}, g_dir + "/vantlo.out");
    WaitForWindow(kVantloClass);
    const Load sys = RunClients(ToUtf8(kVantloClass), clients, seconds);
    kill(system, SIGTERM);
    if (WaitExit(system) != 0) Die("vantlo did not shut down cleanly");
    Print("system", sys);

    std::filesystem::remove_all(g_dir, ec);
    if (sys.lost || base.lost) {
        printf("lost queries: system %ld, echo %ld (target: none)\n", sys.lost, base.lost);
    }
    printf("ratio status-query %.2f\n", sys.p99Ms / base.p99Ms);
    fflush(stdout);
    return sys.lost || base.lost ? 1 : 0;
}
