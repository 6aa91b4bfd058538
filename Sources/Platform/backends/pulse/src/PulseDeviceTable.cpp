// Source and sink listings, stable ids and the server's defaults.
#include "PulseDeviceTable.h"

#include <algorithm>

namespace platform {
namespace {

enum What : int { kSources = 0, kSinks = 1, kServer = 2 };

}  // namespace

/// One listing in flight: what it lists and what arrived so far (mainloop thread).
struct PulseDeviceTable::Listing {
    PulseDeviceTable* table;
    int what;
    bool owned;  // issued from an event: the table frees it when it ends
    std::vector<PulseDevice> items;
};

PulseDeviceTable::PulseDeviceTable(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {
    connection_->onFailure([this] { clear(); });
}

PulseDeviceTable::~PulseDeviceTable() {
    PulseLock lock(connection_->mainloop());
    connection_->onFailure(nullptr);
    connection_->setEventHandler(nullptr);
    for (auto& [listing, operation] : pending_) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    pending_.clear();
}

bool PulseDeviceTable::refresh() {
    for (const int what : {kSources, kSinks, kServer}) {
        Listing listing{this, what, false, {}};
        const bool answered = connection_->await([&](pa_context* context) -> pa_operation* {
            switch (what) {
                case kSources:
                    return pa_context_get_source_info_list(context, &sourceListed, &listing);
                case kSinks:
                    return pa_context_get_sink_info_list(context, &sinkListed, &listing);
                default:
                    return pa_context_get_server_info(context, &serverListed, &listing);
            }
        });
        if (!answered) {
            return false;
        }
    }
    return true;
}

bool PulseDeviceTable::follow() {
    connection_->setEventHandler(
        [this](pa_subscription_event_type_t type, uint32_t) { eventArrived(type); });
    return connection_->subscribe();
}

void PulseDeviceTable::eventArrived(pa_subscription_event_type_t type) {
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            issue(connection_->context(), kSources);
            break;
        case PA_SUBSCRIPTION_EVENT_SINK:
            issue(connection_->context(), kSinks);
            break;
        case PA_SUBSCRIPTION_EVENT_SERVER:
            issue(connection_->context(), kServer);
            break;
        default:
            break;
    }
}

void PulseDeviceTable::issue(pa_context* context, int what) {
    auto listing = std::make_unique<Listing>(Listing{this, what, true, {}});
    pa_operation* operation = nullptr;
    if (what == kSources) {
        operation = pa_context_get_source_info_list(context, &sourceListed, listing.get());
    } else if (what == kSinks) {
        operation = pa_context_get_sink_info_list(context, &sinkListed, listing.get());
    } else {
        operation = pa_context_get_server_info(context, &serverListed, listing.get());
    }
    if (operation != nullptr) {
        pending_.emplace_back(std::move(listing), operation);
    }
}

void PulseDeviceTable::forgetListing(Listing* listing) {
    const auto found = std::find_if(pending_.begin(), pending_.end(), [&](const auto& entry) {
        return entry.first.get() == listing;
    });
    if (found != pending_.end()) {
        pa_operation_unref(found->second);
        pending_.erase(found);  // frees the listing
    }
}

void PulseDeviceTable::sourceListed(pa_context*, const pa_source_info* info, int eol, void* data) {
    auto* listing = static_cast<Listing*>(data);
    if (eol == 0 && info != nullptr) {
        if (info->monitor_of_sink == PA_INVALID_INDEX) {
            listing->items.push_back({0,
                                      false,
                                      info->index,
                                      info->name,
                                      info->description ? info->description : info->name,
                                      info->sample_spec.channels,
                                      static_cast<Float64>(info->sample_spec.rate),
                                      {},
                                      0});
        }
        return;
    }
    if (eol > 0) {
        listing->table->apply(*listing);
    }
    if (listing->owned) {
        listing->table->forgetListing(listing);
    }
}

void PulseDeviceTable::sinkListed(pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* listing = static_cast<Listing*>(data);
    if (eol == 0 && info != nullptr) {
        listing->items.push_back(
            {0, true, info->index, info->name, info->description ? info->description : info->name,
             info->sample_spec.channels, static_cast<Float64>(info->sample_spec.rate),
             info->monitor_source_name ? info->monitor_source_name : "", 0});
        return;
    }
    if (eol > 0) {
        listing->table->apply(*listing);
    }
    if (listing->owned) {
        listing->table->forgetListing(listing);
    }
}

void PulseDeviceTable::serverListed(pa_context*, const pa_server_info* info, void* data) {
    auto* listing = static_cast<Listing*>(data);
    if (info != nullptr) {
        listing->table->applyServer(*info);
    }
    if (listing->owned) {
        listing->table->forgetListing(listing);
    }
}

void PulseDeviceTable::apply(const Listing& listing) {
    const bool sinks = listing.what == kSinks;
    std::lock_guard lock(mutex_);
    std::vector<PulseDevice> kept;
    for (PulseDevice device : listing.items) {
        device.id = idFor(sinks, device.index, device.name);
        const auto old = std::find_if(devices_.begin(), devices_.end(),
                                      [&](const PulseDevice& d) { return d.id == device.id; });
        device.bufferFrames = old != devices_.end() ? old->bufferFrames : kDefaultBufferFrames;
        kept.push_back(std::move(device));
    }
    std::erase_if(devices_, [&](const PulseDevice& d) { return d.isSink == sinks; });
    devices_.insert(devices_.end(), kept.begin(), kept.end());
    std::sort(devices_.begin(), devices_.end(),
              [](const PulseDevice& a, const PulseDevice& b) { return a.id < b.id; });
}

void PulseDeviceTable::applyServer(const pa_server_info& info) {
    std::lock_guard lock(mutex_);
    defaultSource_ = info.default_source_name ? info.default_source_name : "";
    defaultSink_ = info.default_sink_name ? info.default_sink_name : "";
}

AudioObjectID PulseDeviceTable::idFor(bool isSink, uint32_t index, const std::string& name) {
    auto& slot = ids_[{isSink, index}];
    if (slot.second == 0 || slot.first != name) {
        slot = {name, nextID_++};  // a new object, even where the server reused an index
    }
    return slot.second;
}

void PulseDeviceTable::clear() {
    std::lock_guard lock(mutex_);
    devices_.clear();
    defaultSource_.clear();
    defaultSink_.clear();
}

std::vector<AudioObjectID> PulseDeviceTable::deviceIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const PulseDevice& device : devices_) {
        ids.push_back(device.id);
    }
    return ids;
}

std::optional<PulseDevice> PulseDeviceTable::device(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(devices_.begin(), devices_.end(),
                                    [&](const PulseDevice& d) { return d.id == id; });
    return found == devices_.end() ? std::nullopt : std::optional(*found);
}

AudioObjectID PulseDeviceTable::idNamed(const std::string& name, bool isSink) const {
    const auto found = std::find_if(devices_.begin(), devices_.end(), [&](const PulseDevice& d) {
        return d.isSink == isSink && d.name == name;
    });
    return found == devices_.end() ? kAudioObjectUnknown : found->id;
}

AudioObjectID PulseDeviceTable::defaultInput() const {
    std::lock_guard lock(mutex_);
    return idNamed(defaultSource_, false);
}

AudioObjectID PulseDeviceTable::defaultOutput() const {
    std::lock_guard lock(mutex_);
    return idNamed(defaultSink_, true);
}

bool PulseDeviceTable::setBufferFrames(AudioObjectID id, UInt32 frames) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(devices_.begin(), devices_.end(),
                                    [&](const PulseDevice& d) { return d.id == id; });
    if (found == devices_.end()) {
        return false;
    }
    found->bufferFrames = frames;
    return true;
}

}  // namespace platform
