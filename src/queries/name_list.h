#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "queries/byte_buffer.h"
#include "queries/name_run.h"

namespace pacpick {

/// An ordered list of package names, kept compact: parts of equal-length names
/// front-coded as a `NameRun` codes them (see front_coding.h), one after another
/// in a single buffer, so a list in display order (shortest first) is one part
/// per length and costs about half its text. A long list's bytes are one
/// mapping of their own (see `ByteBuffer`), so dropping the list gives them back
/// at once, whichever thread built it. Reading a name decodes it, at most 15
/// others with it; the screen reads a screenful at a time.
class NameList {
  public:
    class const_iterator;
    using value_type = std::string;
    using size_type = size_t;

    NameList() = default;
    NameList(std::initializer_list<std::string_view> names);

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    /// The name at `index`, which must be below `size()`.
    std::string operator[](size_t index) const;

    void push_back(std::string_view name);
    /// Appends the names of `run` after those already here, as a part of its
    /// own; its encoded bytes are copied as they are, not decoded.
    void append(const NameRun& run);
    void clear();

    const_iterator begin() const;
    const_iterator end() const;

    friend bool operator==(const NameList& a, const NameList& b);

  private:
    friend struct NameListProbe;  // tests see that a moved list keeps its bytes
    /// Where the list's bytes are kept (null when it has none): a list moved
    /// elsewhere keeps them, a copy has its own.
    const char* storage() const { return bytes_.data(); }

    struct Part {
        size_t first;    // index of the part's first name in the whole list
        size_t length;   // bytes in each of its names
        size_t restart;  // index of its first name's entry in `restarts_`
    };

    size_t restart_count() const { return restarts_.size() / sizeof(size_t); }
    size_t restart_offset(size_t restart) const;
    void add_restart(size_t offset);

    std::vector<Part> parts_;
    ByteBuffer bytes_;     // every part's names, front-coded, one part after another
    ByteBuffer restarts_;  // where in `bytes_` each name kept whole begins (a size_t each)
    std::string last_;     // the name added last, which the next is coded against
    size_t size_ = 0;
};

/// Walks a list front to back, giving each name as a string.
class NameList::const_iterator {
  public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string;

    const_iterator() = default;
    const_iterator(const NameList* list, size_t index) : list_(list), index_(index) {}

    std::string operator*() const { return (*list_)[index_]; }
    std::string operator[](difference_type n) const {
        return (*list_)[static_cast<size_t>(static_cast<difference_type>(index_) + n)];
    }
    const_iterator& operator++() {
        ++index_;
        return *this;
    }
    const_iterator operator++(int) {
        const_iterator before = *this;
        ++index_;
        return before;
    }
    const_iterator& operator--() {
        --index_;
        return *this;
    }
    const_iterator operator--(int) {
        const_iterator before = *this;
        --index_;
        return before;
    }
    const_iterator& operator+=(difference_type n) {
        index_ = static_cast<size_t>(static_cast<difference_type>(index_) + n);
        return *this;
    }
    const_iterator& operator-=(difference_type n) { return *this += -n; }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
        return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
        return a.index_ == b.index_;
    }
    friend auto operator<=>(const const_iterator& a, const const_iterator& b) {
        return a.index_ <=> b.index_;
    }

  private:
    const NameList* list_ = nullptr;
    size_t index_ = 0;
};

inline NameList::const_iterator NameList::begin() const {
    return const_iterator(this, 0);
}
inline NameList::const_iterator NameList::end() const {
    return const_iterator(this, size_);
}

}  // namespace pacpick
