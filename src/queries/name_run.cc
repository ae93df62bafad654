#include "queries/name_run.h"

namespace pacpick {

void NameRun::push_back(std::string_view name) {
    append_encoded(name, count_ == 0 ? 0 : front_coding::shared_prefix(name, last_));
}

NameRun::Placed NameRun::push_back_if_after(std::string_view name) {
    size_t shared = 0;
    if (count_ != 0) {
        shared = front_coding::shared_prefix(name, last_);
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
    }
    front_coding::append(bytes_, count_, name, shared, last_);
    ++count_;
}

void NameRun::read(size_t index, std::string& out) const {
    out.resize(length_);
    front_coding::decode_from_restart(bytes_.data() + restarts_[index / kRestartEvery], index,
                                      length_, out.data());
}

NameRun::Reader::Reader(const NameRun& run)
    : run_(&run), at_(run.bytes_.data()), name_(run.length_, '\0') {
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
    at_ = front_coding::decode(at_, index_, run_->length_, name_.data());
}

}  // namespace pacpick
