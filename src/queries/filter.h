#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pacpick {

/// The package names in `output` (one per line, as the package manager lists
/// them) whose lower-case form contains the lower-case `query`, shortest first,
/// equal lengths in byte order, each name once. Names are trimmed of white space;
/// an empty query keeps every name. Ill-formed UTF-8 is read with U+FFFD in place
/// of each bad stretch, so any output gives an answer.
std::vector<std::string> filter_package_names(std::string_view output, std::string_view query);

/// Sorts names into display order: fewer bytes first, then by unsigned byte
/// values. Stable: insertion sort up to 20 names, merge sort above.
void sort_package_names(std::vector<std::string_view>& names);

}  // namespace pacpick
