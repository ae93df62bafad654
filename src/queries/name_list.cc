#include "queries/name_list.h"

#include <algorithm>
#include <cstring>

#include "queries/front_coding.h"

namespace pacpick {

NameList::NameList(std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
        push_back(name);
    }
}

size_t NameList::restart_offset(size_t restart) const {
    size_t offset;
    std::memcpy(&offset, restarts_.data() + restart * sizeof offset, sizeof offset);
    return offset;
}

void NameList::add_restart(size_t offset) {
    char bytes[sizeof offset];
    std::memcpy(bytes, &offset, sizeof offset);
    restarts_.append(std::string_view(bytes, sizeof bytes));
}

std::string NameList::operator[](size_t index) const {
    // The part holding `index` is the last one starting at or before it.
    auto after = std::upper_bound(parts_.begin(), parts_.end(), index,
                                  [](size_t i, const Part& part) { return i < part.first; });
    const Part& part = *std::prev(after);
    const size_t in_part = index - part.first;
    const size_t restart = in_part / front_coding::kRestartEvery;
    std::string name(part.length, '\0');
    front_coding::decode_from_restart(bytes_.data() + restart_offset(part.restart + restart),
                                      in_part, part.length, name.data());
    return name;
}

void NameList::push_back(std::string_view name) {
    if (parts_.empty() || parts_.back().length != name.size()) {
        parts_.push_back(Part{size_, name.size(), restart_count()});
    }
    const size_t in_part = size_ - parts_.back().first;
    const size_t shared = in_part == 0 ? 0 : front_coding::shared_prefix(name, last_);
    if (in_part % front_coding::kRestartEvery == 0) {
        add_restart(bytes_.size());
    }
    front_coding::append(bytes_, in_part, name, shared, last_);
    size_ += 1;
}

void NameList::append(const NameRun& run) {
    if (run.empty()) {
        return;
    }
    const size_t base = bytes_.size();
    parts_.push_back(Part{size_, run.length(), restart_count()});
    bytes_.append(run.encoded());
    for (size_t offset : run.restarts()) {
        add_restart(base + offset);
    }
    last_.assign(run.back());
    size_ += run.size();
}

void NameList::clear() {
    parts_.clear();
    bytes_.clear();
    restarts_.clear();
    last_.clear();
    size_ = 0;
}

bool operator==(const NameList& a, const NameList& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace pacpick
