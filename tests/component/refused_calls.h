#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <ucontext.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <initializer_list>
#include <vector>

namespace pacpick::testing {

#if defined(__x86_64__)
inline constexpr unsigned kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
inline constexpr unsigned kAuditArch = AUDIT_ARCH_AARCH64;
#else
inline constexpr unsigned kAuditArch = 0;
#endif

/// Makes the kernel answer EPERM to each of the system calls `numbers` for the
/// calling thread and every thread or process it starts later, as the seccomp
/// profiles of containers and service managers do, or give them another
/// seccomp `answer`. Meant for a forked child: it cannot be undone. False when
/// the filter could not be installed.
inline bool refuse_system_calls(std::initializer_list<long> numbers,
                                unsigned answer = SECCOMP_RET_ERRNO | EPERM) {
    if (kAuditArch == 0) {
        return false;
    }
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    for (long number : numbers) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, answer));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog, 0, 0) == 0;
}

namespace detail {
inline std::atomic<unsigned> g_refused_calls{0};
inline std::atomic<int> g_refusal{0};

// The kernel traps the call without making it and hands its registers here:
// the call's result is set to the refusal, as a kernel's own error return.
inline void refuse_trapped_call(int, siginfo_t*, void* context) {
    g_refused_calls.fetch_add(1);
    auto& registers = static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    registers.gregs[REG_RAX] = -g_refusal.load();
#elif defined(__aarch64__)
    registers.regs[0] = static_cast<unsigned long long>(-g_refusal.load());
#endif
}
}  // namespace detail

/// As `refuse_system_calls`, with `error` for the answer, and each refused call
/// counted in `refused_calls()`: the filter traps the calls, and a SIGSYS
/// handler answers them.
inline bool count_refused_calls(std::initializer_list<long> numbers, int error) {
    detail::g_refusal.store(error);
    struct sigaction action {};
    action.sa_sigaction = detail::refuse_trapped_call;
    action.sa_flags = SA_SIGINFO;
    return sigaction(SIGSYS, &action, nullptr) == 0 &&
           refuse_system_calls(numbers, SECCOMP_RET_TRAP);
}

inline unsigned refused_calls() {
    return detail::g_refused_calls.load();
}

}  // namespace pacpick::testing
