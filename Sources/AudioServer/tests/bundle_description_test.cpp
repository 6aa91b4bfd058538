// Finding the factory in a bundle's Info.plist: the shipped description, UUID keys in either
// case, binary property lists, and every way a description can be unusable.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>

#include "FreshPlugin.h"
#include "audioserver/BundleDescription.h"
#include "audioserver/PluginHost.h"
#include "audioserver/PluginLoadError.h"

namespace {

using audioserver::factoryNameForType;
using audioserver::PluginLoadError;
using Reason = PluginLoadError::Reason;

class BundleDescription : public ::testing::Test {
  protected:
    std::filesystem::path write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = scratch.directory() / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    Reason failure(const std::filesystem::path& path) {
        try {
            factoryNameForType(path, kAudioServerPlugInTypeUUID);
        } catch (const PluginLoadError& error) {
            return error.reason();
        }
        ADD_FAILURE() << "a factory was found";
        return Reason::cannotOpen;
    }

    corvessa::testing::FreshPluginCopy scratch{FAKE_PLUGIN_PATH};
};

std::string plistWith(const std::string& typeKey, const std::string& factoryKey,
                      const std::string& listedFactory) {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
<key>CFPlugInFactories</key><dict><key>)" +
           factoryKey + R"(</key><string>Named_Factory</string></dict>
<key>CFPlugInTypes</key><dict><key>)" +
           typeKey + R"(</key><array><string>)" + listedFactory + R"(</string></array></dict>
</dict></plist>)";
}

constexpr const char* kType = "443ABAB8-E7B3-491A-B985-BEB9187030DB";
constexpr const char* kFactory = "2642D4A1-DC13-463F-8CC0-1AFD01AB9E76";

TEST_F(BundleDescription, TheShippedDescriptionNamesTheFactoryAndLoads) {
    EXPECT_EQ(factoryNameForType(HAL_PLUGIN_INFO_PLIST, kAudioServerPlugInTypeUUID),
              "Corvessa_Create");
    corvessa::testing::FreshPluginCopy copy(HAL_PLUGIN_PATH);
    audioserver::PluginHost host(copy.path(), HAL_PLUGIN_INFO_PLIST);
    EXPECT_EQ(host.devices().size(), 1u);
}

TEST_F(BundleDescription, UUIDKeysMatchInEitherCase) {
    const auto path =
        write("Info.plist", plistWith("443abab8-e7b3-491a-b985-beb9187030db",
                                      "2642d4a1-dc13-463f-8cc0-1afd01ab9e76", kFactory));
    EXPECT_EQ(factoryNameForType(path, kAudioServerPlugInTypeUUID), "Named_Factory");
}

TEST_F(BundleDescription, BinaryPropertyListsAreRead) {
    const std::string xml = plistWith(kType, kFactory, kFactory);
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    char* binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &binary, &length);
    plist_free(root);
    const auto path = write("Info.plist", std::string(binary, length));
    std::free(binary);
    EXPECT_EQ(factoryNameForType(path, kAudioServerPlugInTypeUUID), "Named_Factory");
}

TEST_F(BundleDescription, UnusableDescriptionsAreReportedByCause) {
    EXPECT_EQ(failure(scratch.directory() / "missing.plist"), Reason::bundleUnreadable);
    EXPECT_EQ(failure(write("garbage.plist", "not a property list")), Reason::bundleUnreadable);
    EXPECT_EQ(failure(write("array.plist", R"(<plist version="1.0"><array/></plist>)")),
              Reason::bundleUnreadable);
    EXPECT_EQ(failure(write("nomaps.plist", R"(<plist version="1.0"><dict/></plist>)")),
              Reason::bundleUnreadable);
    EXPECT_EQ(failure(write("othertype.plist",
                            plistWith("00000000-0000-0000-C000-000000000046", kFactory, kFactory))),
              Reason::factoryMissing);
    EXPECT_EQ(failure(write("dangling.plist",
                            plistWith(kType, kFactory, "11111111-2222-3333-4444-555555555555"))),
              Reason::factoryMissing);
    EXPECT_EQ(failure(write("badfactory.plist", plistWith(kType, kFactory, "not-a-uuid"))),
              Reason::factoryMissing);
}

}  // namespace
