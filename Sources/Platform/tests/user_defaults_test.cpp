// Tests of the file-backed user-defaults database.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/UserDefaults.h"
#include "platform/testing/TemporaryFolder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// Points the user's configuration root at a private temporary directory for the whole test
// process, before any test can reach the standard database, so the real user's files are never
// touched.
class PrivateConfigEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        folder_ = std::make_unique<corvessa::testing::TemporaryFolder>("user-defaults-test");
        root_ = folder_->path();
        ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    void TearDown() override { folder_.reset(); }
    static const fs::path& root() { return root_; }

  private:
    std::unique_ptr<corvessa::testing::TemporaryFolder> folder_;
    static inline fs::path root_;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new PrivateConfigEnvironment);

// Gives each test its own explicit root inside the private configuration directory.
class UserDefaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = PrivateConfigEnvironment::root() /
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    fs::path root_;
};

}  // namespace

// Values round-trip byte for byte, are replaced and removed, and a missing key has no value.
TEST_F(UserDefaultsTest, StoresReplacesAndRemovesBinaryValues) {
    platform::UserDefaults defaults(root_, "com.example.test");
    EXPECT_FALSE(defaults.data("k").has_value());
    const Bytes binary{0x00, 0xFF, 0x10, 0x00, 0x7B};
    ASSERT_TRUE(defaults.setData("k", binary));
    EXPECT_EQ(defaults.data("k"), binary);
    ASSERT_TRUE(defaults.setData("k", bytesOf("x")));
    EXPECT_EQ(defaults.data("k"), bytesOf("x"));
    ASSERT_TRUE(defaults.setData("empty", Bytes{}));
    EXPECT_EQ(defaults.data("empty"), Bytes{});
    EXPECT_TRUE(defaults.removeObject("k"));
    EXPECT_FALSE(defaults.data("k").has_value());
    EXPECT_TRUE(defaults.removeObject("never-set"));
    EXPECT_FALSE(defaults.setData("", binary));
}

// Keys with path characters stay distinct files inside the domain's directory; domains with the
// same key do not share values; no temporary file is left behind.
TEST_F(UserDefaultsTest, KeysAndDomainsAreIsolated) {
    platform::UserDefaults a(root_, "domain.a");
    platform::UserDefaults b(root_, "../domain.b");
    const std::vector<std::string> keys{"a/b", "../escape", ".hidden", "a%2Fb",
                                        "com.x.settings.v1"};
    // The "b" values are built with append: GCC 12 at -O3 reports a false -Wrestrict inside
    // operator+(const char*, std::string&&).
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(a.setData(keys[i], bytesOf(std::to_string(i))));
        ASSERT_TRUE(b.setData(keys[i], bytesOf(std::string(1, 'b').append(std::to_string(i)))));
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(a.data(keys[i]), bytesOf(std::to_string(i))) << keys[i];
        EXPECT_EQ(b.data(keys[i]), bytesOf(std::string(1, 'b').append(std::to_string(i))))
            << keys[i];
    }
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
        if (entry.is_regular_file()) {
            ++files;
            EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
            EXPECT_EQ(fs::relative(entry.path(), root_).string().find(".."), std::string::npos);
        }
    }
    EXPECT_EQ(files, 2 * keys.size());
    struct stat info {};
    ASSERT_EQ(::stat(a.directory().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// The standard database is one object under the user's configuration root; a suite is always
// another object, even when named like the standard domain.
TEST_F(UserDefaultsTest, StandardDatabaseHasIdentity) {
    const auto& standard = platform::UserDefaults::standard();
    EXPECT_EQ(standard.get(), platform::UserDefaults::standard().get());
    const auto sameName = platform::UserDefaults::suite(platform::UserDefaults::standardDomain);
    ASSERT_NE(sameName, nullptr);
    EXPECT_NE(sameName.get(), standard.get());
    EXPECT_EQ(platform::UserDefaults::suite(""), nullptr);
    EXPECT_EQ(platform::UserDefaults::userRoot(),
              PrivateConfigEnvironment::root() / "corvessa" / "defaults");
    EXPECT_EQ(standard->directory().parent_path(), platform::UserDefaults::userRoot());

    // Both objects name the same domain, so they see the same files.
    ASSERT_TRUE(standard->setData("shared", bytesOf("v")));
    EXPECT_EQ(sameName->data("shared"), bytesOf("v"));
    EXPECT_TRUE(standard->removeObject("shared"));
}

// A reader racing a writer only ever sees one of the complete values written.
TEST_F(UserDefaultsTest, ConcurrentReaderNeverSeesTornValue) {
    platform::UserDefaults defaults(root_, "race");
    const Bytes shortValue = bytesOf("short");
    const Bytes longValue(64 * 1024, 0xAB);
    ASSERT_TRUE(defaults.setData("record", shortValue));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            defaults.setData("record", i % 2 == 0 ? longValue : shortValue);
        }
        done = true;
    });
    int reads = 0;
    int torn = 0;
    while (!done.load()) {
        const auto value = defaults.data("record");
        torn += (value != shortValue && value != longValue) ? 1 : 0;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 0);
}
