#pragma once

#include <cstddef>
#include <map>
#include <string_view>
#include <vector>

#include "queries/name_list.h"

namespace pacpick {

/// Collects names in any order and hands them back in display order: fewer
/// bytes first, equal lengths by unsigned byte values, each name once. Names go
/// straight into runs of their own length (each a list of ascending names), so
/// ordering by length costs nothing; a name that sorts before the one it
/// follows starts a new run. Names that arrive as a few sorted runs (one per
/// repository) are merged in linear time, and any other order still sorts
/// correctly.
class DisplayOrderBuilder {
  public:
    /// Adds a name; empty names are not kept.
    void add(std::string_view name);
    /// The names added so far in display order; the builder is left empty.
    NameList take();

  private:
    // Lengths below this index a table directly; longer names are rare enough
    // for a map.
    static constexpr size_t kDirectLengths = 256;

    std::vector<NameList>& bucket(size_t length);

    std::vector<std::vector<NameList>> short_;  // indexed by length
    std::map<size_t, std::vector<NameList>> long_;
};

}  // namespace pacpick
