// Call payload text: decoding accepts or throws a JSON error; a decoded record encodes (its
// strings passed the JSON parser, so they are valid UTF-8) and decodes to the same record.
#include <nlohmann/json.hpp>
#include <string_view>

#include "AmberlinAudioCore/CallModels.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    amberlin::CallSession session;
    try {
        session = amberlin::decodeCallPayload(text);
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    const std::string encoded = amberlin::encodeCallPayload(session);
    corvessa::fuzz::check(amberlin::decodeCallPayload(encoded) == session, "payload round trip");
    return 0;
}
