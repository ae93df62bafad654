// An LD_PRELOAD library for the fault sweep, never linked into the program.
//
// It stands in front of the C library's system-call wrappers and allocation
// functions that the program uses and, configured through the environment,
// logs every call with the address it came from and what it meets
// (PACPICK_FAULT_LOG=path: see log_line) and fails the calls that the targets
// in PACPICK_FAULT choose ("fn:where:offset:when:what[;...]", as README.md's
// table of targets says: see parse_target). A random failure is drawn from its
// target's seed, the site and the call's number there, so that a run replays
// the same however its threads interleave.
//
// An allocation's site is its innermost caller in the program itself (found by
// unwinding), so that one made through operator new or the C library is known
// by the code that asked for it; one with no caller in the program is known by
// its direct caller.
//
// Both variables and LD_PRELOAD itself are taken out of the environment at
// load time, so the children the program starts run without the library.
// Everything a wrapper does is async-signal-safe and allocates nothing:
// handlers call send(), and the allocation wrappers must not call themselves.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

// The C library's allocator behind the public names, reached without dlsym,
// which itself allocates.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

// The functions that can be failed, each named as PACPICK_FAULT names it; the
// allocation functions come last (see is_allocation).
// clang-format off
#define WATCHED(X)                                                                            \
    X(read) X(write) X(open) X(close) X(poll) X(recv) X(send) X(sigaction) X(waitpid)         \
    X(epoll_create1) X(epoll_ctl) X(epoll_wait) X(eventfd) X(timerfd_create) X(pipe2)  \
    X(socketpair) X(posix_spawnp) X(posix_spawn_file_actions_adddup2) X(pidfd_open)           \
    X(tcgetattr) X(tcsetattr) X(ioctl) X(isatty) X(pthread_create) X(malloc) X(calloc)        \
    X(realloc) X(aligned_alloc) X(memalign) X(posix_memalign)
// clang-format on
#define ENUMERATOR(name) k_##name,
#define NAME(name) #name,
enum Function { WATCHED(ENUMERATOR) kFunctionCount, kAnyAllocation = kFunctionCount };
const char* const kFunctionNames[] = {WATCHED(NAME)};

bool is_allocation(int function) {
    return function >= k_malloc && function < kFunctionCount;
}

/// One loaded object's code, for turning a return address into something that
/// stays the same from run to run: the object's file name and an offset.
struct LoadedObject {
    uintptr_t base = 0;
    uintptr_t start = 0;
    uintptr_t end = 0;
    char name[128] = {};
};

constexpr int kMaxObjects = 64;
LoadedObject g_objects[kMaxObjects];
int g_object_count = 0;
const LoadedObject* g_program = nullptr;  // the executable itself

/// What a wrapper does with one call: passes it on, or fails it with an errno,
/// lets a read or write move a single byte, or has a read find the end of input.
struct Outcome {
    int error = 0;
    bool shorten = false;
    bool end_of_input = false;

    bool fails() const { return error != 0; }
};

/// One target of PACPICK_FAULT: which calls it watches and which of them fail.
struct Target {
    int function = -1;  // a Function, or kAnyAllocation
    bool any_site = false;
    uintptr_t site = 0;        // absolute return address, unless any_site
    char meets[64] = {};       // non-empty: only the calls that meet this (see Meets)
    long first = 0, last = 0;  // the calls that fail, counted from 1
    int percent = -1;          // 0 to 100 for random failures, else -1
    uint64_t seed = 0;
    Outcome outcomes[32];
    int outcome_count = 0;
    std::atomic<long> seen{0};
};

constexpr int kMaxTargets = 48;
Target g_targets[kMaxTargets];
int g_target_count = 0;
int g_log = -1;
// Set once the constructor has read the configuration: an allocation made
// before that (by another library's initialiser) is neither counted nor failed,
// in a counting run and an injection run alike.
std::atomic<bool> g_ready{false};
// Set while this thread is inside the library's own bookkeeping, so that
// anything that allocates on the way (the unwinder should not) passes through.
__attribute__((tls_model("initial-exec"))) thread_local bool t_inside = false;

using SyscallFn = long (*)(long, ...);
SyscallFn g_real_syscall = nullptr;

