#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "queries/name_list.h"

namespace pacpick {

/// Which list the search shows and what Enter does with the chosen name.
enum class Mode { Install, Uninstall };

/// What the details pane shows for one package. `name` is the name that was
/// asked about, never taken from the package manager's output; version and
/// description may be empty.
struct PackageDetails {
    std::string name;
    std::string version;
    std::string description;
    bool installed = false;

    friend bool operator==(const PackageDetails&, const PackageDetails&) = default;
};

/// The answer of one catalog search: the matching names, in display order. It
/// travels by move, so the names are never copied on their way to the screen.
struct CatalogResult {
    uint64_t generation = 0;
    NameList names;
};

/// The answer of one details request; absent details mean "nothing to show".
struct DetailsResult {
    uint64_t generation = 0;
    std::optional<PackageDetails> details;
};

/// The one kind of value carried by the result channel from background queries
/// to the main loop. Each carries the generation it was started with, so the
/// loop can recognise answers that a newer request has made out of date.
using QueryMessage = std::variant<CatalogResult, DetailsResult>;

}  // namespace pacpick
