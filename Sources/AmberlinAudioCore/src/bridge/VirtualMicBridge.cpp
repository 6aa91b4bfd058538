// Frame sinks over the shared ring and the in-process ring buffer, and their health record.
#include "AmberlinAudioCore/VirtualMicBridge.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "amberlin/am_ring_buffer.h"
#include "amberlin/am_shared_ring.h"
#include "settings/JsonFields.h"

namespace amberlin {
namespace {

constexpr auto kFrameLength = static_cast<std::uint32_t>(AudioFrame::frameLength);

// The capacity as the ring libraries take it; allocationFailed when it cannot be one.
std::uint32_t ringCapacity(std::int64_t frameCapacity) {
    if (frameCapacity <= 0 || frameCapacity > std::numeric_limits<std::uint32_t>::max()) {
        throw NoiseProcessorError::allocationFailed();
    }
    return static_cast<std::uint32_t>(frameCapacity);
}

}  // namespace

void to_json(nlohmann::json& json, const BridgeHealth& health) {
    json = nlohmann::json::object();
    json["availableReadFrames"] = health.availableReadFrames;
    json["availableWriteFrames"] = health.availableWriteFrames;
    json["underrunCount"] = health.underrunCount;
    json["overrunCount"] = health.overrunCount;
    json["producerAttached"] = health.producerAttached;
    json["consumerRunningCount"] = health.consumerRunningCount;
}

void from_json(const nlohmann::json& json, BridgeHealth& health) {
    using namespace json_fields;
    health = BridgeHealth{toInt(required(json, "availableReadFrames")),
                          toInt(required(json, "availableWriteFrames")),
                          toUInt64(required(json, "underrunCount")),
                          toUInt64(required(json, "overrunCount")),
                          toBool(required(json, "producerAttached")),
                          toInt(required(json, "consumerRunningCount"))};
}

const std::string& SharedVirtualMicBridge::defaultName() {
    static const std::string name = am_shared_ring_default_name();
    return name;
}

SharedVirtualMicBridge::SharedVirtualMicBridge(std::string_view name, bool create,
                                               std::int64_t frameCapacity)
    : ring_(am_shared_ring_open(std::string(name).c_str(), create, ringCapacity(frameCapacity),
                                kFrameLength)) {
    if (ring_ == nullptr) {
        throw NoiseProcessorError::allocationFailed();
    }
}

SharedVirtualMicBridge::~SharedVirtualMicBridge() {
    am_shared_ring_close(ring_);
}

void SharedVirtualMicBridge::attachProducer() {
    am_shared_ring_set_producer_attached(ring_, 1);
}

void SharedVirtualMicBridge::detachProducer() {
    am_shared_ring_set_producer_attached(ring_, 0);
}

bool SharedVirtualMicBridge::write(const AudioFrame& frame) {
    return am_shared_ring_write(ring_, frame.samples.data(), kFrameLength) == 1;
}

bool SharedVirtualMicBridge::writeLatest(const AudioFrame& frame) {
    return am_shared_ring_write_latest(ring_, frame.samples.data(), kFrameLength) == 1;
}

void SharedVirtualMicBridge::clear() {
    am_shared_ring_clear(ring_);
}

AudioFrame::Samples SharedVirtualMicBridge::readOrSilence() {
    AudioFrame::Samples samples{};
    am_shared_ring_read(ring_, samples.data(), kFrameLength);
    return samples;
}

BridgeHealth SharedVirtualMicBridge::health() const {
    const am_shared_ring_health_info info = am_shared_ring_health(ring_);
    return BridgeHealth{info.available_read_frames, info.available_write_frames,
                        info.underrun_count,        info.overrun_count,
                        info.producer_attached,     info.consumer_running_count};
}

VirtualMicBridge::VirtualMicBridge(std::int64_t frameCapacity)
    : buffer_(am_ring_buffer_create(ringCapacity(frameCapacity), kFrameLength)) {
    if (buffer_ == nullptr) {
        throw NoiseProcessorError::allocationFailed();
    }
}

VirtualMicBridge::~VirtualMicBridge() {
    am_ring_buffer_destroy(buffer_);
}

void VirtualMicBridge::attachProducer() {
    attached_.store(true, std::memory_order_release);
}

void VirtualMicBridge::detachProducer() {
    attached_.store(false, std::memory_order_release);
}

bool VirtualMicBridge::write(const AudioFrame& frame) {
    if (am_ring_buffer_write(buffer_, frame.samples.data(), kFrameLength) == 1) {
        return true;
    }
    overruns_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool VirtualMicBridge::writeLatest(const AudioFrame& frame) {
    if (write(frame)) {
        return true;
    }
    readOrSilence();  // discards the oldest frame
    return write(frame);
}

void VirtualMicBridge::clear() {
    am_ring_buffer_clear(buffer_);
}

AudioFrame::Samples VirtualMicBridge::readOrSilence() {
    AudioFrame::Samples samples{};
    if (am_ring_buffer_read(buffer_, samples.data(), kFrameLength) != 1) {
        underruns_.fetch_add(1, std::memory_order_relaxed);
    }
    return samples;
}

BridgeHealth VirtualMicBridge::health() const {
    // Free slots are derived from one fill-level reading, so the two levels always add up to
    // the capacity even while the producer writes.
    const std::uint32_t buffered = am_ring_buffer_available_read(buffer_);
    return BridgeHealth{buffered,
                        am_ring_buffer_capacity(buffer_) - buffered,
                        underruns_.load(std::memory_order_relaxed),
                        overruns_.load(std::memory_order_relaxed),
                        attached_.load(std::memory_order_acquire),
                        0};
}

}  // namespace amberlin
