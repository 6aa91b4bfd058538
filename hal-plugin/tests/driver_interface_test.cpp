// The plug-in's entry point, reference counting, exported symbols and the argument checks of
// every driver-interface entry point, on a freshly loaded plug-in that is never initialised
// (so nothing here touches the shared ring).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "FreshPlugin.h"
#include "amberlin/am_hal_plugin.h"
#include "audioserver/PluginHost.h"

namespace {

// Hosts call the factory through the factory type; calling a function through another type is
// undefined behaviour, so the exported declaration must convert to it without a cast.
static_assert(std::is_convertible_v<decltype(&Corvessa_Create), AudioServerPlugInFactoryFunction>);

using corvessa::testing::FreshPluginCopy;

/// A freshly loaded plug-in opened with the loader directly, for the factory and the exports.
class LoadedPlugin : public ::testing::Test {
  protected:
    void SetUp() override {
        library = dlopen(copy.path().c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        factory =
            reinterpret_cast<AudioServerPlugInFactoryFunction>(dlsym(library, "Corvessa_Create"));
        ASSERT_NE(factory, nullptr);
        driver = static_cast<AudioServerPlugInDriverRef>(
            factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID));
        ASSERT_NE(driver, nullptr);
    }
    void TearDown() override {
        if (library != nullptr) {
            dlclose(library);
        }
    }

    HRESULT query(const char* uuidText, LPVOID* out) {
        CFStringRef text = CFStringCreateWithCString(nullptr, uuidText, kCFStringEncodingUTF8);
        CFUUIDRef uuid = CFUUIDCreateFromString(nullptr, text);
        const HRESULT result = (*driver)->QueryInterface(driver, CFUUIDGetUUIDBytes(uuid), out);
        CFRelease(uuid);
        CFRelease(text);
        return result;
    }

