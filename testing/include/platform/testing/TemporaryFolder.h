// A private folder for one test or fixture, removed with everything in it.
#ifndef CORVESSA_PLATFORM_TESTING_TEMPORARY_FOLDER_H
#define CORVESSA_PLATFORM_TESTING_TEMPORARY_FOLDER_H

#include <filesystem>
#include <string>

namespace corvessa::testing {

/// Creates a fresh folder "<temp>/<prefix>-XXXXXX" (mode 0700, unique even across processes)
/// and removes it and its contents when destroyed. Aborts the program if no folder can be made,
/// since no test can run without one.
class TemporaryFolder {
  public:
    explicit TemporaryFolder(const std::string& prefix = "corvessa-test");
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    /// The folder's absolute path.
    const std::filesystem::path& path() const { return path_; }
    /// `name` inside the folder.
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

}  // namespace corvessa::testing

#endif  // CORVESSA_PLATFORM_TESTING_TEMPORARY_FOLDER_H
