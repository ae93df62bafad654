#include "runtime/signal_stack.h"

#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace pacpick::rt {

namespace {

sigset_t g_entry_thread_only;  // written once, before any thread starts

}  // namespace

AlternateSignalStack::AlternateSignalStack() noexcept {
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
    base_ = base;
    size_ = size;
}

AlternateSignalStack::~AlternateSignalStack() {
    if (base_ != nullptr) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(base_, size_);
    }
}

void answer_on_entry_thread_only(const sigset_t& signals) {
    g_entry_thread_only = signals;
}

Result<std::thread> start_thread(std::function<void()> body) {
    // The new thread inherits the mask it is made with; this one has its own
    // back once the thread is made, or could not be.
    sigset_t own;
    pthread_sigmask(SIG_BLOCK, &g_entry_thread_only, &own);
    Result<std::thread> started = Error::os(ENOMEM);
    try {
        started = std::thread([body = std::move(body)] {
            const AlternateSignalStack signal_stack;
            body();
        });
    } catch (const std::system_error& e) {
        started = Error::os(e.code().value());
    } catch (const std::bad_alloc&) {
    }
    pthread_sigmask(SIG_SETMASK, &own, nullptr);
    return started;
}

}  // namespace pacpick::rt
