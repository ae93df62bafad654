#pragma once

#include <cassert>
#include <cstddef>
#include <utility>
#include <vector>

namespace pacpick::term {

/// A first-in first-out queue on one ring of slots that starts with a given
/// capacity and doubles when full, so a steady flow of items allocates nothing.
/// `T` must be default-constructible and movable; a freed slot holds a
/// moved-from value until it is reused.
template <typename T>
class FifoQueue {
  public:
    explicit FifoQueue(size_t initial_capacity)
        : slots_(initial_capacity == 0 ? 1 : initial_capacity) {}

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    size_t capacity() const { return slots_.size(); }

    void push_back(T item) {
        grow_if_full();
        slots_[(head_ + size_) % slots_.size()] = std::move(item);
        ++size_;
    }
    T pop_front() {
        assert(!empty());
        T item = std::move(slots_[head_]);  // the slot keeps only a moved-from shell
        head_ = (head_ + 1) % slots_.size();
        --size_;
        return item;
    }

  private:
    void grow_if_full() {
        if (size_ < slots_.size()) {
            return;
        }
        std::vector<T> larger(slots_.size() * 2);
        for (size_t i = 0; i < size_; ++i) {
            larger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        }
        slots_ = std::move(larger);
        head_ = 0;
    }

    std::vector<T> slots_;
    size_t head_ = 0;
    size_t size_ = 0;
};

}  // namespace pacpick::term
