// Random UUIDs in the canonical upper-case text the audio system uses for the UIDs it makes.
#ifndef CORVESSA_PLATFORM_UPPER_CASE_UUID_H
#define CORVESSA_PLATFORM_UPPER_CASE_UUID_H

#include <string>

namespace platform {

/// A fresh random (version 4) UUID in canonical upper-case text.
std::string makeUpperCaseUUID();

}  // namespace platform

#endif