void* real(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

/// The C library's own function behind each wrapper, found when the library is
/// loaded so that no wrapper looks anything up inside a signal handler. A call
/// made before that (from another library's initialiser) looks it up itself.
void* g_real[kFunctionCount] = {};

void* real_function(int function) {
    void* found = __atomic_load_n(&g_real[function], __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = real(kFunctionNames[function]);
        __atomic_store_n(&g_real[function], found, __ATOMIC_RELEASE);
    }
    return found;
}

#define REAL(name) reinterpret_cast<decltype(&::name)>(real_function(k_##name))

void copy_text(char* to, size_t room, const char* from) {
    size_t n = 0;
    for (; from[n] != '\0' && n + 1 < room; ++n) {
        to[n] = from[n];
    }
    to[n] = '\0';
}

const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int note_object(dl_phdr_info* info, size_t, void*) {
    if (g_object_count == kMaxObjects) {
        return 1;
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD || (header.p_flags & PF_X) == 0) {
            continue;
        }
        LoadedObject& object = g_objects[g_object_count++];
        object.base = info->dlpi_addr;
        object.start = info->dlpi_addr + header.p_vaddr;
        object.end = object.start + header.p_memsz;
        const char* name = info->dlpi_name[0] != '\0' ? base_name(info->dlpi_name) : "";
        if (name[0] == '\0') {
            // The executable itself has no name here: ask the kernel for it.
            char path[PATH_MAX];
            const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
            path[n > 0 ? n : 0] = '\0';
            name = base_name(path);
            g_program = &object;
        }
        copy_text(object.name, sizeof object.name, name);
        break;
    }
    return 0;
}

const LoadedObject* object_of(uintptr_t address) {
    for (int i = 0; i < g_object_count; ++i) {
        if (address >= g_objects[i].start && address < g_objects[i].end) {
            return &g_objects[i];
        }
    }
    return nullptr;
}

/// An address as an offset into its object, the same in every run.
uintptr_t offset_of(uintptr_t address) {
    const LoadedObject* object = object_of(address);
    return address - (object != nullptr ? object->base : 0);
}

/// Appends text and a number to a fixed buffer, without the allocating and
/// locking printf family, which a signal handler may not call.
struct Line {
    char text[512];
    size_t length = 0;

    void add(const char* part) {
        while (*part != '\0' && length < sizeof text - 1) {
            text[length++] = *part++;
        }
    }
    const char* c_str() {
        text[length] = '\0';
        return text;
    }
    void add_number(unsigned long value, unsigned base) {
        char digits[32];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        while (count > 0 && length < sizeof text - 1) {
            text[length++] = digits[--count];
        }
    }
};

/// What one call meets, in the words of sweep.py's failure table: for a call
/// on a descriptor the kind of descriptor ("terminal", "non-blocking pipe",
/// "eventfd", "epoll", "file", ...), else what the wrapper says matters to the
/// call (open's path, epoll_ctl's operation, whether waitpid or poll waits);
/// empty when nothing does. Worked out at most once, and only when asked.
struct Meets {
    int fd;
    const char* given;
    char text[96] = {};
    bool known = false;

    explicit Meets(int descriptor = -1, const char* what = nullptr) : fd(descriptor), given(what) {}
    const char* get();
};

/// A descriptor's kind, from its /proc/self/fd link ("/dev/pts/3",
/// "pipe:[123]", "anon_inode:[eventfd]"), with "non-blocking " before it when
/// it is. A terminal's flag is shared with every program on the terminal and
/// may change at any time, so it is not told.
void describe_descriptor(int fd, Line& out) {
    Line path;
    path.add("/proc/self/fd/");
    path.add_number(static_cast<unsigned long>(fd), 10);
    char link[256];
    const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) {
        out.add("closed");
        return;
    }
    link[n] = '\0';
    static const struct {
        const char* link_start;
        const char* kind;
    } kKinds[] = {
        {"/dev/pts/", "terminal"},
        {"/dev/tty", "terminal"},
        {"/dev/console", "terminal"},
        {"/dev/null", "/dev/null"},
        {"/", "file"},
        {"pipe:", "pipe"},
        {"socket:", "socket"},
        {"anon_inode:[eventfd]", "eventfd"},
        {"anon_inode:[timerfd]", "timerfd"},
        {"anon_inode:[eventpoll]", "epoll"},
        {"anon_inode:[pidfd]", "pidfd"},
        {"pidfd:", "pidfd"},
    };
    const char* kind = link;
    for (const auto& known : kKinds) {
        if (strncmp(link, known.link_start, strlen(known.link_start)) == 0) {
            kind = known.kind;
            break;
        }
    }
    const int flags = fcntl(fd, F_GETFL);
    if (strcmp(kind, "terminal") != 0 && flags >= 0 && (flags & O_NONBLOCK) != 0) {
        out.add("non-blocking ");
    }
    out.add(kind);
}

