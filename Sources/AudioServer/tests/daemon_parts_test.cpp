// The daemon's parts on their own: recording streams mapped to IO clients, the pipe-source
// arguments, the command line and the FIFO's write end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DaemonOptions.h"
#include "PipeSourceFifo.h"
#include "RecordingClients.h"
#include "SourceDescription.h"

namespace {

using namespace audioserver::daemon;

/// Records the calls in order; StartIO fails for the ids in `refuse`.
class CallLog final : public ClientIO {
  public:
    OSStatus startIO(UInt32 id) override {
        calls.push_back("start " + std::to_string(id));
        return refuse == id ? kAudioHardwareUnspecifiedError : kAudioHardwareNoError;
    }
    void stopIO(UInt32 id) override { calls.push_back("stop " + std::to_string(id)); }
    void startCycles() override { calls.push_back("cycles on"); }
    void stopCycles() override { calls.push_back("cycles off"); }

    std::vector<std::string> calls;
    UInt32 refuse = 0;
};

TEST(RecordingClients, OneClientPerStreamWithCyclesOnlyWhileAClientIsStarted) {
    CallLog io;
    RecordingClients clients(io);
    clients.update({7});
    clients.update({7, 9});
    clients.update({7, 9});  // nothing new: no calls
    clients.update({9});
    clients.update({});
    EXPECT_EQ(io.calls, (std::vector<std::string>{"start 1", "cycles on", "start 2", "stop 1",
                                                  "cycles off", "stop 2"}));
    EXPECT_EQ(clients.count(), 0u);

    // A stream that comes back after leaving is a new client with a new id.
    io.calls.clear();
    clients.update({7, 11});
    clients.clear();
    EXPECT_EQ(io.calls, (std::vector<std::string>{"start 3", "cycles on", "start 4", "stop 3",
                                                  "cycles off", "stop 4"}));
}

TEST(RecordingClients, RefusedStartIsNotCountedAndIsRetriedAtTheNextUpdate) {
    CallLog io;
    io.refuse = 1;
    RecordingClients clients(io);
    clients.update({5});
    EXPECT_EQ(clients.count(), 0u);
    clients.update({5});
    EXPECT_EQ(clients.count(), 1u);
    EXPECT_EQ(io.calls, (std::vector<std::string>{"start 1", "start 2", "cycles on"}));
}

TEST(PipeSourceArguments, QuoteValuesAndRefuseWhatTheServerCouldNotCarry) {
    const SourceDescription mic{"com.halvern.corvessa.mic.device", "Corvessa Mic", 48'000.0, 1};
    EXPECT_EQ(pipeSourceArguments(mic, "/run/user/1000/corvessa/mic.fifo"),
              "source_name=com.halvern.corvessa.mic.device "
              "file=\"/run/user/1000/corvessa/mic.fifo\" format=float32le rate=48000 "
              "channels=1 source_properties='device.description=\"Corvessa Mic\"'");
    EXPECT_FALSE(pipeSourceArguments({"a b", "Mic", 48'000.0, 1}, "/f"));
    EXPECT_FALSE(pipeSourceArguments({"uid", "Mic\" x=\"y", 48'000.0, 1}, "/f"));
    EXPECT_FALSE(pipeSourceArguments({"uid", "Mic", 48'000.0, 1}, "/it's/f"));
    EXPECT_FALSE(pipeSourceArguments({"uid", "Mic", 44'100.5, 1}, "/f"));
}

TEST(DaemonOptions, ParsesBothValueFormsAndRefusesBadInput) {
    const char* args[] = {"--plugin=/p.so", "--frames-per-cycle", "128", "--server", "unix:/s"};
    const auto options = parseDaemonOptions(args);
    ASSERT_TRUE(options) << options.error();
    EXPECT_EQ(options->pluginPath, "/p.so");
    EXPECT_EQ(options->framesPerCycle, 128u);
    EXPECT_EQ(options->server, "unix:/s");

    for (const char* bad :
         {"--frames-per-cycle=0", "--frames-per-cycle=1025", "--frames-per-cycle=12x", "--bogus"}) {
        const char* one[] = {bad};
        EXPECT_FALSE(parseDaemonOptions(one)) << bad;
    }
    const char* missing[] = {"--runtime-dir"};
    EXPECT_FALSE(parseDaemonOptions(missing));
}

class PipeSourceFifoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("corvessa-fifo-test-" + std::to_string(getpid()));
        std::filesystem::remove_all(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::filesystem::path folder;
};

TEST_F(PipeSourceFifoTest, PrivateFolderAndAWriteEndThatNeverBlocks) {
    PipeSourceFifo fifo(folder);
    ASSERT_TRUE(fifo.prepareFolder());
    EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    EXPECT_FALSE(fifo.open());  // no FIFO yet (the server creates it)

    ASSERT_EQ(mkfifo(fifo.path().c_str(), 0666), 0);
    EXPECT_FALSE(fifo.open());  // no reader: opening would otherwise block
    const int reader = ::open(fifo.path().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(fifo.open());
    struct stat info {};
    ASSERT_EQ(stat(fifo.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Whole cycles only: a reader that stops reading costs dropped cycles, never a block.
    std::vector<float> cycle(240, 0.25f);
    size_t written = 0;
    while (fifo.write(cycle) && written < 100'000) {
        ++written;
    }
    EXPECT_LT(written, 100'000u);
    EXPECT_EQ(fifo.droppedCycles(), 1u);
    std::vector<float> back(240);
    ASSERT_EQ(read(reader, back.data(), back.size() * sizeof(float)),
              static_cast<ssize_t>(back.size() * sizeof(float)));
    EXPECT_EQ(back, cycle);
    ::close(reader);

    fifo.close();
    EXPECT_TRUE(fifo.removeStale());
    EXPECT_FALSE(std::filesystem::exists(fifo.path()));
}

TEST_F(PipeSourceFifoTest, RefusesAFolderThatIsAFileAndLeavesNonFifosAlone) {
    std::filesystem::create_directories(folder);
    PipeSourceFifo inFile(folder / "file");
    std::ofstream(folder / "file") << "x";
    EXPECT_FALSE(inFile.prepareFolder());

    PipeSourceFifo fifo(folder);
    std::ofstream(fifo.path()) << "not a fifo";
    EXPECT_FALSE(fifo.removeStale());
    EXPECT_TRUE(std::filesystem::exists(fifo.path()));
}

}  // namespace
