#include "queries/name_list.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace pacpick {

namespace {

// How often a name is kept whole: reading any name decodes at most 15 others.
constexpr size_t kRestartEvery = 16;

// The shared count is one byte, so longer shared beginnings are cut to this.
constexpr size_t kMostShared = 255;

size_t shared_prefix(std::string_view a, std::string_view b) {
    const size_t most = std::min(a.size(), b.size());
    size_t shared = 0;
    while (shared < most && a[shared] == b[shared]) {
        ++shared;
    }
    return shared;
}

/// Decodes the `index`-th name of a part of `length`-byte names, coded at `at`,
/// into `name`, which holds the name before it unless `index` is kept whole.
/// Gives where the next name's coding starts.
const char* decode(const char* at, size_t index, size_t length, char* name) {
    if (index % kRestartEvery == 0) {
        if (length != 0) {  // a part of empty names may have no bytes at all
            std::memcpy(name, at, length);
        }
        return at + length;
    }
    const auto shared = static_cast<unsigned char>(*at);
    std::memcpy(name + shared, at + 1, length - shared);
    return at + 1 + length - shared;
}

}  // namespace

std::string NameList::operator[](size_t index) const {
    // The part holding `index` is the last one starting at or before it.
    auto after = std::upper_bound(parts_.begin(), parts_.end(), index,
                                  [](size_t i, const Part& part) { return i < part.first; });
    const Part& part = *std::prev(after);
    const size_t in_part = index - part.first;
    std::string name(part.length, '\0');
    const char* at = bytes_.data() + restarts_[part.restart + in_part / kRestartEvery];
    for (size_t k = in_part - in_part % kRestartEvery; k <= in_part; ++k) {
        at = decode(at, k, part.length, name.data());
    }
    return name;
}

void NameList::push_back(std::string_view name) {
    add(name, shared_prefix(name, last_));
}

NameList::Placed NameList::push_back_if_after(std::string_view name) {
    size_t shared = 0;
    if (size_ != 0) {
        shared = shared_prefix(name, last_);
        if (shared == name.size()) {
            return Placed::Same;
        }
        if (static_cast<unsigned char>(name[shared]) < static_cast<unsigned char>(last_[shared])) {
            return Placed::Before;
        }
    }
    add(name, shared);
    return Placed::After;
}

void NameList::add(std::string_view name, size_t shared) {
    // Every name of the last part is as long as the last name.
    if (size_ == 0 || name.size() != last_.size()) {
        parts_.push_back(Part{size_, name.size(), restarts_.size()});
        in_last_part_ = 0;
    }
    if (in_last_part_ % kRestartEvery == 0) {
        restarts_.push_back(bytes_.size());
        bytes_.append(name);
        last_.assign(name);
    } else {
        shared = std::min(shared, kMostShared);
        const char count = static_cast<char>(shared);
        bytes_.append({&count, 1});
        bytes_.append(name.substr(shared));
        // Only the bytes after the shared ones differ from the last name.
        last_.replace(shared, name.size() - shared, name.substr(shared));
    }
    ++in_last_part_;
    ++size_;
}

void NameList::append(const NameList& other) {
    if (other.empty()) {
        return;
    }
    for (const Part& part : other.parts_) {
        parts_.push_back(Part{size_ + part.first, part.length, restarts_.size() + part.restart});
    }
    const size_t base = bytes_.size();
    bytes_.append(other.bytes_.view());
    for (size_t offset : other.restarts_) {
        restarts_.push_back(base + offset);
    }
    last_ = other.last_;
    in_last_part_ = other.in_last_part_;
    size_ += other.size_;
}

void NameList::clear() {
    std::vector<Part>().swap(parts_);
    bytes_.clear();
    std::vector<size_t>().swap(restarts_);
    std::string().swap(last_);
    in_last_part_ = 0;
    size_ = 0;
}

NameList::Reader::Reader(const NameList& list) : list_(&list), at_(list.bytes_.data()) {
    if (!done()) {
        decode();
    }
}

void NameList::Reader::next() {
    ++index_;
    if (!done()) {
        decode();
    }
}

void NameList::Reader::decode() {
    if (index_ == part_end_) {
        const std::vector<Part>& parts = list_->parts_;
        name_.resize(parts[part_].length);
        ++part_;
        part_end_ = part_ < parts.size() ? parts[part_].first : list_->size_;
        in_part_ = 0;
    }
    at_ = pacpick::decode(at_, in_part_++, name_.size(), name_.data());
}

}  // namespace pacpick
