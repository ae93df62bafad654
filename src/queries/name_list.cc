#include "queries/name_list.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace pacpick {

std::string NameList::operator[](size_t index) const {
    // The run holding `index` is the last one starting at or before it.
    auto after = std::upper_bound(parts_.begin(), parts_.end(), index,
                                  [](size_t i, const Part& part) { return i < part.first; });
    const Part& part = *std::prev(after);
    return part.run[index - part.first];
}

void NameList::push_back(std::string_view name) {
    if (parts_.empty() || parts_.back().run.length() != name.size()) {
        parts_.push_back(Part{size_, NameRun(name.size())});
    }
    parts_.back().run.push_back(name);
    ++size_;
}

void NameList::append(NameRun&& run) {
    if (!run.empty()) {
        const size_t added = run.size();
        parts_.push_back(Part{size_, std::move(run)});
        size_ += added;
    }
}

void NameList::clear() {
    std::vector<Part>().swap(parts_);
    size_ = 0;
}

}  // namespace pacpick
