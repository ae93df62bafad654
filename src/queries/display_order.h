#pragma once

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
    /// Indexed by length, up to the longest name: an empty slot costs a few
    /// words, and a package name is seldom longer than a hundred bytes.
    std::vector<std::vector<NameList>> runs_by_length_;
};

}  // namespace pacpick