const char* Meets::get() {
    if (!known) {
        known = true;
        Line line;
        if (given != nullptr) {
            line.add(given);
        } else if (fd >= 0) {
            describe_descriptor(fd, line);
        }
        copy_text(text, sizeof text, line.c_str());
    }
    return text;
}

/// One line per call: what happened (call or fired), the function, the site
/// as object and offset, the call's number among those its target watches, the
/// descriptor (-1 for none), for a fault fired what it did (an errno number,
/// "short" or "eof"), and what the call met.
void log_line(const char* kind, int function, uintptr_t caller, long nth, Meets& meets,
              const Outcome* outcome) {
    if (g_log < 0) {
        return;
    }
    const int saved = errno;
    Line line;
    line.add(kind);
    line.add("\t");
    line.add(kFunctionNames[function]);
    line.add("\t");
    const LoadedObject* object = object_of(caller);
    line.add(object != nullptr ? object->name : "?");
    line.add("\t0x");
    line.add_number(offset_of(caller), 16);
    line.add("\t");
    line.add_number(static_cast<unsigned long>(nth), 10);
    line.add("\t");
    if (meets.fd < 0) {
        line.add("-1");
    } else {
        line.add_number(static_cast<unsigned long>(meets.fd), 10);
    }
    line.add("\t");
    if (outcome != nullptr && outcome->shorten) {
        line.add("short");
    } else if (outcome != nullptr && outcome->end_of_input) {
        line.add("eof");
    } else if (outcome != nullptr) {
        line.add_number(static_cast<unsigned long>(outcome->error), 10);
    }
    line.add("\t");
    line.add(meets.get());
    line.add("\n");
    REAL(write)(g_log, line.text, line.length);
    errno = saved;
}

uint64_t mix(uint64_t value) {
    value += 0x9e3779b97f4a7c15;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9;
    value = (value ^ (value >> 27)) * 0x94d049bb133111eb;
    return value ^ (value >> 31);
}

/// Calls counted per (function, site), for random failures that depend on
/// where a call comes from and how many came from there before, not on how
/// the threads happened to interleave.
struct SiteCount {
    std::atomic<uint64_t> key{0};
    std::atomic<long> calls{0};
};
constexpr int kSiteSlots = 4096;
SiteCount g_site_counts[kSiteSlots];

long count_at_site(int function, uintptr_t caller) {
    const uint64_t key = (static_cast<uint64_t>(caller) << 6) | static_cast<uint64_t>(function);
    for (uint64_t probe = mix(key);; ++probe) {
        SiteCount& slot = g_site_counts[probe % kSiteSlots];
        uint64_t seen = slot.key.load();
        if (seen == 0 && slot.key.compare_exchange_strong(seen, key)) {
            seen = key;
        }
        if (seen == key) {
            return slot.calls.fetch_add(1) + 1;
        }
    }
}

bool watches(const Target& target, int function, uintptr_t caller, Meets& meets) {
    if (target.function != function &&
        !(target.function == kAnyAllocation && is_allocation(function))) {
        return false;
    }
    if (!target.any_site && target.site != caller) {
        return false;
    }
    return target.meets[0] == '\0' || strcmp(meets.get(), target.meets) == 0;
}

