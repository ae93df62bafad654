#pragma once

#include <string>
#include <string_view>

namespace pacpick {

/// What the details pane shows of a package's sync-repository entry. Either
/// field is empty when the entry has no such line or only an empty value.
struct PackageInfo {
    std::string version;
    std::string description;

    friend bool operator==(const PackageInfo&, const PackageInfo&) = default;
};

/// Reads the version and description from the "Key : value" lines of a package
/// manager's information output. Keys match exactly, case and all; the first
/// non-empty value of each key wins, so of two entries the first is shown.
PackageInfo parse_package_info(std::string_view output);

}  // namespace pacpick
