// Diagnostics snapshot JSON: decoding accepts or throws a JSON error; a decoded snapshot's own
// encoding decodes to the same snapshot.
#include <nlohmann/json.hpp>
#include <string_view>

#include "AmberlinAudioCore/Diagnostics.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using amberlin::DiagnosticsSnapshot;
    DiagnosticsSnapshot snapshot;
    try {
        snapshot = DiagnosticsSnapshot::fromJSONData(
            std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const nlohmann::json::exception&) {
        return 0;
    }
    corvessa::fuzz::check(DiagnosticsSnapshot::fromJSONData(snapshot.jsonData()) == snapshot,
                          "snapshot round trip");
    return 0;
}
