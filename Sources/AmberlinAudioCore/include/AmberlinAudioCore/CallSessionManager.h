// Decides when a call is recorded and ties the call store, the recorder and the far-end capture
// together: automatic sessions while clients run IO on the virtual microphone (when the settings
// allow), manual sessions on request, title and app name kept up to date from the call context,
// and the record completed when the call ends.
//
// Threads: session state lives on the manager's serial queue
// "com.halvern.corvessa.call-session-manager"; every operation except `activeSession`,
// `recordLocalFrame` and `listSessions` returns at once and runs there. While on that queue the
// manager calls into the store and the recorder (each on its own queue), never the reverse. The
// far-end capture is started and stopped on a queue of its own
// ("com.halvern.corvessa.call-session-manager.capture"), so a stop always follows the start it
// undoes and never leaves a tap or aggregate device behind. Queued work holds the manager weakly
// (create it with std::make_shared) and does nothing once it is gone. `contextProvider` is called
// on the manager's queue.
#ifndef AMBERLINAUDIOCORE_CALLSESSIONMANAGER_H
#define AMBERLINAUDIOCORE_CALLSESSIONMANAGER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/CallMetadataStore.h"
#include "AmberlinAudioCore/CallModels.h"
#include "AmberlinAudioCore/CallRecorder.h"
#include "AmberlinAudioCore/SystemAudioCapture.h"
#include "platform/SerialQueue.h"

namespace amberlin {

/// Starts, updates, stops, lists and deletes recorded calls; at most one is active.
class CallSessionManager : public std::enable_shared_from_this<CallSessionManager> {
  public:
    /// The current call's context, or none when nothing is known.
    using ContextProvider = std::function<std::optional<CallSessionContext>()>;

    /// Delay from a session's start to its first context refresh.
    static constexpr std::chrono::milliseconds contextRefreshDelay{2000};

    /// An idle manager over `store` and `recorder`.
    CallSessionManager(std::shared_ptr<CallMetadataStore> store,
                       std::shared_ptr<CallRecorder> recorder, ContextProvider contextProvider);
    /// Stops the far-end capture of a session still active (its record stays as written).
    ~CallSessionManager();
    CallSessionManager(const CallSessionManager&) = delete;
    CallSessionManager& operator=(const CallSessionManager&) = delete;

    /// The session being recorded, read on the manager's queue (after the work queued before).
    std::optional<CallSession> activeSession();
    /// `count` clients run IO on the virtual microphone: 0 or less stops the active session
    /// (however it started); 1 or more starts one when automatic recording, local recording and
    /// recording consent are all on.
    void updateVirtualMicConsumerCount(std::int64_t count, const AppSettings& settings);
    /// Starts a session without consulting the three gates.
    void startIfNeeded(const AppSettings& settings);
    /// Starts a session when local recording and recording consent are on.
    void startManualSession(const AppSettings& settings);
    /// Stops and completes the active session, if any.
    void stopActiveSession();
    /// Passes one local frame to the recorder on the caller's thread.
    void recordLocalFrame(const AudioFrame& frame);
    /// The store's live sessions, newest first; empty when the store fails.
    std::vector<CallSession> listSessions();
    /// Re-reads the call context for the active session.
    void refreshActiveSessionContext();
    /// Stops the session if it is the active one (without writing it back), then deletes its
    /// record and files.
    void deleteSession(const Uuid& id);

    /// Whether a context title `candidate` should replace the session's title `current`, given
    /// the session's app name: generated titles give way, titles from the context stay unless
    /// they were just the app name and the candidate is longer.
    static bool shouldReplaceTitle(const std::string& current, const std::string& candidate,
                                   const std::optional<std::string>& appName);

  private:
    template <class Work>
    void onQueue(Work work);
    void startSession(const AppSettings& settings);
    std::optional<CallSessionContext> currentContext() const;
    bool beginRecording(const CallSession& session);
    void startCapture(const Uuid& sessionID);
    void markRemoteAudioMissing(const Uuid& sessionID);
    void stopSession();
    void stopCapture();
    void refreshContext();
    void removeSession(const Uuid& id);
    void writeIgnoringFailure(const CallSession& session);

    const std::shared_ptr<CallMetadataStore> store_;
    const std::shared_ptr<CallRecorder> recorder_;
    const ContextProvider contextProvider_;
    // Touched only on queue_ (and by the destructor, when no task can run any more).
    std::shared_ptr<SystemAudioCapturing> systemAudioCapture_;
    std::optional<CallSession> activeSessionStorage_;
    platform::SerialQueue queue_{"com.halvern.corvessa.call-session-manager"};
    platform::SerialQueue captureQueue_{"com.halvern.corvessa.call-session-manager.capture"};
};

}  // namespace amberlin

#endif
