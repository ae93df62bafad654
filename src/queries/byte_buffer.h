#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

namespace pacpick {

/// A growable byte buffer for lists that may run to megabytes. Small, it lives
/// on the heap; past 32 KiB it moves to a private mapping of its own, which the
/// kernel grows in place (mremap: no copy, never two copies at once), whose
/// untouched capacity costs no memory, and which goes back to the system the
/// moment the buffer is destroyed, whichever thread built it.
class ByteBuffer {
  public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&& other) noexcept { *this = std::move(other); }
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ~ByteBuffer();

    const char* data() const { return data_; }
    size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }

    /// Throws std::bad_alloc when memory runs out, as the standard containers do.
    void append(std::string_view bytes);
    /// Empties the buffer and gives its memory back.
    void clear();

  private:
    void grow(size_t needed);

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace pacpick
