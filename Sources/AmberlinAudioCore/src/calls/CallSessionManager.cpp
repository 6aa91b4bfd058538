// The call session manager: session lifecycle on its queue, far-end capture on a second queue.
#include "AmberlinAudioCore/CallSessionManager.h"

#include <utility>

namespace amberlin {
namespace {

// Number of Unicode scalar values in UTF-8 text (continuation bytes are not counted).
std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0u) != 0x80u ? 1 : 0;
    }
    return count;
}

}  // namespace

CallSessionManager::CallSessionManager(std::shared_ptr<CallMetadataStore> store,
                                       std::shared_ptr<CallRecorder> recorder,
                                       ContextProvider contextProvider)
    : store_(std::move(store)),
      recorder_(std::move(recorder)),
      contextProvider_(std::move(contextProvider)) {}

CallSessionManager::~CallSessionManager() {
    if (auto capture = std::exchange(systemAudioCapture_, nullptr)) {
        captureQueue_.async([capture] { capture->stop(); });
    }
}

// Runs `work` on the manager's queue with the manager held weakly.
template <class Work>
void CallSessionManager::onQueue(Work work) {
    queue_.async([weak = weak_from_this(), work = std::move(work)] {
        if (const auto self = weak.lock()) {
            work(*self);
        }
    });
}

std::optional<CallSession> CallSessionManager::activeSession() {
    std::optional<CallSession> session;
    queue_.sync([&] { session = activeSessionStorage_; });
    return session;
}

void CallSessionManager::updateVirtualMicConsumerCount(std::int64_t count,
                                                       const AppSettings& settings) {
    onQueue([count, settings](CallSessionManager& self) {
        if (count <= 0) {
            self.stopSession();
        } else if (settings.automaticCallRecordingEnabled && settings.localRecordingEnabled &&
                   settings.recordingConsentAcknowledged) {
            self.startSession(settings);
        }
    });
}

void CallSessionManager::startIfNeeded(const AppSettings& settings) {
    onQueue([settings](CallSessionManager& self) { self.startSession(settings); });
}

void CallSessionManager::startManualSession(const AppSettings& settings) {
    onQueue([settings](CallSessionManager& self) {
        if (settings.localRecordingEnabled && settings.recordingConsentAcknowledged) {
            self.startSession(settings);
        }
    });
}

void CallSessionManager::stopActiveSession() {
    onQueue([](CallSessionManager& self) { self.stopSession(); });
}

void CallSessionManager::recordLocalFrame(const AudioFrame& frame) {
    recorder_->recordLocalFrame(frame);
}

std::vector<CallSession> CallSessionManager::listSessions() {
    try {
        return store_->listSessions(false);
    } catch (const std::exception&) {
        return {};
    }
}

void CallSessionManager::refreshActiveSessionContext() {
    onQueue([](CallSessionManager& self) { self.refreshContext(); });
}

void CallSessionManager::deleteSession(const Uuid& id) {
    onQueue([id](CallSessionManager& self) { self.removeSession(id); });
}

// Creates the record, starts the recorder and the far-end capture; a second start while a
// session is active does nothing.
void CallSessionManager::startSession(const AppSettings& settings) {
    if (activeSessionStorage_) {
        return;
    }
    const std::optional<CallSessionContext> context = currentContext();
    CallSession session;
    try {
        session = store_->createSession(context ? context->title : std::nullopt,
                                        context ? context->appName : std::nullopt);
    } catch (const std::exception&) {
        return;
    }
    if (!beginRecording(session)) {
        return;
    }
    activeSessionStorage_ = session;
    queue_.asyncAfter(contextRefreshDelay, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->refreshContext();
        }
    });
    if (!settings.captureSystemAudioEnabled) {
        onQueue([id = session.id](CallSessionManager& self) { self.markRemoteAudioMissing(id); });
        return;
    }
    startCapture(session.id);
}

