#include "queries/name_run.h"

#include <algorithm>
#include <cstring>

namespace pacpick {

namespace {

// The shared count is one byte, so longer shared beginnings are cut to this.
constexpr size_t kMostShared = 255;

}  // namespace

void NameRun::push_back(std::string_view name) {
    size_t shared = 0;
    if (count_ != 0) {
        while (shared < length_ && name[shared] == last_[shared]) {
            ++shared;
        }
    }
    append_encoded(name, shared);
}

NameRun::Placed NameRun::push_back_if_after(std::string_view name) {
    size_t shared = 0;
    if (count_ != 0) {
        while (shared < length_ && name[shared] == last_[shared]) {
            ++shared;
        }
        if (shared == length_) {
            return Placed::Same;
        }
        if (static_cast<unsigned char>(name[shared]) < static_cast<unsigned char>(last_[shared])) {
            return Placed::Before;
        }
    }
    append_encoded(name, shared);
    return Placed::After;
}

void NameRun::append_encoded(std::string_view name, size_t shared) {
    if (count_ % kRestartEvery == 0) {
        restarts_.push_back(bytes_.size());
        bytes_.append(name);
        last_.assign(name);
    } else {
        shared = std::min(shared, kMostShared);
        bytes_.push_back(static_cast<char>(shared));
        bytes_.append(name.substr(shared));
        // Only the bytes after the shared ones differ from the last name.
        last_.replace(shared, length_ - shared, name.substr(shared));
    }
    ++count_;
}

void NameRun::read(size_t index, std::string& out) const {
    if (length_ == 0) {
        out.clear();
        return;
    }
    const size_t restart = index / kRestartEvery;
    const char* p = bytes_.data() + restarts_[restart];
    out.assign(p, length_);
    p += length_;
    for (size_t k = restart * kRestartEvery + 1; k <= index; ++k) {
        const auto shared = static_cast<unsigned char>(*p++);
        std::memcpy(out.data() + shared, p, length_ - shared);
        p += length_ - shared;
    }
}

NameRun::Reader::Reader(const NameRun& run) : run_(&run), name_(run.length_, '\0') {
    if (!done()) {
        decode();
    }
}

void NameRun::Reader::next() {
    ++index_;
    if (!done()) {
        decode();
    }
}

void NameRun::Reader::decode() {
    const size_t length = run_->length_;
    if (length == 0) {
        return;
    }
    const char* p = run_->bytes_.data() + offset_;
    if (index_ % kRestartEvery == 0) {
        std::memcpy(name_.data(), p, length);
        offset_ += length;
        return;
    }
    const auto shared = static_cast<unsigned char>(*p);
    std::memcpy(name_.data() + shared, p + 1, length - shared);
    offset_ += 1 + length - shared;
}

}  // namespace pacpick