/// Decides one call of `function` from `caller` that meets `meets`, and logs it.
Outcome decide(int function, uintptr_t caller, Meets meets) {
    long nth = 0;
    long site_nth = 0;
    for (int i = 0; i < g_target_count; ++i) {
        Target& target = g_targets[i];
        if (!watches(target, function, caller, meets)) {
            continue;
        }
        nth = target.seen.fetch_add(1) + 1;
        uint64_t draw = mix(static_cast<uint64_t>(nth));
        bool fails = nth >= target.first && nth <= target.last;
        if (target.percent >= 0) {
            if (site_nth == 0) {
                site_nth = count_at_site(function, caller);
            }
            draw = mix(target.seed ^ mix(offset_of(caller) ^ mix(static_cast<uint64_t>(site_nth))));
            fails = static_cast<int>(draw % 100) < target.percent;
        }
        if (!fails || target.outcome_count == 0) {
            continue;
        }
        const Outcome& outcome = target.outcomes[(draw >> 32) % target.outcome_count];
        log_line("fired", function, caller, nth, meets, &outcome);
        return outcome;
    }
    log_line("call", function, caller, nth, meets, nullptr);
    return {};
}

_Unwind_Reason_Code find_program_frame(_Unwind_Context* context, void* found) {
    const uintptr_t address = _Unwind_GetIP(context);
    if (address >= g_program->start && address < g_program->end) {
        *static_cast<uintptr_t*>(found) = address;
        return _URC_END_OF_STACK;
    }
    return _URC_NO_REASON;
}

/// Decides one allocation: nothing is counted or failed before the library is
/// ready or while it is busy with itself.
Outcome decide_allocation(int function, void* return_address) {
    if (!g_ready.load(std::memory_order_acquire) || t_inside) {
        return {};
    }
    t_inside = true;
    auto caller = reinterpret_cast<uintptr_t>(return_address);
    if (g_program != nullptr) {
        _Unwind_Backtrace(find_program_frame, &caller);
    }
    const Outcome outcome = decide(function, caller, Meets());
    t_inside = false;
    return outcome;
}

/// Reads one "fn:where:offset:when:what" target; false if it is malformed.
bool parse_target(char* text, Target& target) {
    char* fields[5];
    int count = 0;
    char* rest = text;
    for (char* field; count < 5 && (field = strsep(&rest, ":")) != nullptr;) {
        fields[count++] = field;
    }
    if (count != 5) {
        return false;
    }
    if (strcmp(fields[0], "alloc") == 0) {
        target.function = kAnyAllocation;
    }
    for (int f = 0; f < kFunctionCount; ++f) {
        if (strcmp(fields[0], kFunctionNames[f]) == 0) {
            target.function = f;
        }
    }
    const uintptr_t offset = static_cast<uintptr_t>(strtoul(fields[2], nullptr, 16));
    if (char* at = strchr(fields[1], '@')) {
        *at = '\0';
        copy_text(target.meets, sizeof target.meets, at + 1);
    }
    target.any_site = strcmp(fields[1], "*") == 0;
    for (int i = 0; i < g_object_count && !target.any_site; ++i) {
        if (strcmp(g_objects[i].name, fields[1]) == 0 &&
            g_objects[i].base + offset >= g_objects[i].start &&
            g_objects[i].base + offset < g_objects[i].end) {
            target.site = g_objects[i].base + offset;
        }
    }
    char* end = nullptr;
    const long number = strtol(fields[3], &end, 10);
    target.first = target.last = number;
    if (*end == '+') {
        target.last = LONG_MAX;
    } else if (*end == '-') {
        target.last = strtol(end + 1, nullptr, 10);
    } else if (*end == '%') {
        target.percent = static_cast<int>(number);
        target.seed = strtoull(end + 1, nullptr, 10);
    }
    char* choices = fields[4];
    for (char* choice; target.outcome_count < 32 && (choice = strsep(&choices, ",")) != nullptr;) {
        Outcome& outcome = target.outcomes[target.outcome_count++];
        if (strcmp(choice, "short") == 0) {
            outcome.shorten = true;
        } else if (strcmp(choice, "eof") == 0) {
            outcome.end_of_input = true;
        } else {
            outcome.error = static_cast<int>(strtol(choice, nullptr, 10));
        }
    }
    return target.function >= 0;
}

