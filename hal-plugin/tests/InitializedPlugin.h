// Test support: a freshly loaded, initialised plug-in consuming "/amvmic", with the test acting
// as the ring's producer through its own handle.
#ifndef CORVESSA_HAL_TESTS_INITIALIZED_PLUGIN_H
#define CORVESSA_HAL_TESTS_INITIALIZED_PLUGIN_H

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "FreshPlugin.h"
#include "amberlin/am_shared_ring.h"
#include "audioserver/PluginHost.h"
#include "platform/AudioObjectProperties.h"

namespace corvessa::testing {

/// Samples per ring frame.
inline constexpr int kFrame = 480;

/// A loaded plug-in plus a producer handle on "/amvmic"; the ring is emptied before Initialize.
class InitializedPlugin : public ::testing::Test {
  protected:
    void SetUp() override {
        producer = am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame);
        ASSERT_NE(producer, nullptr);
        am_shared_ring_clear(producer);
        ASSERT_EQ(host.initialize(), 0);
    }
    void TearDown() override { am_shared_ring_close(producer); }

    /// Writes one frame whose samples are first, first + 1, ... (exact in f32 below 2^24).
    void writeStampedFrame(float first) {
        std::array<float, kFrame> frame;
        for (int i = 0; i < kFrame; ++i) {
            frame[i] = first + static_cast<float>(i);
        }
        ASSERT_EQ(am_shared_ring_write_latest(producer, frame.data(), kFrame), 1);
    }

    /// One read-input cycle of `frames` samples through the driver interface.
    std::vector<float> readCycle(size_t frames) {
        std::vector<float> samples(frames, -1.0f);
        EXPECT_EQ(device.readInput(samples), 0);
        return samples;
    }

    am_shared_ring_health_info health() { return am_shared_ring_health(producer); }

    UInt32 deviceIsRunning() {
        return host.properties()
            .u32(2, audioserver::propertyAddress(kAudioDevicePropertyDeviceIsRunning))
            .value_or(99);
    }

    FreshPluginCopy copy{HAL_PLUGIN_PATH};
    audioserver::PluginHost host{copy.path()};
    audioserver::HostedDevice device{host.devices().at(0)};
    am_shared_ring* producer = nullptr;
};

}  // namespace corvessa::testing

#endif