// The provider's context; a provider that throws counts as knowing nothing.
std::optional<CallSessionContext> CallSessionManager::currentContext() const {
    try {
        return contextProvider_ ? contextProvider_() : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Starts the recorder for a freshly created session. When that fails the record is closed as
// `failed` with its end time, so no record claims to be recording a call that never was.
bool CallSessionManager::beginRecording(const CallSession& session) {
    try {
        recorder_->start(session);
        return true;
    } catch (const std::exception&) {
        CallSession failed = session;
        failed.status = CallSessionStatus::failed;
        failed.endedAt = std::chrono::system_clock::now();
        writeIgnoringFailure(failed);
        return false;
    }
}

// Makes the far-end capture, connects it to the recorder and starts it on the capture queue; a
// failed start marks the session's far end missing.
void CallSessionManager::startCapture(const Uuid& sessionID) {
    auto capture = SystemAudioCaptureFactory::make();
    capture->setOnAudioBuffer([recorder = std::weak_ptr<CallRecorder>(recorder_)](
                                  const std::shared_ptr<platform::PCMBuffer>& buffer) {
        if (const auto target = recorder.lock()) {
            target->recordRemoteBuffer(buffer);
        }
    });
    systemAudioCapture_ = capture;
    captureQueue_.async([weak = weak_from_this(), capture, sessionID] {
        try {
            capture->start();
        } catch (const std::exception&) {
            if (const auto self = weak.lock()) {
                self->onQueue([sessionID](CallSessionManager& manager) {
                    manager.markRemoteAudioMissing(sessionID);
                });
            }
        }
    });
}

// Flags the far end of the session as missing, when that session is still the active one.
void CallSessionManager::markRemoteAudioMissing(const Uuid& sessionID) {
    if (!activeSessionStorage_ || activeSessionStorage_->id != sessionID) {
        return;
    }
    activeSessionStorage_->remoteAudioMissing = true;
    writeIgnoringFailure(*activeSessionStorage_);
}

// Closes the tracks (building the preview), stops the capture and completes the record.
void CallSessionManager::stopSession() {
    if (!activeSessionStorage_) {
        return;
    }
    CallSession session = *std::exchange(activeSessionStorage_, std::nullopt);
    recorder_->stop();
    stopCapture();
    session.endedAt = std::chrono::system_clock::now();
    session.status = CallSessionStatus::completed;
    session.remoteAudioMissing = session.remoteAudioMissing || recorder_->didLoseRemoteAudio();
    writeIgnoringFailure(session);
}

// Stops the far-end capture, if any, on the capture queue behind its start.
void CallSessionManager::stopCapture() {
    if (auto capture = std::exchange(systemAudioCapture_, nullptr)) {
        captureQueue_.async([capture] { capture->stop(); });
    }
}

// Takes a newer app name, and a context title when the title rule allows it.
void CallSessionManager::refreshContext() {
    if (!activeSessionStorage_) {
        return;
    }
    const std::optional<CallSessionContext> context = currentContext();
    if (!context) {
        return;
    }
    CallSession session = *activeSessionStorage_;
    bool changed = false;
    if (context->appName && context->appName != session.appName) {
        session.appName = context->appName;
        changed = true;
    }
    if (context->title && shouldReplaceTitle(session.title, *context->title, session.appName)) {
        session.title = *context->title;
        changed = true;
    }
    if (changed) {
        activeSessionStorage_ = session;
        writeIgnoringFailure(session);
    }
}

bool CallSessionManager::shouldReplaceTitle(const std::string& current,
                                            const std::string& candidate,
                                            const std::optional<std::string>& appName) {
    if (current == candidate) {
        return false;
    }
    if (current.starts_with("Call ")) {
        return true;
    }
    if (!appName) {
        return false;
    }
    if (current.starts_with(*appName + " Call ")) {
        return true;
    }
    return current == *appName && characterCount(candidate) > characterCount(*appName);
}

// Stops the session first when it is the active one, then deletes record and files.
void CallSessionManager::removeSession(const Uuid& id) {
    if (activeSessionStorage_ && activeSessionStorage_->id == id) {
        activeSessionStorage_.reset();
        recorder_->stop();
        stopCapture();
    }
    try {
        store_->deleteSession(id);
    } catch (const std::exception&) {
    }
}

// Writes the session to the store; the previous record stays when that fails.
void CallSessionManager::writeIgnoringFailure(const CallSession& session) {
    try {
        store_->update(session);
    } catch (const std::exception&) {
    }
}

}  // namespace amberlin
