#include "tests/support/test_env.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

void DeviceTest::SetUp() {
    std::string tmp = ::testing::TempDir();
    if (tmp.empty() || tmp.back() != '/') tmp += '/';
    base_ = tmp + "vantlo-test-XXXXXX";
    ASSERT_NE(mkdtemp(base_.data()), nullptr);
    root_ = base_ + "/root";
    runtime_ = base_ + "/run";
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(runtime_);
    chmod(runtime_.c_str(), 0700);
    setenv("VANTLO_ROOT", root_.c_str(), 1);
    setenv("VANTLO_RUNTIME_DIR", runtime_.c_str(), 1);
    unsetenv("VANTLO_TRACE_FILE");
    setenv("VANTLO_DISPLAY", "headless", 0);  // no window pops up unless asked for
}

void DeviceTest::TearDown() {
    if (root_.empty()) return;  // SetUp failed before making anything
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
}

void WriteHostFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(f.good()) << path;
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

std::string ReadHostFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

bool HostFileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string BinPath(const std::string& program) {
    return std::string(VANTLO_BIN_DIR) + "/" + program;
}
