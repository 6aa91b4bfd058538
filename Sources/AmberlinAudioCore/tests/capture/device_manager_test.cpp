// Tests of input-device listing and resolution against a simulated audio system.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AmberlinAudioCore/DeviceManager.h"
#include "platform/AudioSystem.h"
#include "platform/SimulatedAudioSystem.h"

namespace {

using amberlin::AudioInputDevice;
using amberlin::DeviceManager;
using platform::AudioCall;
using platform::Fault;
using platform::SimulatedDeviceConfig;

const std::string kVirtualUID(DeviceManager::virtualDeviceUID);

// Installs a fresh simulated system for each test; devices are added by the test.
class DeviceManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        system_ = platform::SimulatedAudioSystem::create();
        scope_ = std::make_unique<platform::ScopedAudioSystem>(system_);
    }

    void addInput(AudioObjectID id, std::optional<std::string> uid, std::optional<std::string> name,
                  UInt32 inputChannels = 1) {
        SimulatedDeviceConfig config;
        config.id = id;
        config.uid = std::move(uid);
        config.name = std::move(name);
        config.inputChannels = inputChannels;
        config.outputChannels = inputChannels == 0 ? 2 : 0;
        ASSERT_NE(system_->addDevice(config), nullptr);
    }

    std::vector<std::string> listedNames() const {
        std::vector<std::string> names;
        for (const auto& device : manager_.listInputDevices()) {
            names.push_back(device.name);
        }
        return names;
    }

    std::shared_ptr<platform::SimulatedAudioSystem> system_;
    std::unique_ptr<platform::ScopedAudioSystem> scope_;
    DeviceManager manager_;
};

TEST_F(DeviceManagerTest, ListsOnlyDevicesWithInputChannelsAndFillsMissingUIDAndName) {
    // Output-only devices are left out; a missing UID becomes the decimal id and a missing name
    // "Input <id>".
    addInput(10, "speakers", "Speakers", 0);
    addInput(11, std::nullopt, "Nameless UID");
    addInput(12, "usb-mic", std::nullopt);

    const auto devices = manager_.listInputDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0], (AudioInputDevice{12, "usb-mic", "Input 12", false}));
    EXPECT_EQ(devices[1], (AudioInputDevice{11, "11", "Nameless UID", false}));
}

TEST_F(DeviceManagerTest, SortsByNameIgnoringCaseWithTheDefaultFirst) {
    // Three non-default devices in system order zeta, Alpha, beta list alphabetically; making
    // zeta the default moves it to the front. Equal names keep the system order.
    addInput(20, "z", "zeta");
    addInput(21, "a", "Alpha");
    addInput(22, "b", "beta");
    EXPECT_EQ(listedNames(), (std::vector<std::string>{"Alpha", "beta", "zeta"}));

    system_->setDefaultInputDevice(20);
    EXPECT_EQ(listedNames(), (std::vector<std::string>{"zeta", "Alpha", "beta"}));
    EXPECT_TRUE(manager_.listInputDevices()[0].isDefault);

    addInput(23, "b2", "BETA");
    const auto devices = manager_.listInputDevices();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[2].id, 22u);
    EXPECT_EQ(devices[3].id, 23u);
}

TEST_F(DeviceManagerTest, SystemErrorsShrinkTheListInsteadOfFailing) {
    // An unreadable device list gives no devices; an unreadable stream configuration drops that
    // device; an unreadable UID falls back to the id; an unreadable default marks none default.
    addInput(30, "one", "One");
    addInput(31, "two", "Two");
    system_->setDefaultInputDevice(31);

    system_->injectFault({AudioCall::objectGetPropertyDataSize, -50, kAudioObjectSystemObject,
                          kAudioHardwarePropertyDevices, 1});
    EXPECT_TRUE(manager_.listInputDevices().empty());
    system_->injectFault({AudioCall::objectGetPropertyData, -50, kAudioObjectSystemObject,
                          kAudioHardwarePropertyDevices, 1});
    EXPECT_TRUE(manager_.listInputDevices().empty());

    system_->injectFault(
        {AudioCall::objectGetPropertyData, -50, 30u, kAudioDevicePropertyStreamConfiguration, 1});
    EXPECT_EQ(listedNames(), (std::vector<std::string>{"Two"}));

    system_->injectFault(
        {AudioCall::objectGetPropertyData, -50, 31u, kAudioDevicePropertyDeviceUID, 1});
    const auto withoutUID = manager_.listInputDevices();
    ASSERT_EQ(withoutUID.size(), 2u);
    EXPECT_EQ(withoutUID[0].uid, "31");

    system_->injectFault({AudioCall::objectGetPropertyData, -50, kAudioObjectSystemObject,
                          kAudioHardwarePropertyDefaultInputDevice, 1});
    for (const auto& device : manager_.listInputDevices()) {
        EXPECT_FALSE(device.isDefault) << device.name;
    }
}

