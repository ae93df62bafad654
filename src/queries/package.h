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

/// The number a request of one kind is started with, so that its answer can be
/// recognised once a newer request has made it out of date. `Kind` keeps the
/// counters apart: neither number can be taken for the other, nor for an index.
template <typename Kind>
struct Generation {
    uint64_t value = 0;
    Generation next() const { return {value + 1}; }
    friend bool operator==(Generation, Generation) = default;
};
using SearchGeneration = Generation<struct SearchKind>;
using DetailsGeneration = Generation<struct DetailsKind>;

/// The answer of one catalog search: the matching names, in display order.
struct CatalogResult {
    SearchGeneration generation;
    NameList names;
};

/// The answer of one details request; absent details mean "nothing to show".
struct DetailsResult {
    DetailsGeneration generation;
    std::optional<PackageDetails> details;
};

/// What the result channel carries from the background queries to the main
/// loop, each answer with the generation its request was started with.
using QueryMessage = std::variant<CatalogResult, DetailsResult>;

}  // namespace pacpick
