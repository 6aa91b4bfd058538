// Run mode: the helper as the single producer of the virtual microphone.
#include "RunMode.h"

#include <condition_variable>
#include <mutex>

#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "AmberlinAudioCore/VoiceChain.h"

namespace amberlin::helper {
namespace {

/// Blocks the calling thread until `stop` is requested; forever for a token without a source.
void waitUntilStopped(const std::stop_token& stop) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait(lock, stop, [] { return false; });
}

std::shared_ptr<AudioPipeline> makePipeline(const HelperContext& context,
                                            const HelperEnvironment& environment) {
    auto bridge = std::make_shared<SharedVirtualMicBridge>(
        environment.ringName, true, SharedVirtualMicBridge::defaultFrameCapacity);
    return AudioPipeline::make(NoiseProcessorFactory::make(context.settings), std::move(bridge),
                               std::make_shared<DeviceManager>(),
                               context.settings.selectedInputDeviceUID,
                               environment.producerLockPath);
}

}  // namespace

std::optional<std::string_view> refusalMessage(AudioPipelineError::Code code) {
    using Code = AudioPipelineError::Code;
    switch (code) {
        case Code::inputDeviceUnavailable:
            return "CorvessaHelper: no physical input device is available.";
        case Code::wouldCaptureVirtualDevice:
            return "CorvessaHelper: refusing to capture the Corvessa virtual mic. Select a "
                   "physical input device.";
        case Code::producerAlreadyRunning:
            return "CorvessaHelper: another producer (the app or helper) is already feeding "
                   "Corvessa Mic. Quit it first.";
        default:
            return std::nullopt;
    }
}

int runFeedingMode(const HelperContext& context, const HelperEnvironment& environment,
                   std::ostream& out, std::ostream& err) {
    const std::shared_ptr<AudioPipeline> pipeline = makePipeline(context, environment);
    try {
        pipeline->start();
    } catch (const AudioPipelineError& error) {
        const auto message = refusalMessage(error.code());
        if (!message) {
            throw;
        }
        err << *message << std::endl;
        return 1;
    }
    // Flushed at once: the process usually ends by a signal, which discards buffered output.
    out << "CorvessaHelper is feeding Corvessa Mic. Press Control-C to stop." << std::endl;
    waitUntilStopped(environment.stop);
    pipeline->stop();
    return 0;
}

}  // namespace amberlin::helper
