#include "queries/name_list.h"

#include <algorithm>

namespace pacpick {

NameList::NameList(std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
        push_back(name);
    }
}

std::string NameList::operator[](size_t index) const {
    // The run holding `index` is the last one starting at or before it.
    auto after = std::upper_bound(parts_.begin(), parts_.end(), index,
                                  [](size_t i, const Part& part) { return i < part.first; });
    const Part& part = *std::prev(after);
    std::string name;
    part.run.read(index - part.first, name);
    return name;
}

void NameList::push_back(std::string_view name) {
    if (parts_.empty() || parts_.back().run.length() != name.size()) {
        parts_.push_back(Part{size_, NameRun(name.size())});
    }
    parts_.back().run.push_back(name);
    size_ += 1;
}

void NameList::append(NameRun run) {
    if (run.empty()) {
        return;
    }
    const size_t count = run.size();
    parts_.push_back(Part{size_, std::move(run)});
    size_ += count;
}

void NameList::clear() {
    parts_.clear();
    size_ = 0;
}

bool operator==(const NameList& a, const NameList& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace pacpick
