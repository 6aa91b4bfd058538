// Tests of the call session manager: start gates, far-end capture through a simulated process
// tap or its absence, title and app-name refresh, stopping, deletion and failed starts.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/random.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "AmberlinAudioCore/CallSessionManager.h"
#include "platform/AudioFile.h"
#include "platform/HostClock.h"
#include "platform/SignalSource.h"
#include "platform/SimulatedAudioSystem.h"
#include "platform/testing/Eventually.h"
#include "platform/testing/TemporaryFolder.h"

namespace {

using namespace amberlin;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The next id libuuid hands out, when a test scripts it (see uuid_generate_random below).
std::mutex gUuidMutex;
std::optional<Uuid> gScriptedUuid;

}  // namespace

// Link seam: this definition replaces libuuid's generator in this test binary only, so a test
// can know a session's id before the session exists. Unscripted ids stay random (version 4).
extern "C" void uuid_generate_random(uuid_t out) {
    std::lock_guard lock(gUuidMutex);
    if (gScriptedUuid) {
        std::copy(gScriptedUuid->bytes.begin(), gScriptedUuid->bytes.end(), out);
        gScriptedUuid.reset();
        return;
    }
    while (getrandom(out, 16, 0) != 16) {
    }
    out[6] = static_cast<unsigned char>((out[6] & 0x0F) | 0x40);
    out[8] = static_cast<unsigned char>((out[8] & 0x3F) | 0x80);
}

namespace {

constexpr UInt64 kStartNanos = 1'000'000'000;

using corvessa::testing::eventually;

std::vector<char> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Settings with local recording on and the three switches the tests vary.
AppSettings settings(bool automatic, bool consent, bool captureSystemAudio) {
    AppSettings s;
    s.automaticCallRecordingEnabled = automatic;
    s.recordingConsentAcknowledged = consent;
    s.captureSystemAudioEnabled = captureSystemAudio;
    s.localRecordingEnabled = true;
    return s;
}

// A simulated audio system with process taps and a manual host clock, a call store in a private
// directory (C locale for titles), a recorder, and a manager whose context the test sets.
class CallSessionManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("LC_ALL", "C", 1);
        dir_ = folder_.path();
        store_ = std::make_shared<CallMetadataStore>(CallDataPaths(dir_));
        recorder_ = std::make_shared<CallRecorder>();
        manager_ = std::make_shared<CallSessionManager>(store_, recorder_, [this] {
            std::lock_guard lock(contextMutex_);
            return context_;
        });
    }
    void TearDown() override {
        manager_.reset();
        recorder_.reset();
        store_.reset();
    }

    void setContext(std::optional<CallSessionContext> context) {
        std::lock_guard lock(contextMutex_);
        context_ = std::move(context);
    }
    // The stored record of `id`, read directly from the store.
    std::optional<CallSession> stored(const Uuid& id) {
        for (const CallSession& session : store_->listSessions(true)) {
            if (session.id == id) {
                return session;
            }
        }
        return std::nullopt;
    }
    // Starts a manual session and returns it once active.
    CallSession startManual(bool captureSystemAudio) {
        manager_->startManualSession(settings(false, true, captureSystemAudio));
        const std::optional<CallSession> session = manager_->activeSession();
        EXPECT_TRUE(session.has_value());
        return session.value_or(CallSession{});
    }
    // Stops the active session and waits until the stop has run.
    void stopAndWait() {
        manager_->stopActiveSession();
        EXPECT_EQ(manager_->activeSession(), std::nullopt);
    }
    void recordLocal(int frames) {
        AudioFrame frame;
        frame.samples.fill(0.25f);
        for (int i = 0; i < frames; ++i) {
            manager_->recordLocalFrame(frame);
        }
    }

    std::shared_ptr<platform::SimulatedAudioSystem> system_ =
        platform::SimulatedAudioSystem::create();
    platform::ScopedAudioSystem installed_{system_};
    platform::ManualHostClock clock_{kStartNanos};
    platform::ScopedHostClock clockInstalled_{clock_};
    corvessa::testing::TemporaryFolder folder_{"call-manager"};
    fs::path dir_;
    std::shared_ptr<CallMetadataStore> store_;
    std::shared_ptr<CallRecorder> recorder_;
    std::shared_ptr<CallSessionManager> manager_;
    std::mutex contextMutex_;
    std::optional<CallSessionContext> context_;
};

