#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "queries/byte_buffer.h"
#include "queries/front_coding.h"

namespace pacpick {

/// Names of one length, in the order given, front-coded (see front_coding.h):
/// each is kept as the count of leading bytes it shares with the name before it
/// and the bytes that follow, every 16th whole. Sorted package names share long
/// beginnings ("python-", "lib"), which makes a run little more than half its
/// text. A search builds runs as it reads; its answer takes their bytes over.
class NameRun {
  public:
    /// How often a name is kept whole.
    static constexpr size_t kRestartEvery = front_coding::kRestartEvery;

    explicit NameRun(size_t length) : length_(length) {}

    size_t length() const { return length_; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    /// The name pushed last; the run must not be empty.
    std::string_view back() const { return last_; }
    /// The encoded names, and where in them each name kept whole begins.
    std::string_view encoded() const { return bytes_.view(); }
    const std::vector<size_t>& restarts() const { return restarts_; }

    /// Appends a name, which must be `length()` bytes long.
    void push_back(std::string_view name);

    /// Where a name of `length()` bytes stands against the last one pushed.
    enum class Placed { After, Same, Before };
    /// Appends `name` only if it sorts after the last name (or the run is
    /// empty); says where it stood. One pass serves both the order check and
    /// the count of shared bytes.
    Placed push_back_if_after(std::string_view name);
    /// The name at `index`, below `size()`, written into `out`.
    void read(size_t index, std::string& out) const;

    /// Reads a run front to back, one name per step, without decoding twice.
    class Reader {
      public:
        explicit Reader(const NameRun& run);
        bool done() const { return index_ == run_->count_; }
        /// The current name; valid until `next`.
        std::string_view name() const { return name_; }
        void next();

      private:
        void decode();

        const NameRun* run_;
        size_t index_ = 0;
        const char* at_;
        std::string name_;
    };

  private:
    void append_encoded(std::string_view name, size_t shared);

    size_t length_;
    size_t count_ = 0;
    ByteBuffer bytes_;
    std::vector<size_t> restarts_;  // offset of every kRestartEvery-th name
    std::string last_;
};

}  // namespace pacpick
