#pragma once

#include <string>
#include <string_view>

#include "queries/display_order.h"
#include "queries/name_list.h"

namespace pacpick {

/// Filters a package list as it is read: each piece of the package manager's
/// output (one name per line) is decoded, lower-cased and matched as it arrives,
/// and only the matching names are kept, so the listing is never held whole. A
/// line cut by the edge of a piece waits for the rest of it. The answer, after
/// `finish`, is the names whose lower-case form contains the lower-case query,
/// shortest first, equal lengths in byte order, each name once. Names are
/// trimmed of white space and blank lines skipped; an empty query keeps every
/// name. Ill-formed UTF-8 reads with U+FFFD in place of each bad stretch.
class NameFilter {
  public:
    explicit NameFilter(std::string_view query);

    /// Takes the next piece of output; pieces may end anywhere, even inside a
    /// character.
    void feed(std::string_view piece);
    /// Ends the output (a last line without a line feed counts) and hands over
    /// the matches in display order. The filter is spent afterwards.
    NameList finish();

  private:
    void take_lines(std::string_view lines);
    void take_ascii_lines(std::string_view lines);
    void take_other_lines(std::string_view lines);

    std::string needle_;   // the query, lower-cased
    std::string partial_;  // the start of a line whose end has not arrived
    std::string lowered_;  // scratch for one block of lower-cased names
    std::string decoded_;  // scratch for lines that are not well-formed
    DisplayOrderBuilder kept_;
};

}  // namespace pacpick
