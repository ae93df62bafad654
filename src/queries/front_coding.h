#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "queries/byte_buffer.h"

namespace pacpick::front_coding {

/// The encoding of a run of names of one length, shared by the runs a search
/// builds and the list it hands over, so that a run moves into a list as its
/// bytes are. The k-th name of a run (from 0) is kept whole when k is a
/// multiple of `kRestartEvery`; otherwise as one byte, the count of leading
/// bytes it shares with the name before it, followed by the bytes after those.

/// How often a name is kept whole: reading any name decodes at most 15 others.
inline constexpr size_t kRestartEvery = 16;

/// The shared count is one byte, so longer shared beginnings are cut to this.
inline constexpr size_t kMostShared = 255;

/// How many leading bytes `a` and `b`, of one length, have in common.
inline size_t shared_prefix(std::string_view a, std::string_view b) {
    size_t shared = 0;
    while (shared < a.size() && a[shared] == b[shared]) {
        ++shared;
    }
    return shared;
}

/// Appends the `index`-th name of a run to `bytes`. `last` holds the name
/// before it, of which `name` shares `shared` leading bytes (both are ignored
/// for a name kept whole), and is left holding `name`.
inline void append(ByteBuffer& bytes, size_t index, std::string_view name, size_t shared,
                   std::string& last) {
    if (index % kRestartEvery == 0) {
        bytes.append(name);
        last.assign(name);
        return;
    }
    shared = std::min(shared, kMostShared);
    bytes.push_back(static_cast<char>(shared));
    bytes.append(name.substr(shared));
    // Only the bytes after the shared ones differ from the last name.
    last.replace(shared, name.size() - shared, name.substr(shared));
}

/// Decodes the `index`-th name of a run of `length`-byte names, encoded at
/// `at`, into `name`, which holds the name before it unless `index` is kept
/// whole. Gives where the next name's encoding starts.
inline const char* decode(const char* at, size_t index, size_t length, char* name) {
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

/// Decodes the `index`-th name of a run of `length`-byte names into `name`
/// (`length` bytes of room), starting from the name kept whole before it,
/// whose encoding begins at `restart`.
inline void decode_from_restart(const char* restart, size_t index, size_t length, char* name) {
    for (size_t k = index - index % kRestartEvery; k <= index; ++k) {
        restart = decode(restart, k, length, name);
    }
}

}  // namespace pacpick::front_coding
