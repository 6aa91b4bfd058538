// Devices and their properties read and written through the AudioObject* calls on a scripted
// simulated system, with the status codes callers branch on and injected faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/SimulatedAudioSystem.h"

namespace {

using namespace platform;

constexpr AudioObjectPropertyAddress address(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <typename T>
OSStatus read(AudioObjectID object, AudioObjectPropertyAddress where, T& value) {
    UInt32 size = sizeof(T);
    return AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
}

template <typename T>
OSStatus write(AudioObjectID object, AudioObjectPropertyAddress where, const T& value) {
    return AudioObjectSetPropertyData(object, &where, 0, nullptr, sizeof(T), &value);
}

/// Reads a string property and returns its text ("" when the read fails).
std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    CFStringRef string = nullptr;
    if (read(object, address(selector), string) != kAudioHardwareNoError || string == nullptr) {
        return "";
    }
    EXPECT_EQ(CFGetRetainCount(string), 1) << "the caller owns the only reference";
    std::string text = CFStringGetCStringPtr(string, kCFStringEncodingUTF8);
    CFRelease(string);
    return text;
}

class AudioHardwareTest : public ::testing::Test {
  protected:
    void SetUp() override {
        system_->addDevice({.id = 40,
                            .uid = "usb-mic",
                            .name = "USB Mic",
                            .inputChannels = 2,
                            .nominalSampleRate = 44'100.0,
                            .availableSampleRates = {44'100.0, 48'000.0}});
        system_->addDevice({.id = 17,
                            .uid = "speaker",
                            .name = "Speaker",
                            .inputChannels = 0,
                            .outputChannels = 2});
        system_->addDevice({.id = 23, .uid = std::nullopt, .name = std::nullopt});
        system_->setDefaultInputDevice(40);
    }

    std::shared_ptr<SimulatedAudioSystem> system_ = SimulatedAudioSystem::create();
    ScopedAudioSystem installed_{system_};
};

TEST_F(AudioHardwareTest, ListsDevicesInTheOrderAddedAndCutsListsToWholeItems) {
    // The device list keeps the system's order and a short buffer receives whole ids only.
    const auto devices = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    ASSERT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
              kAudioHardwareNoError);
    ASSERT_EQ(size, 12u);
    std::vector<AudioObjectID> ids(3, 0);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size,
                                         ids.data()),
              kAudioHardwareNoError);
    EXPECT_EQ(ids, (std::vector<AudioObjectID>{40, 17, 23}));

    size = 7;  // room for one id and three stray bytes
    ids.assign(3, 0);
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size,
                                         ids.data()),
              kAudioHardwareNoError);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ids, (std::vector<AudioObjectID>{40, 0, 0}));

    system_->removeDevice(40);
    AudioObjectID defaultInput = 99;
    EXPECT_EQ(read(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice),
                   defaultInput),
              kAudioHardwareNoError);
    EXPECT_EQ(defaultInput, kAudioObjectUnknown) << "removing the default clears it";
}

TEST_F(AudioHardwareTest, DefaultInputAcceptsOnlyDevicesThatRecord) {
    // Writing the default input checks size and capability and is visible to the next read.
    system_->addDevice({.id = 41, .uid = "b", .name = "Second Mic"});
    const auto defaultInput = address(kAudioHardwarePropertyDefaultInputDevice);
    EXPECT_EQ(write(kAudioObjectSystemObject, defaultInput, AudioObjectID{41}),
              kAudioHardwareNoError);
    AudioObjectID now = 0;
    ASSERT_EQ(read(kAudioObjectSystemObject, defaultInput, now), kAudioHardwareNoError);
    EXPECT_EQ(now, 41u);

    EXPECT_EQ(write(kAudioObjectSystemObject, defaultInput, AudioObjectID{17}),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(write(kAudioObjectSystemObject, defaultInput, AudioObjectID{77}),
              kAudioHardwareBadDeviceError);
    EXPECT_EQ(write(kAudioObjectSystemObject, defaultInput, UInt64{40}),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(write(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice),
                    AudioObjectID{17}),
              kAudioHardwareNoError);
    ASSERT_EQ(read(kAudioObjectSystemObject, defaultInput, now), kAudioHardwareNoError);
    EXPECT_EQ(now, 41u);
}

TEST_F(AudioHardwareTest, StreamConfigurationTellsInputDevicesFromOutputOnlyOnes) {
    // 'slay' in the input scope has the input channels; an output-only device shows zero.
    const auto input =
        address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    UInt32 size = 0;
    ASSERT_EQ(AudioObjectGetPropertyDataSize(40, &input, 0, nullptr, &size), kAudioHardwareNoError);
    ASSERT_EQ(size, sizeof(AudioBufferList));
    AudioBufferList list{};
    ASSERT_EQ(read(40, input, list), kAudioHardwareNoError);
    EXPECT_EQ(list.mNumberBuffers, 1u);
    EXPECT_EQ(list.mBuffers[0].mNumberChannels, 2u);
    ASSERT_EQ(read(17, input, list), kAudioHardwareNoError);
    EXPECT_EQ(list.mBuffers[0].mNumberChannels, 0u);
    ASSERT_EQ(
        read(17, address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput),
             list),
        kAudioHardwareNoError);
    EXPECT_EQ(list.mBuffers[0].mNumberChannels, 2u);
}

