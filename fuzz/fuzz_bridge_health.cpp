// BridgeHealth JSON: decoding accepts or throws a JSON error; a decoded record's encoding
// decodes to the same record.
#include <nlohmann/json.hpp>

#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Json = nlohmann::json;
    amberlin::BridgeHealth health;
    try {
        health = Json::parse(data, data + size).get<amberlin::BridgeHealth>();
    } catch (const Json::exception&) {
        return 0;
    }
    const std::string encoded = Json(health).dump();
    corvessa::fuzz::check(Json::parse(encoded).get<amberlin::BridgeHealth>() == health,
                          "bridge health round trip");
    return 0;
}
