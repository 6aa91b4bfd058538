// Strings and UUIDs: UTF-8 validation and lengths, copying out, value equality, lock-free
// reference counting from many threads, canonical UUID text and the plug-in interface constants.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/AudioServerPlugIn.h"
#include "platform/CoreFoundation.h"

namespace {

CFStringRef makeString(const char* text) {
    return CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
}

CFUUIDRef makeUUID(const char* text) {
    CFStringRef string = makeString(text);
    CFUUIDRef uuid = CFUUIDCreateFromString(kCFAllocatorDefault, string);
    CFRelease(string);
    return uuid;
}

TEST(CFString, LengthCountsUTF16UnitsAndTextCopiesOutWithItsTerminator) {
    struct Case {
        const char* text;
        CFIndex units;
    };
    for (const Case& c : {Case{"Corvessa Mic", 12}, Case{"", 0}, Case{"caf\xC3\xA9", 4},
                          Case{"\xE2\x82\xAC", 1}, Case{"\xF0\x9F\x8E\xA4!", 3}}) {
        SCOPED_TRACE(c.text);
        CFStringRef string = makeString(c.text);
        ASSERT_NE(string, nullptr);
        EXPECT_EQ(CFStringGetLength(string), c.units);
        EXPECT_STREQ(CFStringGetCStringPtr(string, kCFStringEncodingUTF8), c.text);
        const size_t bytes = std::char_traits<char>::length(c.text);
        std::vector<char> exact(bytes + 1, 'x');
        EXPECT_TRUE(CFStringGetCString(string, exact.data(), static_cast<CFIndex>(exact.size()),
                                       kCFStringEncodingUTF8));
        EXPECT_STREQ(exact.data(), c.text);
        std::vector<char> tooSmall(bytes, 'x');
        EXPECT_FALSE(CFStringGetCString(
            string, tooSmall.data(), static_cast<CFIndex>(tooSmall.size()), kCFStringEncodingUTF8));
        CFRelease(string);
    }
}

TEST(CFString, MalformedUTF8AndOtherEncodingsAreRefused) {
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80",
                            "ok\xFF", "\xF0\x8F\xBF\xBF"}) {
        EXPECT_EQ(makeString(bad), nullptr);
    }
    EXPECT_EQ(makeString(nullptr), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "text", 0x0600), nullptr);
}

TEST(CFString, NullIsSafeEverywhere) {
    char buffer[4] = {'x'};
    EXPECT_EQ(CFStringGetLength(nullptr), 0);
    EXPECT_FALSE(CFStringGetCString(nullptr, buffer, 4, kCFStringEncodingUTF8));
    EXPECT_EQ(CFStringGetCStringPtr(nullptr, kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFRetain(nullptr), nullptr);
    CFRelease(nullptr);
    EXPECT_EQ(CFGetRetainCount(nullptr), 0);
    EXPECT_FALSE(CFEqual(nullptr, nullptr));
}

TEST(CFObject, EqualityIsByTypeAndContent) {
    CFStringRef a = makeString("443ABAB8-E7B3-491A-B985-BEB9187030DB");
    CFStringRef b = makeString("443ABAB8-E7B3-491A-B985-BEB9187030DB");
    CFStringRef c = makeString("443ABAB8-E7B3-491A-B985-BEB9187030DC");
    CFUUIDRef uuid = CFUUIDCreateFromString(nullptr, a);
    EXPECT_TRUE(CFEqual(a, b));
    EXPECT_FALSE(CFEqual(a, c));
    EXPECT_FALSE(CFEqual(a, uuid));
    EXPECT_TRUE(CFEqual(uuid, kAudioServerPlugInTypeUUID));
    for (CFTypeRef object : {CFTypeRef(a), CFTypeRef(b), CFTypeRef(c), CFTypeRef(uuid)}) {
        CFRelease(object);
    }
}

TEST(CFObject, ReferenceCountsStayExactUnderConcurrentRetainAndRelease) {
    CFStringRef string = makeString("shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([string] {
            for (int i = 0; i < 50'000; ++i) {
                CFRetain(string);
                CFRelease(string);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(CFGetRetainCount(string), 1);
    EXPECT_EQ(CFRetain(string), string);
    EXPECT_EQ(CFGetRetainCount(string), 2);
    CFRelease(string);
    CFRelease(string);
}

TEST(CFUUID, CanonicalTextInEitherCaseGivesTheBytes) {
    CFUUIDRef upper = makeUUID("EEA5773D-CC43-49F1-8E00-8F96E7D23B17");
    CFUUIDRef lower = makeUUID("eea5773d-cc43-49f1-8e00-8f96e7d23b17");
    ASSERT_NE(upper, nullptr);
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(upper);
    EXPECT_EQ(bytes.byte0, 0xEE);
    EXPECT_EQ(bytes.byte7, 0xF1);
    EXPECT_EQ(bytes.byte15, 0x17);
    EXPECT_TRUE(CFEqual(upper, lower));
    EXPECT_TRUE(CFEqual(upper, kAudioServerPlugInDriverInterfaceUUID));
    CFUUIDRef copy = CFUUIDCreateFromUUIDBytes(nullptr, bytes);
    EXPECT_TRUE(CFEqual(copy, upper));
    for (CFUUIDRef uuid : {upper, lower, copy}) {
        CFRelease(uuid);
    }
}

TEST(CFUUID, AnyOtherTextIsRefused) {
    for (const char* bad :
         {"", "EEA5773D-CC43-49F1-8E00-8F96E7D23B1", "EEA5773D-CC43-49F1-8E00-8F96E7D23B177",
          "EEA5773DXCC43-49F1-8E00-8F96E7D23B17", "EEA5773D-CC43-49F1-8E00-8F96E7D23B1G",
          "{EEA5773D-CC43-49F1-8E00-8F96E7D23B}"}) {
        EXPECT_EQ(makeUUID(bad), nullptr) << bad;
    }
    EXPECT_EQ(CFUUIDCreateFromString(nullptr, nullptr), nullptr);
}

TEST(CFUUID, ConstantsAreTheInterfaceUUIDsAndSurviveRelease) {
    CFUUIDRef unknown = makeUUID("00000000-0000-0000-C000-000000000046");
    EXPECT_TRUE(CFEqual(unknown, IUnknownUUID));
    CFRelease(unknown);
    const CFIndex fixed = CFGetRetainCount(kAudioServerPlugInTypeUUID);
    CFRelease(kAudioServerPlugInTypeUUID);
    CFRelease(kAudioServerPlugInTypeUUID);
    EXPECT_EQ(CFGetRetainCount(kAudioServerPlugInTypeUUID), fixed);
    EXPECT_EQ(CFUUIDGetUUIDBytes(kAudioServerPlugInTypeUUID).byte0, 0x44);
}

}  // namespace