TEST_F(AudioHardwareTest, UidAndNameAreNewStringsOrAbsent) {
    // Strings come back as owned references; a device configured without them has neither.
    EXPECT_EQ(readString(40, kAudioDevicePropertyDeviceUID), "usb-mic");
    EXPECT_EQ(readString(40, kAudioObjectPropertyName), "USB Mic");
    const auto uid = address(kAudioDevicePropertyDeviceUID);
    EXPECT_FALSE(AudioObjectHasProperty(23, &uid));
    EXPECT_TRUE(AudioObjectHasProperty(40, &uid));
    CFStringRef string = nullptr;
    EXPECT_EQ(read(23, uid, string), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(string, nullptr);
}

TEST_F(AudioHardwareTest, BufferFrameSizeAndRateAreSettableWithinTheirRanges) {
    // 'fsiz' accepts values inside 'fsz#' only; 'nsrt' accepts the rates of 'nsr#' only.
    AudioValueRange range{};
    ASSERT_EQ(read(40, address(kAudioDevicePropertyBufferFrameSizeRange), range),
              kAudioHardwareNoError);
    EXPECT_EQ(range.mMinimum, 16.0);
    EXPECT_EQ(range.mMaximum, 4096.0);
    const auto frameSize = address(kAudioDevicePropertyBufferFrameSize);
    EXPECT_EQ(write(40, frameSize, UInt32{128}), kAudioHardwareNoError);
    EXPECT_NE(write(40, frameSize, UInt32{8}), kAudioHardwareNoError);
    EXPECT_NE(write(40, frameSize, UInt32{8192}), kAudioHardwareNoError);
    UInt32 frames = 0;
    ASSERT_EQ(read(40, frameSize, frames), kAudioHardwareNoError);
    EXPECT_EQ(frames, 128u);

    const auto rate = address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(write(40, rate, Float64{48'000.0}), kAudioHardwareNoError);
    EXPECT_EQ(write(40, rate, Float64{22'050.0}), kAudioDeviceUnsupportedFormatError);
    Float64 hz = 0;
    ASSERT_EQ(read(40, rate, hz), kAudioHardwareNoError);
    EXPECT_EQ(hz, 48'000.0);
}

TEST_F(AudioHardwareTest, BadRequestsGetTheirOwnStatusCodes) {
    // Unknown objects, unknown properties, short buffers and null pointers are told apart.
    UInt32 value = 0;
    EXPECT_EQ(read(99, address(kAudioDevicePropertyBufferFrameSize), value),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(read(40, address(platform::fourCC("zzzz")), value),
              kAudioHardwareUnknownPropertyError);
    Float64 rate = 0;
    UInt32 shortSize = 7;
    const auto nominal = address(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(AudioObjectGetPropertyData(40, &nominal, 0, nullptr, &shortSize, &rate),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(AudioObjectGetPropertyData(40, nullptr, 0, nullptr, &shortSize, &rate),
              kAudio_ParamError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(40, &nominal, 0, nullptr, nullptr), kAudio_ParamError);
    EXPECT_EQ(write(40, address(kAudioDevicePropertyDeviceUID), value),
              kAudioHardwareIllegalOperationError);
    EXPECT_FALSE(AudioObjectHasProperty(40, nullptr));
}

TEST_F(AudioHardwareTest, InjectedFaultsHitOnlyTheChosenObjectPropertyAndCount) {
    // A UID made unreadable once fails for that device only, then reads again.
    system_->injectFault({.call = AudioCall::objectGetPropertyData,
                          .status = kAudioHardwareUnspecifiedError,
                          .object = 40,
                          .selector = kAudioDevicePropertyDeviceUID,
                          .count = 1});
    system_->addDevice({.id = 41, .uid = "other", .name = "Other"});
    EXPECT_EQ(readString(41, kAudioDevicePropertyDeviceUID), "other");
    EXPECT_EQ(readString(40, kAudioObjectPropertyName), "USB Mic");
    EXPECT_EQ(readString(40, kAudioDevicePropertyDeviceUID), "");
    EXPECT_EQ(readString(40, kAudioDevicePropertyDeviceUID), "usb-mic");

    system_->injectFault({.call = AudioCall::objectGetPropertyDataSize, .status = -1});
    const auto devices = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
              -1);
    system_->clearFaults();
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
              kAudioHardwareNoError);
}

TEST(AudioSystemInstallation, ProgramsWithoutASystemSeeNoDevices) {
    // With nothing installed the calls answer from an empty system instead of failing.
    const auto previous = installAudioSystem(nullptr);
    const auto devices = address(kAudioHardwarePropertyDevices);
    UInt32 size = 99;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size),
              kAudioHardwareNoError);
    EXPECT_EQ(size, 0u);
    AudioObjectID defaultInput = 99;
    EXPECT_EQ(read(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultInputDevice),
                   defaultInput),
              kAudioHardwareNoError);
    EXPECT_EQ(defaultInput, kAudioObjectUnknown);
    installAudioSystem(previous);
}

}  // namespace
