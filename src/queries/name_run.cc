#include "queries/name_run.h"

#include <algorithm>
#include <cstring>

namespace pacpick {

namespace {

// How often a name is kept whole: reading any name decodes at most 15 others.
constexpr size_t kRestartEvery = 16;

// The shared count is one byte, so longer shared beginnings are cut to this.
constexpr size_t kMostShared = 255;

/// How many leading bytes `a` and `b`, of one length, have in common.
size_t shared_prefix(std::string_view a, std::string_view b) {
    size_t shared = 0;
    while (shared < a.size() && a[shared] == b[shared]) {
        ++shared;
    }
    return shared;
}

/// Decodes the `index`-th name of a run of `length`-byte names, encoded at
/// `at`, into `name`, which holds the name before it unless `index` is kept
/// whole. Gives where the next name's encoding starts.
const char* decode(const char* at, size_t index, size_t length, char* name) {
    if (index % kRestartEvery == 0) {
        if (length != 0) {  // a run of empty names may have no bytes at all
            std::memcpy(name, at, length);
        }
        return at + length;
    }
    const auto shared = static_cast<unsigned char>(*at);
    std::memcpy(name + shared, at + 1, length - shared);
    return at + 1 + length - shared;
}

}  // namespace

void NameRun::push_back(std::string_view name) {
    append(name, count_ == 0 ? 0 : shared_prefix(name, last_));
}

NameRun::Placed NameRun::push_back_if_after(std::string_view name) {
    size_t shared = 0;
    if (count_ != 0) {
        shared = shared_prefix(name, last_);
        if (shared == length_) {
            return Placed::Same;
        }
        if (static_cast<unsigned char>(name[shared]) < static_cast<unsigned char>(last_[shared])) {
            return Placed::Before;
        }
    }
    append(name, shared);
    return Placed::After;
}

void NameRun::append(std::string_view name, size_t shared) {
    if (count_ % kRestartEvery == 0) {
        restarts_.push_back(bytes_.size());
        bytes_.append(name);
        last_.assign(name);
    } else {
        shared = std::min(shared, kMostShared);
        bytes_.push_back(static_cast<char>(shared));
        bytes_.append(name.substr(shared));
        // Only the bytes after the shared ones differ from the last name.
        last_.replace(shared, name.size() - shared, name.substr(shared));
    }
    ++count_;
}

std::string NameRun::operator[](size_t index) const {
    std::string name(length_, '\0');
    const char* at = bytes_.data() + restarts_[index / kRestartEvery];
    for (size_t k = index - index % kRestartEvery; k <= index; ++k) {
        at = decode(at, k, length_, name.data());
    }
    return name;
}

NameRun::Reader::Reader(const NameRun& run)
    : run_(&run), at_(run.bytes_.data()), name_(run.length_, '\0') {
    if (!done()) {
        at_ = decode(at_, index_, run_->length_, name_.data());
    }
}

void NameRun::Reader::next() {
    ++index_;
    if (!done()) {
        at_ = decode(at_, index_, run_->length_, name_.data());
    }
}

}  // namespace pacpick