    FreshPluginCopy copy{HAL_PLUGIN_PATH};
    void* library = nullptr;
    AudioServerPlugInFactoryFunction factory = nullptr;
    AudioServerPlugInDriverRef driver = nullptr;
};

TEST_F(LoadedPlugin, FactoryServesOnlyThePlugInType) {
    CFStringRef text = CFStringCreateWithCString(nullptr, "EEA5773D-CC43-49F1-8E00-8F96E7D23B17",
                                                 kCFStringEncodingUTF8);
    CFUUIDRef other = CFUUIDCreateFromString(nullptr, text);
    EXPECT_EQ(factory(nullptr, other), nullptr);
    EXPECT_EQ(factory(nullptr, nullptr), nullptr);
    EXPECT_EQ(factory(nullptr, kAudioServerPlugInTypeUUID), driver);
    CFRelease(other);
    CFRelease(text);
}

TEST_F(LoadedPlugin, DriverTableHasTheReservedSlotAndEveryEntry) {
    const auto* entries = reinterpret_cast<void* const*>(*driver);
    EXPECT_EQ(entries[0], nullptr);
    for (int i = 1; i < 23; ++i) {
        EXPECT_NE(entries[i], nullptr) << "entry " << i;
    }
}

TEST_F(LoadedPlugin, QueryInterfaceCountsReferencesOnlyForServedInterfaces) {
    LPVOID out = nullptr;
    EXPECT_EQ(query("00000000-0000-0000-C000-000000000046", &out), 0);
    EXPECT_EQ(out, driver);
    EXPECT_EQ(query("EEA5773D-CC43-49F1-8E00-8F96E7D23B17", &out), 0);
    EXPECT_EQ(out, driver);
    out = driver;
    EXPECT_EQ(query("443ABAB8-E7B3-491A-B985-BEB9187030DB", &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(query("00000000-0000-0000-C000-000000000046", nullptr), kAudioHardwareBadObjectError);
    void* foreign = &out;
    EXPECT_EQ((*driver)->QueryInterface(foreign, CFUUIDGetUUIDBytes(IUnknownUUID), &out),
              kAudioHardwareBadObjectError);
    // 1 at load, +2 for the two served queries, +1 now.
    EXPECT_EQ((*driver)->AddRef(driver), 4u);
}

TEST_F(LoadedPlugin, ReleaseStopsAtZeroAndForeignPointersCountNothing) {
    EXPECT_EQ((*driver)->AddRef(driver), 2u);
    EXPECT_EQ((*driver)->Release(driver), 1u);
    EXPECT_EQ((*driver)->Release(driver), 0u);
    EXPECT_EQ((*driver)->Release(driver), 0u);
    int notTheDriver = 0;
    EXPECT_EQ((*driver)->AddRef(&notTheDriver), 0u);
    EXPECT_EQ((*driver)->Release(&notTheDriver), 0u);
    EXPECT_EQ((*driver)->AddRef(driver), 1u);
}

TEST_F(LoadedPlugin, ExportsOnlyTheFactoryInformationAndRingFunctions) {
    for (const char* name :
         {"Corvessa_Create", "am_hal_virtual_device_name", "am_hal_nominal_sample_rate",
          "am_hal_nominal_frame_length", "am_hal_reads_silence_without_producer",
          "am_shared_ring_open", "am_shared_ring_read_latest", "am_shared_ring_default_name",
          "am_ring_buffer_create"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    for (const char* name : {"Amberlin_Initialize", "gDriverInterface", "CFRelease",
                             "CFStringCreateWithCString", "_ZN8corvessa3hal9readInputEPfj"}) {
        EXPECT_EQ(dlsym(library, name), nullptr) << name;
    }
}

TEST_F(LoadedPlugin, InformationFunctionsStateTheDeviceContract) {
    auto name = reinterpret_cast<const char* (*)()>(dlsym(library, "am_hal_virtual_device_name"));
    auto rate = reinterpret_cast<int32_t (*)()>(dlsym(library, "am_hal_nominal_sample_rate"));
    auto length = reinterpret_cast<int32_t (*)()>(dlsym(library, "am_hal_nominal_frame_length"));
    auto silence =
        reinterpret_cast<int32_t (*)()>(dlsym(library, "am_hal_reads_silence_without_producer"));
    ASSERT_TRUE(name && rate && length && silence);
    EXPECT_STREQ(name(), "Corvessa Mic");
    EXPECT_EQ(rate(), 48000);
    EXPECT_EQ(length(), 480);
    EXPECT_EQ(silence(), 1);
}

TEST_F(LoadedPlugin, EveryEntryPointRefusesAForeignDriver) {
    int other = 0;
    auto* foreign = reinterpret_cast<AudioServerPlugInDriverRef>(&other);
    const AudioServerPlugInDriverInterface& d = **driver;
    const AudioObjectPropertyAddress address{platform::fourCC("lnam"), 0, 0};
    Float64 sampleTime = 0;
    UInt64 hostTime = 0, seed = 0;
    Boolean flag = 0;
    UInt32 size = 0, device = 0;
    float buffer[4] = {};
    EXPECT_EQ(d.Initialize(foreign, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.CreateDevice(foreign, nullptr, nullptr, &device), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.DestroyDevice(foreign, 2), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.AddDeviceClient(foreign, 2, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.RemoveDeviceClient(foreign, 2, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.PerformDeviceConfigurationChange(foreign, 2, 0, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(d.AbortDeviceConfigurationChange(foreign, 2, 0, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_FALSE(d.HasProperty(foreign, 1, 0, &address));
    EXPECT_EQ(d.IsPropertySettable(foreign, 1, 0, &address, &flag), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.GetPropertyDataSize(foreign, 1, 0, &address, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(d.GetPropertyData(foreign, 1, 0, &address, 0, nullptr, 8, &size, buffer),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(d.SetPropertyData(foreign, 1, 0, &address, 0, nullptr, 0, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(d.StartIO(foreign, 2, 0), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.StopIO(foreign, 2, 0), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.GetZeroTimeStamp(foreign, 2, 0, &sampleTime, &hostTime, &seed),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(d.WillDoIOOperation(foreign, 2, 0, 0, &flag, &flag), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.BeginIOOperation(foreign, 2, 0, 0, 4, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(d.DoIOOperation(foreign, 2, 3, 0, kAudioServerPlugInIOOperationReadInput, 4, nullptr,
                              buffer, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(d.EndIOOperation(foreign, 2, 0, 0, 4, nullptr), kAudioHardwareBadObjectError);
    EXPECT_EQ(device, 0u);
}

TEST_F(LoadedPlugin, DeviceManagementAcceptsOnlyTheDevice) {
    const AudioServerPlugInDriverInterface& d = **driver;
    AudioObjectID created = 0;
    EXPECT_EQ(d.CreateDevice(driver, nullptr, nullptr, &created), 0);
    EXPECT_EQ(created, 2u);
    EXPECT_EQ(d.CreateDevice(driver, nullptr, nullptr, nullptr), 0);
    for (AudioObjectID object : {1u, 2u, 3u}) {
        const OSStatus expected = object == 2 ? 0 : kAudioHardwareBadObjectError;
        SCOPED_TRACE(object);
        EXPECT_EQ(d.DestroyDevice(driver, object), expected);
        EXPECT_EQ(d.AddDeviceClient(driver, object, nullptr), expected);
        EXPECT_EQ(d.RemoveDeviceClient(driver, object, nullptr), expected);
        EXPECT_EQ(d.PerformDeviceConfigurationChange(driver, object, 1, nullptr), expected);
        EXPECT_EQ(d.AbortDeviceConfigurationChange(driver, object, 1, nullptr), expected);
        EXPECT_EQ(d.StartIO(driver, object == 2 ? 99 : object, 0), kAudioHardwareBadObjectError);
    }
}

TEST_F(LoadedPlugin, IOEntryPointsCheckTheirArguments) {
    const AudioServerPlugInDriverInterface& d = **driver;
    const UInt32 read = kAudioServerPlugInIOOperationReadInput;
    std::array<float, 8> buffer;
    buffer.fill(NAN);
    UInt64 hostTime = 0, seed = 0;
    Float64 sampleTime = 0;
    EXPECT_EQ(d.GetZeroTimeStamp(driver, 2, 0, nullptr, &hostTime, &seed),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(d.GetZeroTimeStamp(driver, 2, 0, &sampleTime, nullptr, &seed),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(d.GetZeroTimeStamp(driver, 2, 0, &sampleTime, &hostTime, nullptr),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(d.DoIOOperation(driver, 2, 2, 0, read, 8, nullptr, buffer.data(), nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(d.DoIOOperation(driver, 3, 3, 0, read, 8, nullptr, buffer.data(), nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(d.DoIOOperation(driver, 2, 3, 0, read, 8, nullptr, nullptr, nullptr),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(d.DoIOOperation(driver, 2, 3, 0, platform::fourCC("writ"), 8, nullptr, buffer.data(),
                              nullptr),
              0);
    EXPECT_EQ(d.DoIOOperation(driver, 2, 3, 0, read, 0, nullptr, buffer.data(), nullptr), 0);
    EXPECT_TRUE(std::isnan(buffer[0])) << "no operation may have touched the buffer";
    EXPECT_EQ(d.BeginIOOperation(driver, 2, 0, read, 8, nullptr), 0);
    EXPECT_EQ(d.EndIOOperation(driver, 2, 0, read, 8, nullptr), 0);
}

TEST_F(LoadedPlugin, WillDoOnlyTheReadOperationAlwaysInPlace) {
    for (UInt32 operation :
         {platform::fourCC("read"), platform::fourCC("writ"), platform::fourCC("cnvi"), 0u}) {
        Boolean willDo = 7, inPlace = 7;
        EXPECT_EQ((*driver)->WillDoIOOperation(driver, 2, 0, operation, &willDo, &inPlace), 0);
        EXPECT_EQ(willDo, operation == kAudioServerPlugInIOOperationReadInput ? 1 : 0);
        EXPECT_EQ(inPlace, 1);
    }
    EXPECT_EQ((*driver)->WillDoIOOperation(driver, 2, 0, 0, nullptr, nullptr), 0);
}

TEST_F(LoadedPlugin, BeforeInitializeTheClockIsIdleAndInputIsSilent) {
    // No reset has anchored the clock yet: the time stamp is the load-time state, returned at
    // once (not a catch-up over a zero-length period), and with no ring the input is silence.
    Float64 sampleTime = -1;
    UInt64 hostTime = 99, seed = 0;
    EXPECT_EQ((*driver)->GetZeroTimeStamp(driver, 2, 0, &sampleTime, &hostTime, &seed), 0);
    EXPECT_EQ(sampleTime, 0.0);
    EXPECT_EQ(hostTime, 0u);
    EXPECT_EQ(seed, 1u);
    std::array<float, 700> buffer;
    buffer.fill(NAN);
    EXPECT_EQ((*driver)->DoIOOperation(driver, 2, 3, 0, kAudioServerPlugInIOOperationReadInput, 700,
                                       nullptr, buffer.data(), nullptr),
              0);
    for (float sample : buffer) {
        ASSERT_EQ(sample, 0.0f);
    }
}

}  // namespace
