// Reading a plug-in bundle's Info.plist: which factory function makes a plug-in of a given type.
#ifndef CORVESSA_AUDIOSERVER_BUNDLE_DESCRIPTION_H
#define CORVESSA_AUDIOSERVER_BUNDLE_DESCRIPTION_H

#include <filesystem>
#include <string>

#include "platform/CoreFoundation.h"

namespace audioserver {

/// Returns the factory function name that CFPlugInTypes / CFPlugInFactories of the Info.plist
/// (XML or binary) name for `type`. UUID keys compare by value, so their letter case does not
/// matter. Throws PluginLoadError: bundleUnreadable when the file cannot be read or parsed or a
/// map is missing; factoryMissing when no factory is registered for the type.
std::string factoryNameForType(const std::filesystem::path& infoPlist, CFUUIDRef type);

}  // namespace audioserver

#endif
