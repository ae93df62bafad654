#include "queries/display_order.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace pacpick {

namespace {

// Up to this many runs are merged in one pass, each name decoded and encoded
// once; a repository is one run, and few systems have more repositories.
constexpr size_t kMergedAtOnce = 8;

/// The names of a few ascending runs of one length, in ascending order and
/// each once, added to `out`.
void merge(std::span<const NameList> runs, NameList& out) {
    std::vector<NameList::Reader> readers(runs.begin(), runs.end());
    const size_t length = readers.front().name().size();
    for (;;) {
        NameList::Reader* least = nullptr;
        for (NameList::Reader& reader : readers) {
            if (!reader.done() &&
                (least == nullptr ||
                 std::memcmp(reader.name().data(), least->name().data(), length) < 0)) {
                least = &reader;
            }
        }
        if (least == nullptr) {
            return;
        }
        out.push_back(least->name());
        // The same name from other repositories goes with it.
        for (NameList::Reader& reader : readers) {
            if (&reader != least && !reader.done() &&
                std::memcmp(reader.name().data(), least->name().data(), length) == 0) {
                reader.next();
            }
        }
        least->next();
    }
}

/// Adds the names of all `runs`, of one length, to `list` in ascending order
/// and each once: a lone run as its bytes are, a few in one merging pass, more
/// (only a listing out of order has more) a few at a time until few are left.
void add_merged(std::vector<NameList>& runs, NameList& list) {
    while (runs.size() > kMergedAtOnce) {
        std::vector<NameList> merged;
        for (size_t i = 0; i < runs.size(); i += kMergedAtOnce) {
            const size_t count = std::min(kMergedAtOnce, runs.size() - i);
            merged.emplace_back();
            merge(std::span(runs).subspan(i, count), merged.back());
            for (size_t k = i; k < i + count; ++k) {
                runs[k] = NameList();  // gives its memory back before the next merge
            }
        }
        runs = std::move(merged);
    }
    if (runs.size() == 1) {
        list.append(runs.front());
    } else {
        merge(runs, list);
    }
}

}  // namespace

void DisplayOrderBuilder::add(std::string_view name) {
    if (name.empty()) {
        return;
    }
    if (runs_by_length_.size() <= name.size()) {
        runs_by_length_.resize(name.size() + 1);
    }
    std::vector<NameList>& runs = runs_by_length_[name.size()];
    // A name listed twice in a row is dropped here; one that sorts before its
    // predecessor starts the next run.
    if (runs.empty() || runs.back().push_back_if_after(name) == NameList::Placed::Before) {
        runs.emplace_back();
        runs.back().push_back(name);
    }
}

NameList DisplayOrderBuilder::take() {
    NameList list;
    // Each length's runs go as soon as the list has their names, so the list
    // grows while the runs shrink and the two together stay near one list.
    for (std::vector<NameList>& runs : runs_by_length_) {
        if (!runs.empty()) {
            add_merged(runs, list);
            std::vector<NameList>().swap(runs);
        }
    }
    std::vector<std::vector<NameList>>().swap(runs_by_length_);
    return list;
}

}  // namespace pacpick
