// A private user data directory and the C locale for a whole test binary, set before the first
// use of the shared date formatter, so titles are deterministic and the real user's files are
// never touched. Include once per test binary.
#ifndef AMBERLIN_TESTS_PRIVATE_DATA_ENVIRONMENT_H
#define AMBERLIN_TESTS_PRIVATE_DATA_ENVIRONMENT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/testing/TemporaryFolder.h"

/// Points XDG_DATA_HOME at a fresh temporary folder (removed afterwards) and LC_ALL at C.
class PrivateDataEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        folder_ = std::make_unique<corvessa::testing::TemporaryFolder>("call-data");
        root_ = folder_->path();
        ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
        ::setenv("LC_ALL", "C", 1);
    }
    void TearDown() override { folder_.reset(); }
    /// The temporary data directory.
    static const std::filesystem::path& root() { return root_; }

  private:
    std::unique_ptr<corvessa::testing::TemporaryFolder> folder_;
    static inline std::filesystem::path root_;
};

[[maybe_unused]] inline const auto* const kPrivateDataEnvironment =
    ::testing::AddGlobalTestEnvironment(new PrivateDataEnvironment);

#endif
