// Any bytes stored under the settings key: loading never fails or throws, and whatever it
// yields is saved and loaded back unchanged.
#include <memory>

#include "AmberlinAudioCore/AppSettings.h"
#include "FuzzSupport.h"
#include "platform/UserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvessa::fuzz;
    // A private database (not the standard one, so no legacy migration runs).
    static const auto defaults =
        std::make_shared<platform::UserDefaults>(scratchDirectory() / "defaults", "fuzz");
    const amberlin::SettingsStore store(amberlin::SettingsStore::defaultKey, defaults);
    check(defaults->setData(store.key(), {data, size}), "record stored");
    const amberlin::AppSettings loaded = store.load();
    store.save(loaded);
    check(store.load() == loaded, "a loaded record survives save and load");
    return 0;
}