TEST_F(CallSessionManagerTest, GatesDecideAutomaticStartsAndZeroConsumersStopAnySession) {
    // Without consent two consumers start nothing; a manual start with consent does, a later
    // automatic start keeps that session, and dropping to zero consumers completes it.
    manager_->updateVirtualMicConsumerCount(2, settings(true, false, false));
    EXPECT_EQ(manager_->activeSession(), std::nullopt);
    EXPECT_TRUE(manager_->listSessions().empty());
    manager_->startManualSession(settings(false, false, false));
    EXPECT_EQ(manager_->activeSession(), std::nullopt);

    const CallSession manual = startManual(false);
    EXPECT_EQ(manual.status, CallSessionStatus::recording);
    manager_->updateVirtualMicConsumerCount(1, settings(true, true, false));
    EXPECT_EQ(manager_->activeSession()->id, manual.id);

    manager_->updateVirtualMicConsumerCount(0, settings(false, false, false));
    EXPECT_EQ(manager_->activeSession(), std::nullopt);
    const std::optional<CallSession> done = stored(manual.id);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->status, CallSessionStatus::completed);
    ASSERT_TRUE(done->endedAt.has_value());
    EXPECT_GE(*done->endedAt, std::chrono::floor<std::chrono::seconds>(manual.startedAt));
    EXPECT_EQ(manager_->listSessions().size(), 1u);
}

TEST_F(CallSessionManagerTest, WithoutSystemAudioTheFarEndIsMissingAndThePreviewIsTheLocalTrack) {
    // No capture is made; the session is flagged while recording and after completion, and the
    // preview is a byte copy of the local track.
    const CallSession session = startManual(false);
    EXPECT_TRUE(eventually([&] { return manager_->activeSession()->remoteAudioMissing; }));
    EXPECT_TRUE(stored(session.id)->remoteAudioMissing);
    recordLocal(100);
    stopAndWait();
    const CallSession done = *stored(session.id);
    EXPECT_TRUE(done.remoteAudioMissing);
    EXPECT_EQ(done.status, CallSessionStatus::completed);
    EXPECT_EQ(system_->tapHost().tapCount(), 0u);
    EXPECT_GT(platform::AudioFile::forReading(*done.localMicAudioPath)->length(), 1000);
    EXPECT_EQ(fileBytes(*done.mixedPreviewAudioPath), fileBytes(*done.localMicAudioPath));
}

TEST_F(CallSessionManagerTest, SimulatedTapFeedsTheFarEndTrackAndIsReleasedAtStop) {
    // What the speakers play reaches the far-end track through the tap; at stop the preview
    // mixes both tracks and the tap and its aggregate device are destroyed.
    platform::SineSource sine(1000.0, 0.5f);
    ASSERT_TRUE(system_->speakerBus()->play(sine, 2.0, kStartNanos));
    const CallSession session = startManual(true);
    ASSERT_TRUE(eventually([&] { return system_->tapHost().runningIOProcCount() == 1; }));
    recordLocal(50);
    EXPECT_EQ(system_->pump({50, 512, {}}), 1u);
    const fs::path remote = *session.remoteSystemAudioPath;
    ASSERT_TRUE(eventually([&] { return fs::file_size(remote) >= 44 + 2 * 8400; }));
    stopAndWait();
    EXPECT_TRUE(eventually([&] {
        return system_->tapHost().tapCount() == 0 && system_->tapHost().aggregateDeviceCount() == 0;
    }));

    const CallSession done = *stored(session.id);
    EXPECT_FALSE(done.remoteAudioMissing);
    const auto far = platform::AudioFile::forReading(remote);
    const auto mix = platform::AudioFile::forReading(*done.mixedPreviewAudioPath);
    EXPECT_NEAR(static_cast<double>(far->length()), 50 * 512 / 3.0, 50.0);
    EXPECT_EQ(mix->length(), far->length());
    EXPECT_NE(fileBytes(*done.mixedPreviewAudioPath), fileBytes(*done.localMicAudioPath));
}

TEST_F(CallSessionManagerTest, UnavailableCaptureMarksTheFarEndMissing) {
    // On a system without process taps the capture refuses to start; the session records on and
    // its far end is flagged, before and after completion.
    system_->tapHost().setSupported(false);
    const CallSession session = startManual(true);
    EXPECT_TRUE(eventually([&] { return manager_->activeSession()->remoteAudioMissing; }));
    EXPECT_TRUE(stored(session.id)->remoteAudioMissing);
    stopAndWait();
    EXPECT_TRUE(stored(session.id)->remoteAudioMissing);
    EXPECT_EQ(stored(session.id)->status, CallSessionStatus::completed);
}

TEST_F(CallSessionManagerTest, ContextRefreshReplacesGeneratedTitlesOnly) {
    // A generated title gives way to the meeting title; a title from the context stays when the
    // context offers another, unless it was just the app name and the new one is longer.
    setContext(CallSessionContext(std::nullopt, "Chat"));
    const CallSession generated = startManual(false);
    EXPECT_TRUE(generated.title.starts_with("Chat Call ")) << generated.title;
    setContext(CallSessionContext("Design review", "Chat"));
    manager_->refreshActiveSessionContext();
    EXPECT_EQ(manager_->activeSession()->title, "Design review");
    EXPECT_EQ(stored(generated.id)->title, "Design review");
    setContext(CallSessionContext("Other meeting", "Meet"));
    manager_->refreshActiveSessionContext();
    EXPECT_EQ(manager_->activeSession()->title, "Design review");
    EXPECT_EQ(manager_->activeSession()->appName, "Meet");
    stopAndWait();

    setContext(CallSessionContext("Chat", "Chat"));
    const CallSession named = startManual(false);
    EXPECT_EQ(named.title, "Chat");
    setContext(CallSessionContext("Chat - Design review", "Chat"));
    manager_->refreshActiveSessionContext();
    EXPECT_EQ(manager_->activeSession()->title, "Chat - Design review");
}

