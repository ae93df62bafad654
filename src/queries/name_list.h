#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "queries/byte_buffer.h"

namespace pacpick {

/// An ordered list of package names, front-coded in parts of equal-length
/// names: in a part, the k-th name (from 0) is kept whole when k is a multiple
/// of 16, otherwise as one byte, the count of leading bytes it shares with the
/// name before it (at most 255), followed by the bytes after those. Sorted
/// package names share long beginnings ("python-", "lib"), so a list in display
/// order (shortest first, a part per length) costs about half its text. A long
/// list's bytes are one mapping of their own (see `ByteBuffer`), so dropping
/// the list gives them back at once, whichever thread built it. Reading a name
/// decodes it, at most 15 others with it; the screen reads a screenful at a time.
class NameList {
  public:
    // Moved from the search to the screen, never copied.
    NameList() = default;
    NameList(NameList&&) = default;
    NameList& operator=(NameList&&) = default;
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    /// The name at `index`, which must be below `size()`.
    std::string operator[](size_t index) const;

    /// Appends a name; one of another length than the last starts a new part.
    void push_back(std::string_view name);
    /// Where a name as long as the last one stands against it.
    enum class Placed { After, Same, Before };
    /// Appends `name`, as long as the last name, only if it sorts after it (or
    /// the list is empty); says where it stood. One pass serves both the order
    /// check and the count of shared bytes.
    Placed push_back_if_after(std::string_view name);
    /// Appends the names of `other` as they are coded, without decoding them.
    void append(const NameList& other);
    void clear();

    /// Reads a list front to back, one name per step, without decoding twice.
    class Reader {
      public:
        explicit Reader(const NameList& list);
        bool done() const { return index_ == list_->size_; }
        /// The current name; valid until `next`.
        std::string_view name() const { return name_; }
        void next();

      private:
        void decode();

        const NameList* list_;
        size_t index_ = 0;
        size_t part_ = 0;      // the part after the current name's
        size_t part_end_ = 0;  // the index where the current name's part ends
        size_t in_part_ = 0;   // the current name's index in its part
        const char* at_;
        std::string name_;
    };

  private:
    struct Part {
        size_t first;    // index of the part's first name in the whole list
        size_t length;   // bytes in each of its names
        size_t restart;  // index of its first name's entry in `restarts_`
    };

    void add(std::string_view name, size_t shared);

    std::vector<Part> parts_;
    ByteBuffer bytes_;
    std::vector<size_t> restarts_;  // where in `bytes_` each name kept whole begins
    std::string last_;              // the name added last, which the next is coded against
    size_t in_last_part_ = 0;       // names in the last part
    size_t size_ = 0;
};

}  // namespace pacpick
