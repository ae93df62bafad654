#pragma once

// Name lists to and from plain strings: a search builds its lists in display
// order, while the screen's tests want lists in any order they choose.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "queries/name_list.h"

namespace pacpick {

inline NameList names_of(std::initializer_list<std::string_view> names) {
    NameList list;
    for (std::string_view name : names) {
        list.push_back(name);
    }
    return list;
}

inline std::vector<std::string> strings_of(const NameList& list) {
    std::vector<std::string> names;
    for (size_t i = 0; i < list.size(); ++i) {
        names.push_back(list[i]);
    }
    return names;
}

}  // namespace pacpick