void parse_targets(const char* text) {
    char copy[4096];
    copy_text(copy, sizeof copy, text);
    char* rest = copy;
    for (char* one; g_target_count < kMaxTargets && (one = strsep(&rest, ";")) != nullptr;) {
        if (parse_target(one, g_targets[g_target_count])) {
            ++g_target_count;
        }
    }
}

__attribute__((constructor)) void start() {
    g_real_syscall = reinterpret_cast<SyscallFn>(real("syscall"));
    for (int f = 0; f < kFunctionCount; ++f) {
        if (f != k_pidfd_open && !is_allocation(f)) {
            g_real[f] = real(kFunctionNames[f]);
        }
    }
    dl_iterate_phdr(note_object, nullptr);
    if (const char* path = getenv("PACPICK_FAULT_LOG")) {
        g_log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    if (const char* targets = getenv("PACPICK_FAULT")) {
        parse_targets(targets);
    }
    unsetenv("PACPICK_FAULT");
    unsetenv("PACPICK_FAULT_LOG");
    unsetenv("LD_PRELOAD");
    g_ready.store(true, std::memory_order_release);
}

/// Decides the call the wrapper was called for, meeting `meets` (a Meets).
#define DECIDE(name, meets) \
    const Outcome outcome = \
        decide(k_##name, reinterpret_cast<uintptr_t>(__builtin_return_address(0)), meets)
#define DECIDE_ALLOCATION(name) \
    const Outcome outcome = decide_allocation(k_##name, __builtin_return_address(0))

/// Fails the call as the kernel would: -1 with errno set.
#define FAIL_IF_CHOSEN()       \
    if (outcome.fails()) {     \
        errno = outcome.error; \
        return -1;             \
    }

/// The whole body of a wrapper that fails its call as the kernel would, or
/// passes it on to the C library with the arguments that follow `meets`.
#define FAIL_OR_PASS(name, meets, ...) \
    DECIDE(name, meets);               \
    FAIL_IF_CHOSEN();                  \
    return REAL(name)(__VA_ARGS__)

/// The same for a function that returns its error instead of setting errno.
#define FAIL_OR_PASS_RETURNING_ERROR(name, ...) \
    DECIDE(name, Meets());                      \
    if (outcome.fails()) {                      \
        return outcome.error;                   \
    }                                           \
    return REAL(name)(__VA_ARGS__)

/// The same for an allocation, which fails as the C library's does: a null
/// pointer with errno set.
#define FAIL_OR_ALLOCATE(name, allocation) \
    DECIDE_ALLOCATION(name);               \
    if (outcome.fails()) {                 \
        errno = outcome.error;             \
        return nullptr;                    \
    }                                      \
    return allocation

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) {
    DECIDE(read, Meets(fd));
    FAIL_IF_CHOSEN();
    if (outcome.end_of_input) {
        return 0;
    }
    return REAL(read)(fd, buffer, outcome.shorten && count > 1 ? 1 : count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    DECIDE(write, Meets(fd));
    FAIL_IF_CHOSEN();
    return REAL(write)(fd, buffer, outcome.shorten && count > 1 ? 1 : count);
}

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    FAIL_OR_PASS(open, Meets(-1, path), path, flags, mode);
}

int close(int fd) {
    DECIDE(close, Meets(fd));  // before the descriptor is gone
    // Linux releases the descriptor even when close reports an error.
    const int result = REAL(close)(fd);
    FAIL_IF_CHOSEN();
    return result;
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    FAIL_OR_PASS(poll, Meets(-1, timeout == 0 ? "no wait" : "wait"), fds, count, timeout);
}

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
    FAIL_OR_PASS(recv, Meets(fd), fd, buffer, length, flags);
}

ssize_t send(int fd, const void* buffer, size_t length, int flags) {
    FAIL_OR_PASS(send, Meets(fd), fd, buffer, length, flags);
}

int sigaction(int signal_number, const struct sigaction* action, struct sigaction* old) {
    FAIL_OR_PASS(sigaction, Meets(), signal_number, action, old);
}

pid_t waitpid(pid_t pid, int* status, int options) {
    const char* waits = (options & WNOHANG) != 0 ? "no wait" : "wait";
    FAIL_OR_PASS(waitpid, Meets(-1, waits), pid, status, options);
}

int epoll_create1(int flags) {
    FAIL_OR_PASS(epoll_create1, Meets(), flags);
}

// Logged with the descriptor it adds, changes or removes, and meeting what it
// does with it.
int epoll_ctl(int epoll_fd, int op, int fd, epoll_event* event) {
    const char* what = op == EPOLL_CTL_ADD ? "add" : op == EPOLL_CTL_MOD ? "modify" : "remove";
    FAIL_OR_PASS(epoll_ctl, Meets(fd, what), epoll_fd, op, fd, event);
}

int epoll_wait(int epoll_fd, epoll_event* events, int max_events, int timeout) {
    FAIL_OR_PASS(epoll_wait, Meets(epoll_fd), epoll_fd, events, max_events, timeout);
}

int eventfd(unsigned int initial, int flags) {
    FAIL_OR_PASS(eventfd, Meets(), initial, flags);
}

int timerfd_create(int clock, int flags) {
    FAIL_OR_PASS(timerfd_create, Meets(), clock, flags);
}

int pipe2(int fds[2], int flags) {
    FAIL_OR_PASS(pipe2, Meets(), fds, flags);
}

int socketpair(int domain, int type, int protocol, int fds[2]) {
    FAIL_OR_PASS(socketpair, Meets(), domain, type, protocol, fds);
}

int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
    FAIL_OR_PASS_RETURNING_ERROR(posix_spawnp, pid, file, actions, attributes, argv, envp);
}

