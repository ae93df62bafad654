#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "queries/byte_buffer.h"

namespace pacpick {

/// Names of one length, in the order given, front-coded: the k-th name (from 0)
/// is kept whole when k is a multiple of 16, otherwise as one byte, the count of
/// leading bytes it shares with the name before it (at most 255), followed by
/// the bytes after those. Sorted package names share long beginnings ("python-",
/// "lib"), which makes a run little more than half its text. The one coding of
/// the name list: a search builds runs as it reads, and its answer keeps them.
class NameRun {
  public:
    explicit NameRun(size_t length) : length_(length) {}

    size_t length() const { return length_; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    /// Appends a name, which must be `length()` bytes long.
    void push_back(std::string_view name);

    /// Where a name of `length()` bytes stands against the last one pushed.
    enum class Placed { After, Same, Before };
    /// Appends `name` only if it sorts after the last name (or the run is
    /// empty); says where it stood. One pass serves both the order check and
    /// the count of shared bytes.
    Placed push_back_if_after(std::string_view name);

    /// The name at `index`, below `size()`: decodes it and at most 15 before it.
    std::string operator[](size_t index) const;

    /// Reads a run front to back, one name per step, without decoding twice.
    class Reader {
      public:
        explicit Reader(const NameRun& run);
        bool done() const { return index_ == run_->count_; }
        /// The current name; valid until `next`.
        std::string_view name() const { return name_; }
        void next();

      private:
        const NameRun* run_;
        size_t index_ = 0;
        const char* at_;
        std::string name_;
    };

  private:
    void append(std::string_view name, size_t shared);

    size_t length_;
    size_t count_ = 0;
    ByteBuffer bytes_;
    std::vector<size_t> restarts_;  // where in `bytes_` each name kept whole begins
    std::string last_;              // the name pushed last, which the next is coded against
};

}  // namespace pacpick
