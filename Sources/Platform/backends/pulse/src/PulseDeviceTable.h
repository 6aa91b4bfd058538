// The server's sources and sinks as audio objects: stable object ids, identity, format and the
// server's defaults, kept current by a full re-listing at every system-object read and by the
// server's change events in between.
//
// Monitor sources (a sink's monitor) are not devices: they never appear in the table. Each source
// or sink gets an object id when first seen and keeps it while it exists; an id is never given to
// another object during the table's life. Once the connection fails the table is empty.
//
// Threads: every method is thread-safe. Listing replies are applied on the mainloop thread in the
// order the server answered, so an older listing never overwrites a newer one.
#ifndef CORVESSA_PLATFORM_PULSE_DEVICE_TABLE_H
#define CORVESSA_PLATFORM_PULSE_DEVICE_TABLE_H

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "PulseConnection.h"
#include "platform/CoreAudioTypes.h"

namespace platform {

/// One source (input device) or sink (output device) of the server.
struct PulseDevice {
    AudioObjectID id = 0;
    bool isSink = false;
    uint32_t index = PA_INVALID_INDEX;  ///< the server's index
    std::string name;                   ///< the server's name: the device UID
    std::string description;            ///< the device name
    UInt32 channels = 0;                ///< from the sample spec
    Float64 sampleRate = 0.0;           ///< Hz, from the sample spec
    std::string monitorName;            ///< a sink's monitor source
    UInt32 bufferFrames = 0;            ///< requested fragment size, frames
};

/// The server's devices as seen by this process.
class PulseDeviceTable {
  public:
    /// First object id handed out (0 and 1 are the unknown and the system object).
    static constexpr AudioObjectID kFirstDeviceID = 0x100;
    /// Fragment size a device asks for until its buffer frame size is written, in frames.
    static constexpr UInt32 kDefaultBufferFrames = 480;

    explicit PulseDeviceTable(std::shared_ptr<PulseConnection> connection);
    /// Cancels pending listings and stops following the server.
    ~PulseDeviceTable();
    PulseDeviceTable(const PulseDeviceTable&) = delete;
    PulseDeviceTable& operator=(const PulseDeviceTable&) = delete;

    /// Lists sources, sinks and the server's defaults afresh; false when the server did not
    /// answer in time (the table keeps what it knew).
    bool refresh();
    /// Follows the server's source, sink and server events from now on.
    bool follow();

    /// Every device id, sources and sinks, ascending.
    std::vector<AudioObjectID> deviceIDs() const;
    /// The device with `id`, if it exists.
    std::optional<PulseDevice> device(AudioObjectID id) const;
    /// The default source's id, or kAudioObjectUnknown.
    AudioObjectID defaultInput() const;
    /// The default sink's id, or kAudioObjectUnknown.
    AudioObjectID defaultOutput() const;
    /// Records a device's requested fragment size; false for an unknown device.
    bool setBufferFrames(AudioObjectID id, UInt32 frames);

  private:
    struct Listing;
    void issue(pa_context* context, int what);
    void apply(const Listing& listing);
    void applyServer(const pa_server_info& info);
    AudioObjectID idFor(bool isSink, uint32_t index, const std::string& name);
    AudioObjectID idNamed(const std::string& name, bool isSink) const;
    void forgetListing(Listing* listing);
    void clear();
    static void sourceListed(pa_context*, const pa_source_info* info, int eol, void* listing);
    static void sinkListed(pa_context*, const pa_sink_info* info, int eol, void* listing);
    static void serverListed(pa_context*, const pa_server_info* info, void* listing);
    void eventArrived(pa_subscription_event_type_t type);

    const std::shared_ptr<PulseConnection> connection_;
    mutable std::mutex mutex_;  // guards everything below
    std::vector<PulseDevice> devices_;
    std::map<std::pair<bool, uint32_t>, std::pair<std::string, AudioObjectID>> ids_;
    AudioObjectID nextID_ = kFirstDeviceID;
    std::string defaultSource_;
    std::string defaultSink_;
    // Listings issued on the mainloop thread and not answered yet (mainloop lock).
    std::vector<std::pair<std::unique_ptr<Listing>, pa_operation*>> pending_;
};

}  // namespace platform

#endif
