// Test fixture giving every case its own device root and runtime folder, so that ctest
// can run cases in parallel and nothing leaks between them.
#pragma once

#include <gtest/gtest.h>

#include <string>

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string root_;     // VANTLO_ROOT of this case
    std::string runtime_;  // VANTLO_RUNTIME_DIR of this case
};

// Writes bytes to a host file (creating folders); fails the test when it cannot.
void WriteHostFile(const std::string& path, const std::string& bytes);
std::string ReadHostFile(const std::string& path);
bool HostFileExists(const std::string& path);
// Path of a program built into build/bin.
std::string BinPath(const std::string& program);