TEST(CallTitleRuleTest, GeneratedTitlesGiveWayAndContextTitlesStay) {
    // The rule's cases in order: equal, generated without app, no app known, generated from the
    // app, bare app name replaced only by a longer title.
    using M = CallSessionManager;
    EXPECT_FALSE(M::shouldReplaceTitle("Call Jan 5", "Call Jan 5", std::nullopt));
    EXPECT_TRUE(M::shouldReplaceTitle("Call Jan 5, 2026 at 2:03 PM", "Standup", std::nullopt));
    EXPECT_FALSE(M::shouldReplaceTitle("Standup", "Retro", std::nullopt));
    EXPECT_TRUE(M::shouldReplaceTitle("Chat Call Jan 5", "Standup", "Chat"));
    EXPECT_FALSE(M::shouldReplaceTitle("Chatter Call Jan 5", "Standup", "Chat"));
    EXPECT_TRUE(M::shouldReplaceTitle("Chat", "Chat: Standup", "Chat"));
    EXPECT_FALSE(M::shouldReplaceTitle("Chat", "Meet", "Chat"));
    EXPECT_FALSE(M::shouldReplaceTitle("Réunion", "Réunion1", "Réunion1"));
}

TEST_F(CallSessionManagerTest, ContextIsRefreshedTwoSecondsAfterTheStart) {
    // A meeting title that becomes known after the start reaches the session without a call.
    const CallSession session = startManual(false);
    EXPECT_TRUE(session.title.starts_with("Call ")) << session.title;
    setContext(CallSessionContext("Planning", std::nullopt));
    EXPECT_EQ(manager_->activeSession()->title, session.title);
    EXPECT_TRUE(eventually([&] { return manager_->activeSession()->title == "Planning"; }, 4000ms));
}

TEST_F(CallSessionManagerTest, DeletingTheActiveSessionLeavesNoRecordAndNoDirectory) {
    // Deletion stops the recording, the capture and removes the row and the call directory.
    const CallSession session = startManual(true);
    ASSERT_TRUE(eventually([&] { return system_->tapHost().runningIOProcCount() == 1; }));
    recordLocal(50);
    manager_->deleteSession(session.id);
    EXPECT_EQ(manager_->activeSession(), std::nullopt);
    EXPECT_TRUE(store_->listSessions(true).empty());
    EXPECT_FALSE(fs::exists(store_->paths().directory(session.id)));
    EXPECT_TRUE(eventually([&] { return system_->tapHost().tapCount() == 0; }));
}

TEST_F(CallSessionManagerTest, ListingHidesSoftDeletedSessions) {
    // Sessions stored with status deleted are not listed by the manager.
    const CallSession session = startManual(false);
    stopAndWait();
    CallSession hidden = *stored(session.id);
    hidden.status = CallSessionStatus::deleted;
    store_->update(hidden);
    EXPECT_TRUE(manager_->listSessions().empty());
    EXPECT_EQ(store_->listSessions(true).size(), 1u);
}

TEST_F(CallSessionManagerTest, FailedRecorderStartLeavesAFailedRecordAndAnIdleManager) {
    // When the local track cannot be created the manager stays idle and the record is closed as
    // failed with an end time instead of claiming to record forever.
    const Uuid id = Uuid::random();
    fs::create_directories(store_->paths().directory(id) / "local-mic.wav");
    {
        std::lock_guard lock(gUuidMutex);
        gScriptedUuid = id;
    }
    manager_->startManualSession(settings(false, true, false));
    EXPECT_EQ(manager_->activeSession(), std::nullopt);
    const std::optional<CallSession> record = stored(id);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->status, CallSessionStatus::failed);
    EXPECT_TRUE(record->endedAt.has_value());
    EXPECT_EQ(system_->tapHost().tapCount(), 0u);
}

TEST_F(CallSessionManagerTest, ReleasedManagerReleasesItsRunningCapture) {
    // A manager let go during a session still stops its far-end capture.
    startManual(true);
    ASSERT_TRUE(eventually([&] { return system_->tapHost().runningIOProcCount() == 1; }));
    manager_.reset();
    EXPECT_TRUE(eventually([&] { return system_->tapHost().tapCount() == 0; }));
}

}  // namespace
