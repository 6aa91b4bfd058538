// libpulse context, synchronous queries on the daemon's own main loop, change subscription.
#include "SoundServer.h"

#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/subscribe.h>

namespace audioserver::daemon {
namespace {

constexpr const char* kClientName = "corvessa-audio-server";

void onSubscription(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* userdata) {
    auto* onChange = static_cast<std::function<void()>*>(userdata);
    if (*onChange) {
        (*onChange)();
    }
}

}  // namespace

SoundServer::SoundServer() : loop_(pa_mainloop_new()) {}

SoundServer::~SoundServer() {
    disconnect();
    pa_mainloop_free(loop_);
}

pa_mainloop_api* SoundServer::api() noexcept {
    return pa_mainloop_get_api(loop_);
}

void SoundServer::iterate(int timeoutMs) {
    if (pa_mainloop_prepare(loop_, timeoutMs < 0 ? -1 : timeoutMs * 1000) < 0) {
        return;
    }
    if (pa_mainloop_poll(loop_) >= 0) {
        pa_mainloop_dispatch(loop_);
    }
}

void SoundServer::wakeup() noexcept {
    pa_mainloop_wakeup(loop_);
}

std::expected<void, std::string> SoundServer::connect(const std::string& address,
                                                      std::function<void()> onChange) {
    disconnect();
    onChange_ = std::move(onChange);
    context_ = pa_context_new(api(), kClientName);
    if (context_ == nullptr) {
        return std::unexpected("cannot create a sound-server context");
    }
    if (pa_context_connect(context_, address.empty() ? nullptr : address.c_str(),
                           PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        std::string error = lastError();
        disconnect();
        return std::unexpected(error);
    }
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) {
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(state)) {
            std::string error = lastError();
            disconnect();
            return std::unexpected(error);
        }
        if (pa_mainloop_iterate(loop_, 1, nullptr) < 0) {
            disconnect();
            return std::unexpected("main loop ended");
        }
    }
    pa_context_set_subscribe_callback(context_, onSubscription, &onChange_);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
                                                          PA_SUBSCRIPTION_MASK_SOURCE);
    if (!await(pa_context_subscribe(context_, mask, nullptr, nullptr))) {
        std::string error = lastError();
        disconnect();
        return std::unexpected(error);
    }
    return {};
}

void SoundServer::disconnect() noexcept {
    if (context_ != nullptr) {
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
}

bool SoundServer::isConnected() const noexcept {
    return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool SoundServer::await(pa_operation* operation) {
    if (operation == nullptr) {
        return false;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        if (pa_mainloop_iterate(loop_, 1, nullptr) < 0) {
            pa_operation_cancel(operation);
            break;
        }
    }
    const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    return done;
}

std::string SoundServer::lastError() const {
    return context_ != nullptr ? pa_strerror(pa_context_errno(context_)) : "not connected";
}

std::optional<ServerSource> SoundServer::findSource(const std::string& name) {
    if (!isConnected()) {
        return std::nullopt;
    }
    std::optional<ServerSource> found;
    auto onInfo = [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        if (eol == 0 && info != nullptr) {
            const char* device = pa_proplist_gets(info->proplist, PA_PROP_DEVICE_STRING);
            *static_cast<std::optional<ServerSource>*>(userdata) =
                ServerSource{info->index, info->owner_module, device != nullptr ? device : ""};
        }
    };
    await(pa_context_get_source_info_by_name(context_, name.c_str(), onInfo, &found));
    return found;
}

std::optional<std::string> SoundServer::moduleName(std::uint32_t index) {
    if (!isConnected() || index == PA_INVALID_INDEX) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    auto onInfo = [](pa_context*, const pa_module_info* info, int eol, void* userdata) {
        if (eol == 0 && info != nullptr && info->name != nullptr) {
            *static_cast<std::optional<std::string>*>(userdata) = info->name;
        }
    };
    await(pa_context_get_module_info(context_, index, onInfo, &name));
    return name;
}

std::expected<std::uint32_t, std::string> SoundServer::loadModule(const std::string& name,
                                                                  const std::string& arguments) {
    if (!isConnected()) {
        return std::unexpected("not connected");
    }
    std::uint32_t index = PA_INVALID_INDEX;
    auto onLoaded = [](pa_context*, std::uint32_t loaded, void* userdata) {
        *static_cast<std::uint32_t*>(userdata) = loaded;
    };
    if (!await(
            pa_context_load_module(context_, name.c_str(), arguments.c_str(), onLoaded, &index)) ||
        index == PA_INVALID_INDEX) {
        return std::unexpected("the server refused " + name + " " + arguments + ": " + lastError());
    }
    return index;
}

bool SoundServer::unloadModule(std::uint32_t index) {
    if (!isConnected()) {
        return false;
    }
    int success = 0;
    auto onDone = [](pa_context*, int ok, void* userdata) { *static_cast<int*>(userdata) = ok; };
    return await(pa_context_unload_module(context_, index, onDone, &success)) && success != 0;
}

std::optional<std::vector<std::uint32_t>> SoundServer::recordingStreams(std::uint32_t source) {
    if (!isConnected()) {
        return std::nullopt;
    }
    struct Query {
        std::uint32_t source;
        std::vector<std::uint32_t> streams;
    } query{source, {}};
    auto onInfo = [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
        auto* q = static_cast<Query*>(userdata);
        if (eol == 0 && info != nullptr && info->source == q->source && info->corked == 0) {
            q->streams.push_back(info->index);
        }
    };
    if (!await(pa_context_get_source_output_info_list(context_, onInfo, &query))) {
        return std::nullopt;
    }
    return query.streams;
}

}  // namespace audioserver::daemon
