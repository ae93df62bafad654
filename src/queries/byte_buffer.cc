#include "queries/byte_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace pacpick {

namespace {

// Below this the heap serves the buffer well; above it a mapping of its own
// avoids copies on growth and leaves no hole in a thread's heap when freed.
constexpr size_t kMapFrom = 32 * 1024;

size_t page_rounded(size_t bytes) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        clear();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() {
    clear();
}

void ByteBuffer::clear() {
    if (mapped_) {
        munmap(data_, capacity_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    mapped_ = false;
}

void ByteBuffer::append(std::string_view bytes) {
    if (bytes.empty()) {
        return;
    }
    if (capacity_ - size_ < bytes.size()) {
        grow(size_ + bytes.size());
    }
    std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
}

void ByteBuffer::grow(size_t needed) {
    const size_t wanted = std::max({needed, capacity_ * 2, size_t(64)});
    if (wanted < kMapFrom) {
        void* grown = std::realloc(data_, wanted);
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<char*>(grown);
        capacity_ = wanted;
        return;
    }
    const size_t mapping = page_rounded(wanted);
    void* grown;
    if (mapped_) {
        grown = mremap(data_, capacity_, mapping, MREMAP_MAYMOVE);
    } else {
        grown = mmap(nullptr, mapping, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (grown != MAP_FAILED && size_ != 0) {
            std::memcpy(grown, data_, size_);
        }
        if (grown != MAP_FAILED) {
            std::free(data_);
        }
    }
    if (grown == MAP_FAILED) {
        throw std::bad_alloc();
    }
    data_ = static_cast<char*>(grown);
    capacity_ = mapping;
    mapped_ = true;
}

}  // namespace pacpick
