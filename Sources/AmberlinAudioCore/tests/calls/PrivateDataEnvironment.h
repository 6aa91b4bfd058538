// A private user data directory and the C locale for a whole test binary, set before the first
// use of the shared date formatter, so titles are deterministic and the real user's files are
// never touched. Include once per test binary.
#ifndef AMBERLIN_TESTS_PRIVATE_DATA_ENVIRONMENT_H
#define AMBERLIN_TESTS_PRIVATE_DATA_ENVIRONMENT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

/// Points XDG_DATA_HOME at a fresh temporary folder (removed afterwards) and LC_ALL at C.
class PrivateDataEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "call-data-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
        ::setenv("LC_ALL", "C", 1);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    /// The temporary data directory.
    static const std::filesystem::path& root() { return root_; }

  private:
    static inline std::filesystem::path root_;
};

[[maybe_unused]] inline const auto* const kPrivateDataEnvironment =
    ::testing::AddGlobalTestEnvironment(new PrivateDataEnvironment);

#endif
