// vantlo-client: a client application of the resident process, for every request of its
// window protocol. It finds the window of class "VANTLO", sends the request and, for the
// status queries, prints the answer its own reply window receives. The screen commands
// (screenshot, tap, press, move, release, key, type) go to the screen service instead.
//
// Options: --timeout MS (default 10000) bounds the wait for the request and for its answer.
// Exit codes: 0 done, 2 bad usage, 3 no running Vantlo instance (or it went away during the
// request), 4 no answer in time, 5 the screen service refused the request (its error printed).
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/screen.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "platform/trace.h"
#include "platform/window.h"
#include "platform/wstr.h"

namespace {

// ---- The protocol, as a client sees it ---------------------------------------------------

constexpr WCHAR kMainClass[] = u"VANTLO";
constexpr WCHAR kReplyClass[] = u"VantloClientReplyWnd";

constexpr ULONG_PTR CD_PREPARE_YOUTUBE = 2025;
constexpr ULONG_PTR CD_START_VIDEO = 2026;
constexpr ULONG_PTR CD_VIDEO_ITEMS = 2027;
constexpr ULONG_PTR CD_CLEAR_VIDEO_LIST = 2035;
constexpr ULONG_PTR CD_SHOW_VIDEO_LIST = 2036;
constexpr ULONG_PTR CD_ADD_VIDEO = 2037;
constexpr ULONG_PTR CD_PREPARE_FACEBOOK = 2045;
constexpr ULONG_PTR CD_START_PHOTO = 2046;
constexpr ULONG_PTR CD_PHOTO_ITEMS = 2047;
constexpr ULONG_PTR CD_CLEAR_PHOTO_LIST = 2055;
constexpr ULONG_PTR CD_SHOW_PHOTO_LIST = 2056;
constexpr ULONG_PTR CD_ADD_PHOTO = 2057;
constexpr ULONG_PTR CD_GET_UPLOAD_STATUS = 2065;
constexpr ULONG_PTR CD_GET_UPLOAD_STATUS_MULTI = 2069;
constexpr ULONG_PTR CD_UPLOAD_STATUS_MULTI = 2070;

constexpr UINT WM_UPL_YT_LOGIN = WM_USER + 429;
constexpr UINT WM_UPL_UPLOAD_STATUS = WM_USER + 1042;
constexpr UINT WM_UPL_GET_TASK_STATUS = WM_USER + 1043;
constexpr UINT WM_UPL_TASK_STATUS = WM_USER + 1044;
constexpr UINT MSG_LOGIN_YOUTUBE = WM_USER + 1061;
constexpr UINT MSG_LOGIN_FACEBOOK = WM_USER + 1062;
constexpr UINT WM_CLEAR_ALL_TASKS = WM_USER + 1071;
constexpr UINT WM_CLEAR_FACEBOOK_TASKS = WM_USER + 1072;
constexpr UINT WM_CLEAR_YOUTUBE_TASKS = WM_USER + 1073;
constexpr UINT MSG_SHOWSTATUS = WM_USER + 1081;
constexpr UINT WM_UPL_REGISTER = WM_USER + 1091;
constexpr UINT WM_UPL_DEREGISTER = WM_USER + 1092;

constexpr size_t kSlotBytes = 520;  // one path slot: MAX_PATH UTF-16 characters
constexpr size_t kMaxPathChars = MAX_PATH - 1;

// One file's status as it travels (little-endian, 524 bytes).
struct StatusRecord {
    WCHAR path[MAX_PATH];  // NUL-terminated, zero-filled after
    DWORD status;          // 0 none, 1 failed, 2 uploading, 3 waiting, 4 done
};
static_assert(sizeof(StatusRecord) == 524);

UINT g_timeoutMs = 10000;  // for the request and for its reply; --timeout MS

enum ExitCode { kOk = 0, kUsage = 2, kNoInstance = 3, kNoAnswer = 4, kRefused = 5 };

// ---- The reply window --------------------------------------------------------------------

// One answer the reply window received.
struct Reply {
    UINT msg;                           // WM_UPL_UPLOAD_STATUS, WM_UPL_TASK_STATUS or WM_COPYDATA
    WPARAM wParam;                      // as sent
    LPARAM lParam;                      // the status for the two plain replies
    std::vector<StatusRecord> records;  // CD_UPLOAD_STATUS_MULTI: the records
    bool malformed;                     // a kind-2070 block that is not whole records
};

std::vector<Reply> g_replies;  // in arrival order; the reply window's thread only

LRESULT ReplyWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_UPL_UPLOAD_STATUS:
        case WM_UPL_TASK_STATUS:
            g_replies.push_back(Reply{msg, wParam, lParam, {}, false});
            return 1;
        case WM_COPYDATA: {
            auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (!cds || cds->dwData != CD_UPLOAD_STATUS_MULTI) return 0;
            Reply r{msg, wParam, 0, {}, cds->cbData % sizeof(StatusRecord) != 0};
            const size_t n = cds->lpData ? cds->cbData / sizeof(StatusRecord) : 0;
            r.records.resize(n);
            if (n) std::memcpy(r.records.data(), cds->lpData, n * sizeof(StatusRecord));
            for (StatusRecord& rec : r.records) rec.path[MAX_PATH - 1] = 0;
            g_replies.push_back(std::move(r));
            return 1;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

HWND CreateReplyWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ReplyWndProc;
    wc.lpszClassName = kReplyClass;
    RegisterClassW(&wc);
    HWND hwnd =
        CreateWindowExW(0, kReplyClass, u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    if (!hwnd) fprintf(stderr, "vantlo-client: cannot create the reply window\n");
    return hwnd;
}

// Answers what arrives until a reply is there or timeoutMs passes; true when one is there.
bool WaitForReply(UINT timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (!g_replies.empty()) return true;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

void PrintReply(const Reply& r) {
    if (r.msg == WM_COPYDATA) {
        for (const StatusRecord& rec : r.records) {
            printf("%u\t%s\n", static_cast<unsigned>(rec.status), ToUtf8(rec.path).c_str());
        }
        if (r.malformed) fprintf(stderr, "vantlo-client: the answer ends with a partial record\n");
    } else {
        printf("%lld\n", static_cast<long long>(r.lParam));
    }
    fflush(stdout);
}

// ---- Requests ----------------------------------------------------------------------------

// Sends and waits for it to be handled; the exit code that the outcome means.
int Send(HWND target, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(target, msg, wParam, lParam, SMTO_NORMAL, g_timeoutMs, &result)) {
        return kOk;
    }
    if (GetLastError() == ERROR_TIMEOUT) {
        fprintf(stderr, "vantlo-client: Vantlo did not answer in time\n");
        return kNoAnswer;
    }
    fprintf(stderr, "vantlo-client: no running Vantlo instance (it went away)\n");
    return kNoInstance;
}

int SendCopyData(HWND target, ULONG_PTR kind, WPARAM wParam, const std::vector<BYTE>& data) {
    COPYDATASTRUCT cds{};
    cds.dwData = kind;
    cds.cbData = static_cast<DWORD>(data.size());
    cds.lpData = data.empty() ? nullptr : const_cast<BYTE*>(data.data());
    return Send(target, WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&cds));
}

// A path as given, made absolute when it is relative (device paths start with '\').
WString AbsolutePath(const std::string& arg) {
    if (arg.empty() || arg[0] == '/' || arg[0] == '\\') return FromUtf8(arg);
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(arg, ec);
    return FromUtf8(ec ? arg : p.lexically_normal().string());
}

void PutPath(BYTE* at, const WString& path) {
    const size_t chars = path.size() < kMaxPathChars ? path.size() : kMaxPathChars;
    std::memcpy(at, path.data(), chars * sizeof(WCHAR));
}

std::vector<BYTE> PathSlots(const std::vector<std::string>& args) {
    std::vector<BYTE> block(args.size() * kSlotBytes, 0);
    for (size_t i = 0; i < args.size(); i++)
        PutPath(block.data() + i * kSlotBytes, AbsolutePath(args[i]));
    return block;
}

std::vector<BYTE> SinglePath(const std::string& arg) {
    const WString path = AbsolutePath(arg);
    std::vector<BYTE> block((path.size() + 1) * sizeof(WCHAR), 0);
    std::memcpy(block.data(), path.data(), path.size() * sizeof(WCHAR));
    return block;
}

std::vector<BYTE> StatusRecords(const std::vector<std::string>& args) {
    std::vector<StatusRecord> records(args.size());
    for (size_t i = 0; i < args.size(); i++) {
        std::memset(&records[i], 0, sizeof records[i]);
        PutPath(reinterpret_cast<BYTE*>(records[i].path), AbsolutePath(args[i]));
    }
    std::vector<BYTE> block(records.size() * sizeof(StatusRecord));
    if (!block.empty()) std::memcpy(block.data(), records.data(), block.size());
    return block;
}

// A number in decimal, 0x-hex or negative decimal; false when arg is none of these.
bool ParseNumber(const std::string& arg, long long* out) {
    if (arg.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(arg.c_str(), &end, 0);
    if (errno != 0 || *end != 0) {
        errno = 0;
        unsigned long long u = std::strtoull(arg.c_str(), &end, 0);
        if (errno != 0 || *end != 0 || arg[0] == '-') return false;
        v = static_cast<long long>(u);
    }
    *out = v;
    return true;
}

bool ParseHex(const std::string& text, std::vector<BYTE>* out) {
    std::string digits;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = digits.substr(i, 2);
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != 0) return false;
        out->push_back(static_cast<BYTE>(v));
    }
    return true;
}

