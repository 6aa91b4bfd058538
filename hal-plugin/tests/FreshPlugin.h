// Test support: a private copy of the plug-in's shared object, so that each load starts with the
// process-wide globals the plug-in has right after loading (a new path is a new load).
#ifndef CORVESSA_HAL_TESTS_FRESH_PLUGIN_H
#define CORVESSA_HAL_TESTS_FRESH_PLUGIN_H

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace corvessa::testing {

/// Copies `original` into a new temporary directory and removes the copy when destroyed.
class FreshPluginCopy {
  public:
    explicit FreshPluginCopy(const std::filesystem::path& original) {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvessa-hal-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        directory_ = pattern;
        path_ = directory_ / original.filename();
        std::filesystem::copy_file(original, path_);
    }
    ~FreshPluginCopy() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    FreshPluginCopy(const FreshPluginCopy&) = delete;
    FreshPluginCopy& operator=(const FreshPluginCopy&) = delete;

    /// Path of the private copy.
    const std::filesystem::path& path() const noexcept { return path_; }
    /// The directory holding it (for bundle files written beside it).
    const std::filesystem::path& directory() const noexcept { return directory_; }

  private:
    std::filesystem::path directory_;
    std::filesystem::path path_;
};

}  // namespace corvessa::testing

#endif