TEST_F(DeviceManagerTest, ResolvesStoredChoiceThenDefaultThenFirst) {
    // A known UID wins; an unknown UID or none falls back to the default, without a default to
    // the first listed device, and with no device at all to nothing.
    EXPECT_EQ(manager_.resolveInputDevice(std::nullopt), std::nullopt);
    EXPECT_EQ(manager_.resolveInputDevice("anything"), std::nullopt);

    addInput(40, "mic-b", "B mic");
    addInput(41, "mic-a", "A mic");
    EXPECT_EQ(manager_.resolveInputDevice(std::nullopt)->id, 41u);
    EXPECT_EQ(manager_.resolveInputDevice("gone")->id, 41u);

    system_->setDefaultInputDevice(40);
    EXPECT_EQ(manager_.resolveInputDevice("gone")->id, 40u);
    EXPECT_EQ(manager_.resolveInputDevice(std::nullopt)->id, 40u);
    EXPECT_EQ(manager_.resolveInputDevice("mic-a")->id, 41u);
    EXPECT_EQ(manager_.resolveInputDevice("MIC-A")->id, 40u) << "UIDs match case-sensitively";
}

TEST_F(DeviceManagerTest, PhysicalResolutionNeverReturnsTheVirtualMicrophone) {
    // Stored choice of the virtual device counts as none; a virtual default leaves no default,
    // so the alphabetically first physical device is chosen; only the general resolution still
    // offers the virtual device.
    addInput(50, kVirtualUID, "Corvessa Mic");
    EXPECT_EQ(manager_.resolvePhysicalInputDevice(std::nullopt), std::nullopt);
    EXPECT_EQ(manager_.resolveInputDevice(std::nullopt)->id, 50u);

    addInput(51, "zz-mic", "Zoom mic");
    addInput(52, "built-in", "built-in mic");
    system_->setDefaultInputDevice(50);
    EXPECT_EQ(manager_.resolveInputDevice(std::nullopt)->id, 50u);
    EXPECT_EQ(manager_.resolvePhysicalInputDevice(std::nullopt)->id, 52u);
    EXPECT_EQ(manager_.resolvePhysicalInputDevice(kVirtualUID)->id, 52u);

    system_->setDefaultInputDevice(51);
    EXPECT_EQ(manager_.resolvePhysicalInputDevice(kVirtualUID)->id, 51u);
    EXPECT_EQ(manager_.resolvePhysicalInputDevice("built-in")->id, 52u);
}

TEST_F(DeviceManagerTest, VirtualDeviceIsRecognisedByExactUIDNotName) {
    // A device named "Corvessa Mic" with another UID is physical; only the exact UID is virtual.
    addInput(60, "com.halvern.corvessa.mic.device.copy", "Corvessa Mic");
    addInput(61, kVirtualUID, "Renamed");
    system_->setDefaultInputDevice(60);
    EXPECT_FALSE(manager_.isVirtualDeviceDefaultInput());
    EXPECT_EQ(manager_.resolvePhysicalInputDevice(std::nullopt)->id, 60u);

    system_->setDefaultInputDevice(61);
    EXPECT_TRUE(manager_.isVirtualDeviceDefaultInput());

    system_->injectFault(
        {AudioCall::objectGetPropertyData, -50, 61u, kAudioDevicePropertyDeviceUID, 1});
    EXPECT_FALSE(manager_.isVirtualDeviceDefaultInput()) << "an unreadable UID is not virtual";
    system_->setDefaultInputDevice(0);
    EXPECT_FALSE(manager_.isVirtualDeviceDefaultInput());
}

TEST_F(DeviceManagerTest, MovesTheDefaultInputToAPhysicalDevice) {
    // With only the virtual device nothing changes; otherwise the preferred physical device (or
    // the first one) becomes the default; a refused write reports false.
    addInput(70, kVirtualUID, "Corvessa Mic");
    system_->setDefaultInputDevice(70);
    EXPECT_FALSE(manager_.moveDefaultInputToPhysical(std::nullopt));
    EXPECT_EQ(system_->defaultInputDevice(), 70u);

    addInput(71, "b", "B");
    addInput(72, "a", "A");
    EXPECT_TRUE(manager_.moveDefaultInputToPhysical("b"));
    EXPECT_EQ(system_->defaultInputDevice(), 71u);
    EXPECT_FALSE(manager_.isVirtualDeviceDefaultInput());

    system_->setDefaultInputDevice(70);
    EXPECT_TRUE(manager_.moveDefaultInputToPhysical(kVirtualUID));
    EXPECT_EQ(system_->defaultInputDevice(), 72u);

    system_->setDefaultInputDevice(70);
    system_->injectFault({AudioCall::objectSetPropertyData, -50, kAudioObjectSystemObject,
                          kAudioHardwarePropertyDefaultInputDevice, 1});
    EXPECT_FALSE(manager_.moveDefaultInputToPhysical(std::nullopt));
    EXPECT_EQ(system_->defaultInputDevice(), 70u);
}

}  // namespace
