// Loading plug-ins: each failure step yields its own error, a successful load walks the object
// tree, and the host gives back every interface reference it took.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>

#include "FreshPlugin.h"
#include "audioserver/PluginHost.h"
#include "audioserver/PluginLoadError.h"
#include "platform/AudioObjectProperties.h"

namespace {

using audioserver::PluginHost;
using audioserver::PluginLoadError;
using Reason = PluginLoadError::Reason;
using corvessa::testing::FreshPluginCopy;

/// The error a load throws (fails the test when it does not throw one).
PluginLoadError loadError(const std::filesystem::path& object,
                          const std::optional<std::filesystem::path>& plist = std::nullopt) {
    try {
        PluginHost host(object, plist);
    } catch (const PluginLoadError& error) {
        return error;
    }
    ADD_FAILURE() << "the load succeeded";
    return PluginLoadError(Reason::cannotOpen, "");
}

/// Writes an Info.plist that maps the plug-in type to a factory with the given function name.
std::filesystem::path writeBundle(const std::filesystem::path& directory, const char* function) {
    const std::filesystem::path path = directory / "Info.plist";
    std::ofstream(path) << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFPlugInFactories</key><dict>
<key>11111111-2222-3333-4444-555555555555</key><string>)"
                        << function << R"(</string></dict>
<key>CFPlugInTypes</key><dict>
<key>443ABAB8-E7B3-491A-B985-BEB9187030DB</key>
<array><string>11111111-2222-3333-4444-555555555555</string></array></dict>
</dict></plist>)";
    return path;
}

TEST(PluginHostLoad, AnUnloadableObjectIsCannotOpen) {
    const PluginLoadError error = loadError("/nonexistent/libNothing.so");
    EXPECT_EQ(error.reason(), Reason::cannotOpen);
    EXPECT_STREQ(error.what(), "cannotOpen");
    EXPECT_NE(error.detail().find("libNothing.so"), std::string::npos);
}

TEST(PluginHostLoad, AnObjectWithoutTheFactoryIsFactoryMissing) {
    const PluginLoadError error = loadError(HOSTCLOCK_PATH);
    EXPECT_EQ(error, PluginLoadError(Reason::factoryMissing, "Corvessa_Create"));
}

TEST(PluginHostLoad, AFactoryThatRefusesThePlugInTypeIsFactoryRefused) {
    FreshPluginCopy fake(FAKE_PLUGIN_PATH);
    const auto plist = writeBundle(fake.directory(), "Fake_CreateRefusing");
    EXPECT_EQ(loadError(fake.path(), plist),
              PluginLoadError(Reason::factoryRefused, "Fake_CreateRefusing"));
}

TEST(PluginHostLoad, AnObjectWithoutTheDriverInterfaceIsReleasedAndReported) {
    FreshPluginCopy fake(FAKE_PLUGIN_PATH);
    void* kept = dlopen(fake.path().c_str(), RTLD_NOW);  // keeps the fake's counter alive
    ASSERT_NE(kept, nullptr);
    auto references = reinterpret_cast<ULONG (*)()>(dlsym(kept, "Fake_References"));
    const auto plist = writeBundle(fake.directory(), "Fake_CreateWithoutInterfaces");
    const PluginLoadError error = loadError(fake.path(), plist);
    EXPECT_EQ(error.reason(), Reason::interfaceUnavailable);
    EXPECT_EQ(error.status(), E_NOINTERFACE);
    EXPECT_EQ(references(), 0u) << "the factory's reference was given back";
    dlclose(kept);
}

TEST(PluginHostLoad, TheHostGivesBackEveryReferenceItTook) {
    FreshPluginCopy copy(HAL_PLUGIN_PATH);
    void* kept = dlopen(copy.path().c_str(), RTLD_NOW);  // keeps the plug-in's globals alive
    ASSERT_NE(kept, nullptr);
    AudioServerPlugInDriverRef driver = nullptr;
    {
        PluginHost host(copy.path());
        driver = host.driver();
        EXPECT_EQ((*driver)->AddRef(driver), 2u) << "the host holds exactly one reference";
        EXPECT_EQ((*driver)->Release(driver), 1u);
    }
    EXPECT_EQ((*driver)->AddRef(driver), 1u) << "the host released its reference";
    dlclose(kept);
}

TEST(PluginHostTree, ListsTheDeviceWithItsInputStream) {
    FreshPluginCopy copy(HAL_PLUGIN_PATH);
    PluginHost host(copy.path(), HAL_PLUGIN_INFO_PLIST);
    const std::vector<audioserver::HostedDevice> devices = host.devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].id(), 2u);
    EXPECT_EQ(devices[0].inputStream(), 3u);
    EXPECT_EQ(devices[0].willReadInput(), true);

    const auto found = host.deviceWithUID("com.halvern.corvessa.mic.device");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->id(), 2u);
    EXPECT_FALSE(host.deviceWithUID("com.halvern.corvessa.mic.model").has_value());
    EXPECT_EQ(host.properties().string(2, audioserver::propertyAddress(kAudioObjectPropertyName)),
              "Corvessa Mic");
}

TEST(PluginHostTree, TypedReadersRejectValuesOfTheWrongSize) {
    FreshPluginCopy copy(HAL_PLUGIN_PATH);
    PluginHost host(copy.path());
    const audioserver::PropertyReader reader = host.properties();
    const auto rate = audioserver::propertyAddress(kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(reader.u32(2, rate), std::unexpected(kAudioHardwareBadPropertySizeError));
    EXPECT_EQ(reader.f64(2, rate), 48'000.0);
    EXPECT_EQ(reader.valueRanges(2, rate), std::unexpected(kAudioHardwareBadPropertySizeError))
        << "8 bytes are not a whole range";
    EXPECT_EQ(reader
                  .rangedFormats(
                      3, audioserver::propertyAddress(kAudioStreamPropertyAvailableVirtualFormats))
                  ->size(),
              1u);
}

}  // namespace