int posix_spawn_file_actions_adddup2(posix_spawn_file_actions_t* actions, int fd, int target) {
    FAIL_OR_PASS_RETURNING_ERROR(posix_spawn_file_actions_adddup2, actions, fd, target);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*body)(void*),
                   void* argument) {
    FAIL_OR_PASS_RETURNING_ERROR(pthread_create, thread, attributes, body, argument);
}

// Only pidfd_open is watched among the raw system calls; the rest pass
// through with all six argument registers as they came.
long syscall(long number, ...) {
    if (g_real_syscall == nullptr) {
        g_real_syscall = reinterpret_cast<SyscallFn>(real("syscall"));
    }
    va_list arguments;
    va_start(arguments, number);
    long a[6];
    for (long& argument : a) {
        argument = va_arg(arguments, long);
    }
    va_end(arguments);
    if (number == SYS_pidfd_open) {
        DECIDE(pidfd_open, Meets());
        FAIL_IF_CHOSEN();
    }
    return g_real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int tcgetattr(int fd, termios* attributes) {
    FAIL_OR_PASS(tcgetattr, Meets(fd), fd, attributes);
}

int tcsetattr(int fd, int when, const termios* attributes) {
    FAIL_OR_PASS(tcsetattr, Meets(fd), fd, when, attributes);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    FAIL_OR_PASS(ioctl, Meets(fd), fd, request, argument);
}

// isatty answers 0 for "no" as well as for a failure, with errno telling which.
int isatty(int fd) {
    DECIDE(isatty, Meets(fd));
    if (outcome.fails()) {
        errno = outcome.error;
        return 0;
    }
    return REAL(isatty)(fd);
}

// operator new and the C library's own allocations come through these, the
// aligned operator new through aligned_alloc. A failed realloc leaves the
// block as it was.
void* malloc(size_t size) {
    FAIL_OR_ALLOCATE(malloc, __libc_malloc(size));
}

void* calloc(size_t count, size_t size) {
    FAIL_OR_ALLOCATE(calloc, __libc_calloc(count, size));
}

void* realloc(void* pointer, size_t size) {
    FAIL_OR_ALLOCATE(realloc, __libc_realloc(pointer, size));
}

void* aligned_alloc(size_t alignment, size_t size) {
    FAIL_OR_ALLOCATE(aligned_alloc, __libc_memalign(alignment, size));
}

void* memalign(size_t alignment, size_t size) {
    FAIL_OR_ALLOCATE(memalign, __libc_memalign(alignment, size));
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    DECIDE_ALLOCATION(posix_memalign);
    if (outcome.fails()) {
        return outcome.error;
    }
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) {
        return ENOMEM;
    }
    *result = block;
    return 0;
}

}  // extern "C"