bool ReadFileBytes(const std::string& path, std::vector<BYTE>* out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

int Usage() {
    fprintf(stderr,
            "usage: vantlo-client [--timeout MS] COMMAND [ARGS]\n"
            "  upload-videos PATH...          upload-photos PATH...\n"
            "  video-list clear|add PATH|show photo-list clear|add PATH|show\n"
            "  prepare youtube|facebook       start video|photo\n"
            "  status PATH                    status-multi PATH...\n"
            "  task-status                    show-status\n"
            "  register                       deregister\n"
            "  yt-login                       login youtube|facebook\n"
            "  clear youtube|facebook|all     close\n"
            "  post MSG [WPARAM [LPARAM]]\n"
            "  copydata KIND [WPARAM] (--hex HEX | --file FILE)\n"
            "  screenshot FILE.png            tap|press|move|release X Y\n"
            "  key softleft|softright|up|down|left|right|enter|back\n"
            "  type TEXT...\n"
            "WPARAM 'self' passes the client's reply window; its answer is printed.\n");
    return kUsage;
}

// What one run does; the arguments after the command.
class Client {
  public:
    explicit Client(std::vector<std::string> args) : args_(std::move(args)) {}

    int Run(const std::string& command);

  private:
    // Finds the resident process's main window; false (reported) when none runs.
    bool Find() {
        if (!main_) main_ = FindWindowW(kMainClass, nullptr);
        if (!main_) fprintf(stderr, "vantlo-client: no running Vantlo instance\n");
        return main_ != nullptr;
    }
    int Send(UINT msg, WPARAM wParam, LPARAM lParam) {
        return Find() ? ::Send(main_, msg, wParam, lParam) : kNoInstance;
    }
    int SendCopyData(ULONG_PTR kind, WPARAM wParam, const std::vector<BYTE>& data) {
        return Find() ? ::SendCopyData(main_, kind, wParam, data) : kNoInstance;
    }
    bool Args(size_t min, size_t max) const { return args_.size() >= min && args_.size() <= max; }
    // Creates the reply window on first use; null when it cannot be had.
    HWND ReplyWnd() {
        if (!reply_) reply_ = CreateReplyWindow();
        return reply_;
    }
    // Sends, then waits for the reply and prints it.
    int Query(UINT msg, ULONG_PTR kind, const std::vector<BYTE>& data);
    // Reads a WPARAM argument ("self" is the reply window).
    bool ParseWParam(const std::string& arg, WPARAM* out);
    int Post();
    int CopyData();
    int Close();
    int Screen(const std::string& command);  // the screen service's commands

    HWND main_ = nullptr;            // the resident process's main window, once found
    std::vector<std::string> args_;  // arguments after the command
    HWND reply_ = nullptr;           // the reply window, once created
    bool wantsReply_ = false;        // a WPARAM "self" was given
};

int Client::Query(UINT msg, ULONG_PTR kind, const std::vector<BYTE>& data) {
    if (!Find()) return kNoInstance;
    HWND reply = ReplyWnd();
    if (!reply) return kNoAnswer;
    const WPARAM self = reinterpret_cast<WPARAM>(reply);
    const int rc = msg == WM_COPYDATA ? SendCopyData(kind, self, data) : Send(msg, self, 0);
    if (rc != kOk) return rc;
    if (!WaitForReply(g_timeoutMs)) {
        fprintf(stderr, "vantlo-client: no answer from Vantlo in time\n");
        return kNoAnswer;
    }
    PrintReply(g_replies.front());
    return kOk;
}

bool Client::ParseWParam(const std::string& arg, WPARAM* out) {
    if (arg == "self") {
        HWND reply = ReplyWnd();
        if (!reply) return false;
        wantsReply_ = true;
        *out = reinterpret_cast<WPARAM>(reply);
        return true;
    }
    long long v = 0;
    if (!ParseNumber(arg, &v)) return false;
    *out = static_cast<WPARAM>(v);
    return true;
}

int Client::Post() {
    if (!Args(1, 3)) return Usage();
    long long msg = 0;
    long long lParam = 0;
    WPARAM wParam = 0;
    if (!ParseNumber(args_[0], &msg) || (args_.size() > 1 && !ParseWParam(args_[1], &wParam)) ||
        (args_.size() > 2 && !ParseNumber(args_[2], &lParam))) {
        return Usage();
    }
    if (!Find()) return kNoInstance;
    if (!PostMessageW(main_, static_cast<UINT>(msg), wParam, static_cast<LPARAM>(lParam))) {
        fprintf(stderr, "vantlo-client: no running Vantlo instance (the post failed, error %u)\n",
                static_cast<unsigned>(GetLastError()));
        return kNoInstance;
    }
    if (!wantsReply_) return kOk;
    if (!WaitForReply(g_timeoutMs)) {
        fprintf(stderr, "vantlo-client: no answer from Vantlo in time\n");
        return kNoAnswer;
    }
    PrintReply(g_replies.front());
    return kOk;
}

int Client::CopyData() {
    // KIND [WPARAM] (--hex HEX | --file FILE)
    if (!Args(3, 4)) return Usage();
    long long kind = 0;
    WPARAM wParam = 0;
    if (!ParseNumber(args_[0], &kind)) return Usage();
    size_t at = 1;
    if (args_.size() == 4 && !ParseWParam(args_[at++], &wParam)) return Usage();
    std::vector<BYTE> data;
    const std::string& how = args_[at];
    const std::string& what = args_[at + 1];
    if (how == "--hex") {
        if (!ParseHex(what, &data)) {
            fprintf(stderr, "vantlo-client: --hex wants pairs of hex digits\n");
            return kUsage;
        }
    } else if (how == "--file") {
        if (!ReadFileBytes(what, &data)) {
            fprintf(stderr, "vantlo-client: cannot read %s\n", what.c_str());
            return kUsage;
        }
    } else {
        return Usage();
    }
    const int rc = SendCopyData(static_cast<ULONG_PTR>(kind), wParam, data);
    if (rc != kOk || !wantsReply_) return rc;
    if (!WaitForReply(g_timeoutMs)) {
        fprintf(stderr, "vantlo-client: no answer from Vantlo in time\n");
        return kNoAnswer;
    }
    PrintReply(g_replies.front());
    return kOk;
}

int Client::Close() {
    if (!Find()) return kNoInstance;
    if (!PostMessageW(main_, WM_CLOSE, 0, 0)) {
        fprintf(stderr, "vantlo-client: no running Vantlo instance\n");
        return kNoInstance;
    }
    // Done once the window has gone.
    const DWORD start = GetTickCount();
    while (IsWindow(main_)) {
        if (GetTickCount() - start >= g_timeoutMs) {
            fprintf(stderr, "vantlo-client: Vantlo did not close in time\n");
            return kNoAnswer;
        }
        Sleep(20);
    }
    return kOk;
}

// One request to the screen service; its error, if any, printed.
int ScreenRequest(const std::string& request) {
    std::string answer;
    if (!ScreenServiceRequest(request, &answer, g_timeoutMs)) {
        const bool timedOut = GetLastError() == ERROR_TIMEOUT;
        fprintf(stderr, "vantlo-client: %s\n", answer.c_str());
        return timedOut ? kNoAnswer : kNoInstance;
    }
    if (answer != "ok") {
        fprintf(stderr, "vantlo-client: %s\n", answer.c_str());
        return kRefused;
    }
    return kOk;
}

int Client::Screen(const std::string& command) {
    if (command == "screenshot" && Args(1, 1)) {
        std::error_code ec;
        std::filesystem::path p = std::filesystem::absolute(args_[0], ec);
        return ScreenRequest("screenshot " + (ec ? args_[0] : p.lexically_normal().string()));
    }
    if (command == "key" && Args(1, 1)) return ScreenRequest("key " + args_[0]);
    if (command == "type" && !args_.empty()) {
        std::string text;
        for (const std::string& a : args_) text += (text.empty() ? "" : " ") + a;
        if (text.find_first_of("\r\n") != std::string::npos) {
            fprintf(stderr, "vantlo-client: type takes one line of text\n");
            return kUsage;
        }
        return ScreenRequest("type " + text);
    }
    if (command != "screenshot" && command != "key" && command != "type" && Args(2, 2))
        return ScreenRequest(command + " " + args_[0] + " " + args_[1]);
    return Usage();
}

int Client::Run(const std::string& command) {
    if (command == "screenshot" || command == "tap" || command == "press" || command == "move" ||
        command == "release" || command == "key" || command == "type") {
        return Screen(command);
    }
    const std::string sub = args_.empty() ? std::string() : args_[0];
    if (command == "upload-videos" || command == "upload-photos") {
        if (args_.empty()) return Usage();
        return SendCopyData(command == "upload-videos" ? CD_VIDEO_ITEMS : CD_PHOTO_ITEMS,
                            args_.size(), PathSlots(args_));
    }
    if (command == "video-list" || command == "photo-list") {
        const bool video = command == "video-list";
        if (sub == "clear" && Args(1, 1)) {
            return SendCopyData(video ? CD_CLEAR_VIDEO_LIST : CD_CLEAR_PHOTO_LIST, 0, {});
        }
        if (sub == "add" && Args(2, 2)) {
            return SendCopyData(video ? CD_ADD_VIDEO : CD_ADD_PHOTO, 0, SinglePath(args_[1]));
        }
        if (sub == "show" && Args(1, 1)) {
            return SendCopyData(video ? CD_SHOW_VIDEO_LIST : CD_SHOW_PHOTO_LIST, 0, {});
        }
        return Usage();
    }
    if (command == "prepare" && Args(1, 1) && (sub == "youtube" || sub == "facebook")) {
        return SendCopyData(sub == "youtube" ? CD_PREPARE_YOUTUBE : CD_PREPARE_FACEBOOK, 0, {});
    }
    if (command == "start" && Args(1, 1) && (sub == "video" || sub == "photo")) {
        return SendCopyData(sub == "video" ? CD_START_VIDEO : CD_START_PHOTO, 0, {});
    }
    if (command == "status" && Args(1, 1)) {
        return Query(WM_COPYDATA, CD_GET_UPLOAD_STATUS, SinglePath(args_[0]));
    }
    if (command == "status-multi") {
        return Query(WM_COPYDATA, CD_GET_UPLOAD_STATUS_MULTI, StatusRecords(args_));
    }
    if (command == "task-status" && Args(0, 0)) return Query(WM_UPL_GET_TASK_STATUS, 0, {});
    if (command == "show-status" && Args(0, 0)) return Send(MSG_SHOWSTATUS, 0, 0);
    if (command == "register" && Args(0, 0)) return Send(WM_UPL_REGISTER, 0, 0);
    if (command == "deregister" && Args(0, 0)) return Send(WM_UPL_DEREGISTER, 0, 0);
    if (command == "yt-login" && Args(0, 0)) return Send(WM_UPL_YT_LOGIN, 0, 0);
    if (command == "login" && Args(1, 1) && (sub == "youtube" || sub == "facebook")) {
        return Send(sub == "youtube" ? MSG_LOGIN_YOUTUBE : MSG_LOGIN_FACEBOOK, 0, 0);
    }
    if (command == "clear" && Args(1, 1)) {
        if (sub == "youtube") return Send(WM_CLEAR_YOUTUBE_TASKS, 0, 0);
        if (sub == "facebook") return Send(WM_CLEAR_FACEBOOK_TASKS, 0, 0);
        if (sub == "all") return Send(WM_CLEAR_ALL_TASKS, 0, 0);
        return Usage();
    }
    if (command == "close" && Args(0, 0)) return Close();
    if (command == "post") return Post();
    if (command == "copydata") return CopyData();
    return Usage();
}

}  // namespace

int main(int argc, char** argv) {
    int at = 1;
    if (at + 1 < argc && std::string(argv[at]) == "--timeout") {
        long long ms = 0;
        if (!ParseNumber(argv[at + 1], &ms) || ms <= 0 || ms > 3600000) return Usage();
        g_timeoutMs = static_cast<UINT>(ms);
        at += 2;
    }
    if (at >= argc) return Usage();
    const std::string command = argv[at];
    if (command == "-h" || command == "--help") return Usage();
    Client client(std::vector<std::string>(argv + at + 1, argv + argc));
    return client.Run(command);
}
