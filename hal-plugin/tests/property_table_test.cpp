// The plug-in's property protocol, read through the driver interface as the audio server reads
// it: every property of every object (existence, settability, size, value), the scope rules,
// the qualifier filters and the status codes of malformed requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "FreshPlugin.h"
#include "audioserver/PluginHost.h"
#include "platform/AudioObjectProperties.h"

namespace {

using audioserver::propertyAddress;
using Bytes = std::vector<std::byte>;
using platform::fourCC;

template <typename T>
Bytes bytesOf(const T& value) {
    Bytes bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

Bytes idList(std::initializer_list<UInt32> ids) {
    Bytes bytes(ids.size() * sizeof(UInt32));
    std::memcpy(bytes.data(), std::data(ids), bytes.size());
    return bytes;
}

constexpr AudioStreamBasicDescription kFormat{48'000.0, kAudioFormatLinearPCM, 9, 4, 1, 4, 1, 32,
                                              0};
constexpr AudioStreamRangedDescription kRanged{kFormat, {48'000.0, 48'000.0}};

AudioBufferList streamConfiguration(UInt32 channels) {
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = AudioBuffer{channels, 0, nullptr};
    return list;
}

/// One expected answer: the object, the property address and the value (text or raw bytes).
struct Row {
    AudioObjectID object;
    AudioObjectPropertySelector selector;
    std::variant<std::string, Bytes> value;
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal;
};

std::vector<Row> commonRows(AudioObjectID object, AudioClassID cls, AudioClassID base,
                            AudioObjectID owner, const std::string& name, Bytes owned) {
    return {
        {object, kAudioObjectPropertyBaseClass, bytesOf(base)},
        {object, kAudioObjectPropertyClass, bytesOf(cls)},
        {object, kAudioObjectPropertyOwner, bytesOf(owner)},
        {object, kAudioObjectPropertyName, name},
        {object, kAudioObjectPropertyManufacturer, std::string("Halvern Labs")},
        {object, kAudioObjectPropertyModelName, std::string("Corvessa Virtual Microphone")},
        {object, kAudioObjectPropertyElementName, std::string("Corvessa Mic")},
        {object, kAudioObjectPropertyElementCategoryName, std::string("Input")},
        {object, kAudioObjectPropertyElementNumberName, std::string("1")},
        {object, kAudioObjectPropertyOwnedObjects, std::move(owned)},
        {object, kAudioObjectPropertyCustomPropertyInfoList, Bytes{}},
    };
}

/// Every property of every object in the global scope, plus the scope-dependent answers.
std::vector<Row> expectedTable() {
    std::vector<Row> rows =
        commonRows(1, kAudioPlugInClassID, kAudioPlugInClassID, 0, "Corvessa Mic", idList({2}));
    const auto append = [&rows](std::vector<Row> more) {
        rows.insert(rows.end(), more.begin(), more.end());
    };
    append(commonRows(2, kAudioDeviceClassID, kAudioObjectClassID, 1, "Corvessa Mic", idList({3})));
    append(commonRows(3, kAudioStreamClassID, kAudioObjectClassID, 2, "Corvessa Mic Stream", {}));
    append({
        {1, kAudioPlugInPropertyDeviceList, idList({2})},
        {1, kAudioPlugInPropertyBoxList, Bytes{}},
        {1, kAudioPlugInPropertyClockDeviceList, Bytes{}},
        {1, kAudioPlugInPropertyTranslateUIDToDevice, idList({0})},
        {1, kAudioPlugInPropertyBundleID, std::string("com.halvern.corvessa.driver")},
        {1, kAudioPlugInPropertyResourceBundle, std::string("com.halvern.corvessa.driver")},
        {2, kAudioDevicePropertyDeviceUID, std::string("com.halvern.corvessa.mic.device")},
        {2, kAudioDevicePropertyModelUID, std::string("com.halvern.corvessa.mic.model")},
        {2, kAudioDevicePropertyTransportType, idList({fourCC("virt")})},
        {2, kAudioDevicePropertyRelatedDevices, idList({2})},
        {2, kAudioDevicePropertyClockDomain, idList({0})},
        {2, kAudioDevicePropertyDeviceIsAlive, idList({1})},
        {2, kAudioDevicePropertyDeviceIsRunning, idList({0})},
        {2, kAudioDevicePropertyDeviceCanBeDefaultDevice, idList({0})},
        {2, kAudioDevicePropertyDeviceCanBeDefaultDevice, idList({1}),
         kAudioObjectPropertyScopeInput},
        {2, kAudioDevicePropertyDeviceCanBeDefaultDevice, idList({0}),
         kAudioObjectPropertyScopeOutput},
        {2, kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, idList({0})},
        {2, kAudioDevicePropertyLatency, idList({0})},
        {2, kAudioDevicePropertySafetyOffset, idList({0})},
        {2, kAudioDevicePropertyStreams, Bytes{}},
        {2, kAudioDevicePropertyStreams, idList({3}), kAudioObjectPropertyScopeInput},
        {2, kAudioDevicePropertyStreams, Bytes{}, kAudioObjectPropertyScopeOutput},
        {2, kAudioObjectPropertyControlList, Bytes{}},
        {2, kAudioDevicePropertyNominalSampleRate, bytesOf(48'000.0)},
        {2, kAudioDevicePropertyNominalSampleRate, bytesOf(48'000.0),
         kAudioObjectPropertyScopeOutput},
        {2, kAudioDevicePropertyAvailableNominalSampleRates,
         bytesOf(AudioValueRange{48'000.0, 48'000.0})},
        {2, kAudioDevicePropertyActualSampleRate, bytesOf(48'000.0)},
        {2, kAudioDevicePropertyBufferFrameSize, idList({480})},
        {2, kAudioDevicePropertyBufferFrameSizeRange, bytesOf(AudioValueRange{480.0, 480.0})},
        {2, kAudioDevicePropertyUsesVariableBufferFrameSizes, idList({0})},
        {2, kAudioDevicePropertyZeroTimeStampPeriod, idList({16'384})},
        {2, kAudioDevicePropertyIsHidden, idList({0})},
        {2, kAudioDevicePropertyHogMode, bytesOf(SInt32{-1})},
        {2, kAudioDevicePropertyProcessMute, idList({0})},
        {2, kAudioDevicePropertyPreferredChannelsForStereo, idList({1, 1})},
        {2, kAudioDevicePropertyStreamConfiguration, bytesOf(streamConfiguration(0))},
        {2, kAudioDevicePropertyStreamConfiguration, bytesOf(streamConfiguration(1)),
         kAudioObjectPropertyScopeInput},
        {3, kAudioStreamPropertyLatency, idList({0})},
        {3, kAudioStreamPropertyIsActive, idList({1})},
        {3, kAudioStreamPropertyDirection, idList({1})},
        {3, kAudioStreamPropertyTerminalType, idList({fourCC("micr")})},
        {3, kAudioStreamPropertyStartingChannel, idList({1})},
        {3, kAudioStreamPropertyVirtualFormat, bytesOf(kFormat)},
        {3, kAudioStreamPropertyPhysicalFormat, bytesOf(kFormat)},
        {3, kAudioStreamPropertyAvailableVirtualFormats, bytesOf(kRanged)},
        {3, kAudioStreamPropertyAvailablePhysicalFormats, bytesOf(kRanged)},
    });
    return rows;
}

std::string describe(const Row& row) {
    const auto code = [](UInt32 c) {
        return std::string{static_cast<char>(c >> 24), static_cast<char>(c >> 16),
                           static_cast<char>(c >> 8), static_cast<char>(c)};
    };
    return "object " + std::to_string(row.object) + " '" + code(row.selector) + "' scope '" +
           code(row.scope) + "'";
}

class PropertyTable : public ::testing::Test {
  protected:
    /// GetPropertyData with an explicit buffer, returning the status.
    OSStatus getData(AudioObjectID object, AudioObjectPropertySelector selector, UInt32 size,
                     UInt32* outSize, void* outData, UInt32 qualifierSize = 0,
                     const void* qualifier = nullptr) {
        const AudioObjectPropertyAddress address = propertyAddress(selector);
        return (*driver)->GetPropertyData(driver, object, 0, &address, qualifierSize, qualifier,
                                          size, outSize, outData);
    }

    corvessa::testing::FreshPluginCopy copy{HAL_PLUGIN_PATH};
    audioserver::PluginHost host{copy.path()};
    audioserver::PropertyReader reader = host.properties();
    AudioServerPlugInDriverRef driver = host.driver();
};

TEST_F(PropertyTable, EveryPropertyHasItsSizeAndValueAndIsReadOnly) {
    for (const Row& row : expectedTable()) {
        SCOPED_TRACE(describe(row));
        const auto address = propertyAddress(row.selector, row.scope);
        EXPECT_TRUE(reader.has(row.object, address));
        EXPECT_EQ(reader.isSettable(row.object, address), false);
        if (const auto* text = std::get_if<std::string>(&row.value)) {
            EXPECT_EQ(reader.dataSize(row.object, address), 8u);
            EXPECT_EQ(reader.string(row.object, address), *text);
        } else {
            const Bytes& expected = std::get<Bytes>(row.value);
            EXPECT_EQ(reader.dataSize(row.object, address), expected.size());
            EXPECT_EQ(reader.data(row.object, address), expected);
        }
    }
}

TEST_F(PropertyTable, ObjectsHaveExactlyTheirOwnSelectorsInEveryScope) {
    const std::vector<Row> rows = expectedTable();
    std::vector<AudioObjectPropertySelector> selectors;
    for (const Row& row : rows) {
        selectors.push_back(row.selector);
    }
    const auto listed = [&rows](AudioObjectID object, AudioObjectPropertySelector selector) {
        return std::any_of(rows.begin(), rows.end(), [&](const Row& row) {
            return row.object == object && row.selector == selector;
        });
    };
    for (AudioObjectID object : {0u, 1u, 2u, 3u, 4u}) {
        for (AudioObjectPropertySelector selector : selectors) {
            for (auto scope : {kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyScopeInput,
                               kAudioObjectPropertyScopeOutput}) {
                SCOPED_TRACE(describe({object, selector, Bytes{}, scope}));
                const auto address = propertyAddress(selector, scope, 7);
                EXPECT_EQ(reader.has(object, address), listed(object, selector));
            }
        }
    }
}

TEST_F(PropertyTable, AbsentPropertiesAndUnknownObjectsAreRefused) {
    const auto name = propertyAddress(kAudioObjectPropertyName);
    const auto uid = propertyAddress(kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(reader.isSettable(4, name), std::unexpected(kAudioHardwareBadObjectError));
    EXPECT_EQ(reader.isSettable(0, name), std::unexpected(kAudioHardwareBadObjectError));
    EXPECT_EQ(reader.isSettable(3, uid), std::unexpected(kAudioHardwareUnknownPropertyError));
    EXPECT_EQ(reader.dataSize(4, name), std::unexpected(kAudioHardwareUnknownPropertyError));
    EXPECT_EQ(reader.dataSize(1, uid), std::unexpected(kAudioHardwareUnknownPropertyError));
    EXPECT_EQ(reader.u32(3, propertyAddress(fourCC("zzzz"))),
              std::unexpected(kAudioHardwareUnknownPropertyError));
    EXPECT_EQ(reader.string(4, name), std::unexpected(kAudioHardwareUnknownPropertyError));
}

TEST_F(PropertyTable, MalformedReadsGetTheirStatusCodes) {
    Float64 rate = 0.0;
    UInt32 size = 99;
    EXPECT_EQ(getData(2, kAudioDevicePropertyNominalSampleRate, 7, &size, &rate),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(rate, 0.0);
    EXPECT_EQ(getData(2, kAudioDevicePropertyNominalSampleRate, 8, nullptr, &rate),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(getData(2, kAudioDevicePropertyNominalSampleRate, 8, &size, nullptr),
              kAudioHardwareUnsupportedOperationError);
    // An empty value needs no buffer at all.
    EXPECT_EQ(getData(1, kAudioObjectPropertyCustomPropertyInfoList, 0, &size, nullptr), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(getData(1, kAudioPlugInPropertyBoxList, 1000, nullptr, nullptr), 0);

    UInt32 ignored = 0;
    const auto address = propertyAddress(kAudioDevicePropertyBufferFrameSize);
    EXPECT_EQ((*driver)->GetPropertyDataSize(driver, 2, 0, &address, 0, nullptr, nullptr),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ((*driver)->GetPropertyDataSize(driver, 2, 0, nullptr, 0, nullptr, &ignored),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ((*driver)->GetPropertyData(driver, 2, 0, nullptr, 0, nullptr, 4, &size, &ignored),
              kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE((*driver)->HasProperty(driver, 2, 0, nullptr));
    EXPECT_EQ((*driver)->IsPropertySettable(driver, 2, 0, &address, nullptr),
              kAudioHardwareBadObjectError);
}

TEST_F(PropertyTable, NothingCanBeWritten) {
    const UInt32 value = 256;
    for (const Row& row : expectedTable()) {
        SCOPED_TRACE(describe(row));
        const auto address = propertyAddress(row.selector, row.scope);
        EXPECT_EQ((*driver)->SetPropertyData(driver, row.object, 0, &address, 0, nullptr,
                                             sizeof(value), &value),
                  kAudioHardwareUnsupportedOperationError);
    }
    EXPECT_EQ(reader.u32(2, propertyAddress(kAudioDevicePropertyBufferFrameSize)), 480u);
}

TEST_F(PropertyTable, OwnedObjectsAreFilteredByTheClassQualifier) {
    struct Case {
        AudioObjectID object;
        std::vector<AudioClassID> classes;
        std::vector<AudioObjectID> expected;
    };
    const std::vector<Case> cases = {
        {1, {kAudioDeviceClassID}, {2}},
        {1, {kAudioObjectClassID}, {2}},
        {1, {kAudioObjectClassIDWildcard}, {2}},
        {1, {kAudioStreamClassID}, {}},
        {1, {kAudioStreamClassID, kAudioDeviceClassID}, {2}},
        {2, {kAudioStreamClassID}, {3}},
        {2, {kAudioObjectClassIDWildcard}, {3}},
        {2, {kAudioDeviceClassID, kAudioPlugInClassID}, {}},
        {3, {kAudioObjectClassIDWildcard}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("object " + std::to_string(c.object) + ", " +
                     std::to_string(c.classes.size()) + " classes");
        const auto qualifier = std::as_bytes(std::span(c.classes));
        const auto address = propertyAddress(kAudioObjectPropertyOwnedObjects);
        EXPECT_EQ(reader.dataSize(c.object, address, qualifier), c.expected.size() * 4);
        EXPECT_EQ(reader.objectList(c.object, address, qualifier), c.expected);
    }
}

TEST_F(PropertyTable, OwnedObjectsIgnoreAQualifierShorterThanOneClass) {
    const UInt8 shortQualifier[3] = {'a', 's', 't'};
    const auto address = propertyAddress(kAudioObjectPropertyOwnedObjects);
    EXPECT_EQ(reader.objectList(1, address, std::as_bytes(std::span(shortQualifier))),
              std::vector<AudioObjectID>{2});
    UInt32 size = 0;
    EXPECT_EQ((*driver)->GetPropertyDataSize(driver, 2, 0, &address, 8, nullptr, &size), 0);
    EXPECT_EQ(size, 4u);
}

TEST_F(PropertyTable, TranslatesOnlyTheDeviceUIDToTheDevice) {
    const auto address = propertyAddress(kAudioPlugInPropertyTranslateUIDToDevice);
    const auto translate = [&](const char* text) {
        CFStringRef uid = CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
        const auto device = reader.u32(1, address, std::as_bytes(std::span(&uid, 1)));
        CFRelease(uid);
        return device;
    };
    EXPECT_EQ(translate("com.halvern.corvessa.mic.device"), 2u);
    EXPECT_EQ(translate("com.halvern.corvessa.mic.model"), 0u);
    EXPECT_EQ(translate("com.halvern.corvessa.mic.device "), 0u);
    const UInt32 notAString = 2;
    EXPECT_EQ(reader.u32(1, address, std::as_bytes(std::span(&notAString, 1))), 0u);
    EXPECT_EQ(reader.u32(1, address), 0u);
}

TEST_F(PropertyTable, StringsAreNewObjectsOwnedByTheCaller) {
    // The host's own CFRelease destroys a string the plug-in created (sanitizer builds check
    // the free); each read hands out a distinct object with one reference.
    const auto address = propertyAddress(kAudioObjectPropertyName);
    const auto first = reader.fixed<CFStringRef>(3, address);
    const auto second = reader.fixed<CFStringRef>(3, address);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(CFGetRetainCount(*first), 1);
    EXPECT_TRUE(CFEqual(*first, *second));
    EXPECT_EQ(CFStringGetLength(*first), 19);
    CFRelease(*first);
    CFRelease(*second);
}

}  // namespace
