// Ordering of display names as people expect in a list: case-insensitive, under the user's
// locale (the environment's LC_ALL / LC_COLLATE / LANG; the classic locale when that names no
// installed locale).
#ifndef AMBERLINAUDIOCORE_NAMEORDER_H
#define AMBERLINAUDIOCORE_NAMEORDER_H

#include <string_view>

namespace amberlin {

/// Negative, zero or positive as `left` sorts before, with or after `right`, ignoring letter
/// case. Names are UTF-8; a malformed byte counts as the character U+FFFD.
int compareNamesIgnoringCase(std::string_view left, std::string_view right);

}  // namespace amberlin

#endif
