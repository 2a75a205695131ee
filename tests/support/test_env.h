// Test fixture giving every case its own device root and runtime folder, so that ctest
// can run cases in parallel and nothing leaks between them; the case's trace file; host files.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <type_traits>
#include <vector>

#include "tests/support/wait.h"

using ::testing::HasSubstr;

// Writes bytes to a host file (creating folders); fails the test when it cannot.
void WriteHostFile(const std::string& path, const std::string& bytes);
std::string ReadHostFile(const std::string& path);
bool HostFileExists(const std::string& path);
// The lines of text, without their '\n'.
std::vector<std::string> SplitLines(const std::string& text);
// Path of a program built into build/bin.
std::string BinPath(const std::string& program);

// The error a failed call left; ERROR_SUCCESS when it returned TRUE, non-zero, a record or a
// handle.
template <typename T>
DWORD Err(T result) {
    if constexpr (std::is_pointer_v<T>) {
        if (result && result != INVALID_HANDLE_VALUE) return ERROR_SUCCESS;
    } else if (result) {
        return ERROR_SUCCESS;
    }
    return GetLastError();
}

// The trace file of a case: what this process and the programs it starts traced, as text or
// as message lines without their "[Orbel] [<tick>] " prefix.
class TraceFile {
  public:
    // Points VANTLO_TRACE_FILE of this process and of its children at path.
    void Use(const std::string& path) {
        path_ = path;
        setenv("VANTLO_TRACE_FILE", path.c_str(), 1);
    }
    std::string Text() const { return ReadHostFile(path_); }
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    // How often text occurs in the file.
    size_t Count(const std::string& text) const {
        const std::string all = Text();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    }
    // The message texts of the lines, in order.
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        for (const std::string& line : SplitLines(Text())) {
            size_t at = line.rfind("[Orbel] [", 0) == 0 ? line.find("] ", 9) : std::string::npos;
            out.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return out;
    }
    // The lines that start with prefix, in order.
    std::vector<std::string> Starting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& line : Lines()) {
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        }
        return out;
    }
    // How many lines are exactly line.
    size_t CountLines(const std::string& line) const {
        size_t n = 0;
        for (const std::string& l : Lines()) n += l == line ? 1 : 0;
        return n;
    }
    // Index of the first line holding fragment, or -1.
    long IndexOf(const std::string& fragment) const {
        const std::vector<std::string> lines = Lines();
        for (size_t i = 0; i < lines.size(); i++) {
            if (lines[i].find(fragment) != std::string::npos) return static_cast<long>(i);
        }
        return -1;
    }
    // Waits until a line holds fragment; false when it never came.
    bool WaitForLine(const std::string& fragment) const {
        return WaitUntil([&] { return IndexOf(fragment) >= 0; });
    }

  private:
    std::string path_;  // the file
};

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Sends the trace of this process, and of the programs it starts, to trace_.
    void UseTraceFile() { trace_.Use(base_ + "/trace.log"); }

    std::string base_;     // the case's own folder, holding the two below and the case's files
    std::string root_;     // VANTLO_ROOT of this case
    std::string runtime_;  // VANTLO_RUNTIME_DIR of this case
    TraceFile trace_;      // this case's trace, once UseTraceFile ran
};

// A DeviceTest whose trace goes to trace_ from the start.
class TracedTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
    }
};
