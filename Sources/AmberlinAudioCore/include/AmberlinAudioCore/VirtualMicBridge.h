// The producer's end of the virtual microphone: the frame-sink contract, its health record, the
// sink over the cross-process shared ring and the same sink over an in-process ring buffer.
//
// Threads: attach, detach, write, writeLatest, clear and readOrSilence run on the one processing
// thread that feeds the sink; `health` may be read from any other thread at any time.
#ifndef AMBERLINAUDIOCORE_VIRTUALMICBRIDGE_H
#define AMBERLINAUDIOCORE_VIRTUALMICBRIDGE_H

#include <atomic>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

#include "AmberlinAudioCore/AudioFrame.h"

struct am_shared_ring;
struct am_ring_buffer;

namespace amberlin {

/// Whatever consumes the capture pipeline's processed frames.
class AudioFrameSink {
  public:
    virtual ~AudioFrameSink() = default;
    /// A producer starts feeding.
    virtual void attachProducer() = 0;
    /// The producer stops feeding.
    virtual void detachProducer() = 0;
    /// Stores a frame, refusing it when full; true when stored.
    virtual bool write(const AudioFrame& frame) = 0;
    /// Stores a frame, evicting the oldest when full; true when stored.
    virtual bool writeLatest(const AudioFrame& frame) = 0;
    /// Drops everything buffered.
    virtual void clear() = 0;

  protected:
    AudioFrameSink() = default;
    AudioFrameSink(const AudioFrameSink&) = default;
    AudioFrameSink& operator=(const AudioFrameSink&) = default;
};

/// Fill levels, counters and flags of a bridge's ring as the producer sees them.
struct BridgeHealth {
    std::int64_t availableReadFrames = 0;   ///< frames waiting to be read
    std::int64_t availableWriteFrames = 0;  ///< free frame slots
    std::uint64_t underrunCount = 0;        ///< reads that found nothing
    std::uint64_t overrunCount = 0;         ///< frames dropped or skipped: full or too far behind
    bool producerAttached = false;          ///< a producer is attached
    std::int64_t consumerRunningCount = 0;  ///< clients running IO on the virtual device

    friend bool operator==(const BridgeHealth&, const BridgeHealth&) = default;
};

/// JSON object with the six keys in field order.
void to_json(nlohmann::json& json, const BridgeHealth& health);
/// Requires all six keys with values of their field's type.
void from_json(const nlohmann::json& json, BridgeHealth& health);

/// The production sink: writes frames into the shared ring that the plug-in reads.
class SharedVirtualMicBridge final : public AudioFrameSink {
  public:
    /// The ring's shared-memory name, "/amvmic".
    static const std::string& defaultName();
    /// Frames the production ring holds.
    static constexpr std::int64_t defaultFrameCapacity = 32;

    /// Opens (and with `create`, creates) the ring `name` of `frameCapacity` frames of 480
    /// samples. Throws NoiseProcessorError::allocationFailed when it cannot be opened, including
    /// a capacity outside 1 ... 2^32 - 1.
    SharedVirtualMicBridge(std::string_view name, bool create, std::int64_t frameCapacity);
    /// Closes the handle; the shared object stays for the consumer.
    ~SharedVirtualMicBridge() override;
    SharedVirtualMicBridge(const SharedVirtualMicBridge&) = delete;
    SharedVirtualMicBridge& operator=(const SharedVirtualMicBridge&) = delete;

    /// Sets the ring's producer-attached flag.
    void attachProducer() override;
    /// Clears the ring's producer-attached flag.
    void detachProducer() override;
    /// Strict write; a full ring drops this frame and counts an overrun.
    bool write(const AudioFrame& frame) override;
    /// Drop-oldest write; a full ring evicts its oldest frame and counts an overrun.
    bool writeLatest(const AudioFrame& frame) override;
    /// Empties the ring; counters and flags stay.
    void clear() override;
    /// The oldest frame, or silence (with an underrun counted) when the ring is empty.
    AudioFrame::Samples readOrSilence();
    /// The ring's live fill levels, counters and flags.
    BridgeHealth health() const;

  private:
    am_shared_ring* ring_;
};

/// The same sink over an in-process ring buffer, for use without the plug-in.
class VirtualMicBridge final : public AudioFrameSink {
  public:
    /// Frames the in-process ring holds by default.
    static constexpr std::int64_t defaultFrameCapacity = 16;

    /// Creates a ring buffer of `frameCapacity` frames of 480 samples. Throws
    /// NoiseProcessorError::allocationFailed on failure or a capacity outside 1 ... 2^32 - 1.
    explicit VirtualMicBridge(std::int64_t frameCapacity = defaultFrameCapacity);
    /// Destroys the ring buffer.
    ~VirtualMicBridge() override;
    VirtualMicBridge(const VirtualMicBridge&) = delete;
    VirtualMicBridge& operator=(const VirtualMicBridge&) = delete;

    /// Marks a producer as attached.
    void attachProducer() override;
    /// Marks the producer as detached.
    void detachProducer() override;
    /// Strict write; a full buffer refuses the frame and counts an overrun.
    bool write(const AudioFrame& frame) override;
    /// Drop-oldest write: a full buffer counts an overrun and evicts its oldest frame first.
    bool writeLatest(const AudioFrame& frame) override;
    /// Empties the buffer.
    void clear() override;
    /// The oldest frame, or silence (with an underrun counted) when the buffer is empty.
    AudioFrame::Samples readOrSilence();
    /// Fill levels and the bridge's own counters; `consumerRunningCount` is always 0.
    BridgeHealth health() const;

  private:
    am_ring_buffer* buffer_;
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::uint64_t> overruns_{0};
    std::atomic<bool> attached_{false};
};

}  // namespace amberlin

#endif
