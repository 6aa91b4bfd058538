// Scripts/install-hal-plugin.sh for a user whose home and XDG folders are a temporary folder,
// against a private sound server, with the daemon as a background process: installing publishes
// the source, installing again leaves one daemon (on the new files), uninstalling takes the
// source and every installed file away and leaves the user's other files alone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/Eventually.h"
#include "platform/testing/PrivatePulseServer.h"

namespace {

namespace fs = std::filesystem;
using platform::testing::PrivatePulseServer;
using platform::testing::runProgram;
using namespace std::chrono_literals;

using corvessa::testing::eventually;

/// Processes whose executable is `program` (also once it was replaced on disk).
int processesRunning(const fs::path& program) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        const std::string exe = fs::read_symlink(entry.path() / "exe", error).string();
        if (!error && (exe == program.string() || exe == program.string() + " (deleted)")) {
            ++count;
        }
    }
    return count;
}

/// Every regular file and FIFO below `folder`, relative to it.
std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_directory()) {
            files.push_back(fs::relative(entry.path(), folder).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(InstallScript, InstallTwiceThenUninstallForAUserOfAPrivateServer) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    const fs::path home = fs::path(server->folder()) / "home";
    fs::create_directories(home / ".local" / "bin");
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all);
    std::ofstream(home / ".local" / "bin" / "users-own-tool") << "#!/bin/sh\n";
    const std::vector<std::string> env{"HOME=" + home.string(),
                                       "XDG_CONFIG_HOME=" + (home / ".config").string(),
                                       "XDG_DATA_HOME=" + (home / ".local/share").string(),
                                       "XDG_STATE_HOME=" + (home / ".local/state").string(),
                                       "XDG_RUNTIME_DIR=" + (home / "run").string(),
                                       "PULSE_SERVER=" + server->address(),
                                       "CORVESSA_INSTALL_SERVICE=process"};
    const std::vector<std::string> install{"bash", INSTALL_SCRIPT, "--build-dir", BUILD_DIR};
    const fs::path daemon = home / ".local" / "bin" / "corvessa-audio-server";
    const auto published = [&] {
        return server->pactl({"list", "sources", "short"})
                   .output.find("com.halvern.corvessa.mic.device") != std::string::npos;
    };

    ASSERT_EQ(runProgram(install, env).exitStatus, 0);
    EXPECT_TRUE(fs::exists(home / ".local/lib/corvessa/AmberlinHALPlugin/libAmberlinHALPlugin.so"));
    EXPECT_TRUE(fs::exists(home / ".local/lib/corvessa/AmberlinHALPlugin/Info.plist"));
    EXPECT_TRUE(eventually(published));
    EXPECT_EQ(processesRunning(daemon), 1);

    ASSERT_EQ(runProgram(install, env).exitStatus, 0);
    EXPECT_TRUE(eventually(published));
    EXPECT_EQ(processesRunning(daemon), 1);
    const std::string sources = server->pactl({"list", "sources", "short"}).output;
    EXPECT_EQ(sources.find(".mic.device"), sources.rfind(".mic.device"));  // one, not two

    ASSERT_EQ(runProgram({"bash", INSTALL_SCRIPT, "--uninstall"}, env).exitStatus, 0);
    EXPECT_TRUE(eventually([&] { return !published(); }));
    EXPECT_EQ(processesRunning(daemon), 0);
    std::vector<std::string> left = filesBelow(home);
    std::erase(left, ".config/pulse/cookie");  // libpulse's own, made by any client
    EXPECT_EQ(left, std::vector<std::string>{".local/bin/users-own-tool"});
}

}  // namespace
