#include "runtime/signal_stack.h"

#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>

namespace pacpick::rt {

namespace {

/// This thread's alternate stack, taken down when the thread ends.
struct ThreadSignalStack {
    void* base = nullptr;
    size_t size = 0;

    ~ThreadSignalStack() {
        if (base != nullptr) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
            munmap(base, size);
        }
    }
};

thread_local ThreadSignalStack t_signal_stack;

}  // namespace

void use_alternate_signal_stack() noexcept {
    stack_t current{};
    if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) {
        return;
    }
    const size_t size = std::max<size_t>(64 * 1024, SIGSTKSZ);
    void* base =
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) {
        return;
    }
    stack_t stack{};
    stack.ss_sp = base;
    stack.ss_size = size;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(base, size);
        return;
    }
    t_signal_stack.base = base;
    t_signal_stack.size = size;
}

}  // namespace pacpick::rt
