#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "queries/name_run.h"

namespace pacpick {

/// An ordered list of package names, kept compact: a `NameRun` for each
/// stretch of equal-length names, so a list in display order (shortest first)
/// is one run per length and costs about half its text. A long run's bytes are
/// one mapping of their own (see `ByteBuffer`), so dropping the list gives them
/// back at once, whichever thread built it. Reading a name decodes it, at most
/// 15 others with it; the screen reads a screenful at a time.
class NameList {
  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    /// The name at `index`, which must be below `size()`.
    std::string operator[](size_t index) const;

    /// Appends a name; one of another length than the last starts a new run.
    void push_back(std::string_view name);
    /// Appends the names of `run` after those already here, taking its bytes over.
    void append(NameRun&& run);
    void clear();

  private:
    struct Part {
        size_t first;  // index of the run's first name in the whole list
        NameRun run;
    };

    std::vector<Part> parts_;
    size_t size_ = 0;
};

}  // namespace pacpick
