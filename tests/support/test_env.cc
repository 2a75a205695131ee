#include "tests/support/test_env.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

void DeviceTest::SetUp() {
    std::string base = ::testing::TempDir();
    if (base.empty() || base.back() != '/') base += '/';
    std::string tmpl = base + "vantlo-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl + "/root";
    runtime_ = tmpl + "/run";
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(runtime_);
    chmod(runtime_.c_str(), 0700);
    setenv("VANTLO_ROOT", root_.c_str(), 1);
    setenv("VANTLO_RUNTIME_DIR", runtime_.c_str(), 1);
    unsetenv("VANTLO_TRACE_FILE");
    setenv("VANTLO_DISPLAY", "headless", 0);  // no window pops up unless asked for
}

void DeviceTest::TearDown() {
    if (root_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(root_).parent_path(), ec);
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

bool HostFileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string BinPath(const std::string& program) {
    return std::string(VANTLO_BIN_DIR) + "/" + program;
}
