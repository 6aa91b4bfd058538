// The plug-in's property interface, loaded and obtained as the audio server does (shared object,
// factory, QueryInterface) and driven through its driver table with arbitrary object ids,
// selectors, scopes, elements, qualifiers and buffer sizes. Output buffers are exactly the size
// the call states, so any write past them is caught by AddressSanitizer. Initialize and IO are
// never called: they would open the machine-wide ring.
#include <algorithm>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "PropertyScript.h"
#include "audioserver/PluginHost.h"
#include "platform/AudioObjectProperties.h"
#include "platform/CoreFoundation.h"

namespace {

using corvessa::fuzz::check;
using corvessa::fuzz::PropertyCall;
using corvessa::fuzz::PropertyOp;

/// Properties whose value is a string reference the caller owns and must release.
bool returnsString(AudioObjectPropertySelector selector) {
    constexpr AudioObjectPropertySelector kStrings[] = {kAudioObjectPropertyName,
                                                        kAudioObjectPropertyManufacturer,
                                                        kAudioObjectPropertyModelName,
                                                        kAudioObjectPropertyElementName,
                                                        kAudioObjectPropertyElementCategoryName,
                                                        kAudioObjectPropertyElementNumberName,
                                                        kAudioPlugInPropertyBundleID,
                                                        kAudioPlugInPropertyResourceBundle,
                                                        kAudioDevicePropertyDeviceUID,
                                                        kAudioDevicePropertyModelUID};
    return std::find(std::begin(kStrings), std::end(kStrings), selector) != std::end(kStrings);
}

/// The qualifier as passed: raw bytes, or (for UID translation, whose qualifier is by contract
/// a string reference) a reference to a string made from the bytes, possibly null.
struct Qualifier {
    explicit Qualifier(const PropertyOp& op) : bytes(op.qualifier) {
        const bool stringContract = op.selector == kAudioPlugInPropertyTranslateUIDToDevice &&
                                    bytes.size() == sizeof(CFStringRef);
        if ((op.flags & corvessa::fuzz::kStringQualifier) != 0 || stringContract) {
            const std::string text(bytes.begin(), bytes.end());
            string = CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
            bytes.assign(sizeof(CFStringRef), 0);
            std::memcpy(bytes.data(), &string, sizeof string);
        }
    }
    ~Qualifier() { CFRelease(string); }
    Qualifier(const Qualifier&) = delete;
    Qualifier& operator=(const Qualifier&) = delete;

    UInt32 size() const { return static_cast<UInt32>(bytes.size()); }
    const void* data() const { return bytes.empty() ? nullptr : bytes.data(); }

    std::vector<std::uint8_t> bytes;
    CFStringRef string = nullptr;
};

void run(AudioServerPlugInDriverRef own, const PropertyOp& op) {
    AudioServerPlugInDriverInterface& table = **own;
    static AudioServerPlugInDriverInterface* foreignTable = nullptr;
    const auto driver = (op.flags & corvessa::fuzz::kForeignDriver) != 0
                            ? reinterpret_cast<AudioServerPlugInDriverRef>(&foreignTable)
                            : own;
    const AudioObjectPropertyAddress address{op.selector, op.scope, op.element};
    const AudioObjectPropertyAddress* at =
        (op.flags & corvessa::fuzz::kNullAddress) != 0 ? nullptr : &address;
    const bool nullOutputs = (op.flags & corvessa::fuzz::kNullOutputs) != 0;
    const Qualifier qualifier(op);
    const bool has = table.HasProperty(driver, op.object, 0, at);
    const bool wellFormed = driver == own && at != nullptr;
    check(!has || wellFormed, "a property only through the own driver and an address");

    UInt32 size = 0;
    const OSStatus sizeStatus = table.GetPropertyDataSize(
        driver, op.object, 0, at, qualifier.size(), qualifier.data(), &size);
    check((sizeStatus == kAudioHardwareNoError) == has, "a size exactly for existing properties");

    switch (op.call) {
        case PropertyCall::isSettable: {
            Boolean settable = true;
            const OSStatus status = table.IsPropertySettable(driver, op.object, 0, at,
                                                             nullOutputs ? nullptr : &settable);
            check(status != kAudioHardwareNoError || (has && !settable), "read-only properties");
            break;
        }
        case PropertyCall::getData: {
            const auto buffer = std::make_unique<std::uint8_t[]>(op.dataSize);
            UInt32 written = 0;
            const OSStatus status = table.GetPropertyData(
                driver, op.object, 0, at, qualifier.size(), qualifier.data(), op.dataSize,
                nullOutputs ? nullptr : &written, nullOutputs ? nullptr : buffer.get());
            check(status != kAudioHardwareNoError || (has && written == size),
                  "a value of the announced size");
            check(written <= op.dataSize, "no value larger than the buffer");
            if (status == kAudioHardwareNoError && written == sizeof(CFStringRef) &&
                returnsString(op.selector)) {
                CFStringRef value = nullptr;
                std::memcpy(&value, buffer.get(), sizeof value);
                check(CFStringGetCStringPtr(value, kCFStringEncodingUTF8) != nullptr,
                      "a string value");
                CFRelease(value);
            }
            break;
        }
        case PropertyCall::setData: {
            const auto buffer = std::make_unique<std::uint8_t[]>(op.dataSize);
            const OSStatus status =
                table.SetPropertyData(driver, op.object, 0, at, qualifier.size(), qualifier.data(),
                                      op.dataSize, nullOutputs ? nullptr : buffer.get());
            check(status != kAudioHardwareNoError, "nothing is settable");
            break;
        }
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const audioserver::PluginHost host(CORVESSA_FUZZ_PLUGIN_PATH);
    corvessa::fuzz::InputReader in({data, size});
    while (!in.empty()) {
        run(host.driver(), PropertyOp::read(in));
    }
    return 0;
}
