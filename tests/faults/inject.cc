// An LD_PRELOAD library for the fault sweep, never linked into the program.
//
// It stands in front of the C library's system-call wrappers that the program
// uses and, configured through the environment, either logs every call with
// the address it came from (a counting run) or makes one chosen call fail
// (an injection run):
//
//   PACPICK_FAULT_LOG=path    append one line per call, and one when a fault fires
//   PACPICK_FAULT=fn:object:offset:nth:what
//       the nth call of `fn` whose return address is `offset` bytes into the
//       loaded object named `object` (its file name) fails: `what` is an errno
//       number, "short" to let a read or write move a single byte, or "eof"
//       for a read that finds the end of input. An object of "*" counts calls
//       from anywhere.
//
// Both variables and LD_PRELOAD itself are taken out of the environment at
// load time, so the children the program starts run without the library.
// Everything a wrapper does is async-signal-safe: handlers call send().

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
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace {

// The functions that can be failed, each named as PACPICK_FAULT names it.
enum Function {
    k_read,
    k_write,
    k_open,
    k_close,
    k_poll,
    k_recv,
    k_send,
    k_sigaction,
    k_waitpid,
    k_epoll_create1,
    k_epoll_ctl,
    k_epoll_wait,
    k_epoll_pwait2,
    k_eventfd,
    k_eventfd_read,
    k_eventfd_write,
    k_pipe2,
    k_socketpair,
    k_posix_spawnp,
    k_posix_spawn_file_actions_adddup2,
    k_pidfd_open,
    k_tcgetattr,
    k_tcsetattr,
    k_ioctl,
    k_isatty,
    k_pthread_create,
    kFunctionCount
};

const char* const kFunctionNames[] = {
    "read",         "write",          "open",         "close",
    "poll",         "recv",           "send",         "sigaction",
    "waitpid",      "epoll_create1",  "epoll_ctl",    "epoll_wait",
    "epoll_pwait2", "eventfd",        "eventfd_read", "eventfd_write",
    "pipe2",        "socketpair",     "posix_spawnp", "posix_spawn_file_actions_adddup2",
    "pidfd_open",   "tcgetattr",      "tcsetattr",    "ioctl",
    "isatty",       "pthread_create",
};
static_assert(sizeof kFunctionNames / sizeof kFunctionNames[0] == kFunctionCount);

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

/// The one call to fail, as parsed from PACPICK_FAULT.
struct Target {
    int function = -1;
    bool any_site = false;
    uintptr_t site = 0;  // absolute return address
    long nth = 0;
    int error = 0;  // 0 with `shorten` or `end_of_input`
    bool shorten = false;
    bool end_of_input = false;
    std::atomic<long> seen{0};
};

Target g_target;
int g_log = -1;

using WriteFn = ssize_t (*)(int, const void*, size_t);
WriteFn g_real_write = nullptr;
using SyscallFn = long (*)(long, ...);
SyscallFn g_real_syscall = nullptr;

void* real(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

/// The C library's own function behind each wrapper, found when the library is
/// loaded so that no wrapper looks anything up inside a signal handler. A call
/// made before that (from another library's initialiser) looks it up itself.
void* g_real[kFunctionCount] = {};

void* real_function(Function function, const char* name) {
    void* found = __atomic_load_n(&g_real[function], __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = real(name);
        __atomic_store_n(&g_real[function], found, __ATOMIC_RELEASE);
    }
    return found;
}

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

void log_line(const char* kind, int function, uintptr_t caller, long nth, const char* what) {
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
    line.add_number(caller - (object != nullptr ? object->base : 0), 16);
    line.add("\t");
    line.add_number(static_cast<unsigned long>(nth), 10);
    line.add("\t");
    line.add(what);
    line.add("\n");
    g_real_write(g_log, line.text, line.length);
    errno = saved;
}

/// What a wrapper is to do with one call.
struct Decision {
    int error = 0;  // fail with this errno
    bool shorten = false;
    bool end_of_input = false;
    bool fails() const { return error != 0; }
};

Decision decide(Function function, void* return_address) {
    const auto caller = reinterpret_cast<uintptr_t>(return_address);
    if (g_target.function != function || (!g_target.any_site && g_target.site != caller)) {
        log_line("call", function, caller, 0, "");
        return {};
    }
    const long nth = g_target.seen.fetch_add(1) + 1;
    if (nth != g_target.nth) {
        log_line("call", function, caller, nth, "");
        return {};
    }
    Decision decision;
    decision.error = g_target.error;
    decision.shorten = g_target.shorten;
    decision.end_of_input = g_target.end_of_input;
    log_line("fired", function, caller, nth,
             decision.shorten        ? "short"
             : decision.end_of_input ? "eof"
                                     : "error");
    return decision;
}

long parse_number(const char* text, int base) {
    return strtol(text, nullptr, base);
}

/// Reads PACPICK_FAULT ("fn:object:offset:nth:what") into g_target.
void parse_target(const char* text) {
    char copy[256];
    copy_text(copy, sizeof copy, text);
    char* fields[5];
    int count = 0;
    char* rest = copy;
    for (char* field; count < 5 && (field = strsep(&rest, ":")) != nullptr;) {
        fields[count++] = field;
    }
    if (count != 5) {
        return;
    }
    for (int f = 0; f < kFunctionCount; ++f) {
        if (strcmp(fields[0], kFunctionNames[f]) == 0) {
            g_target.function = f;
        }
    }
    const uintptr_t offset = static_cast<uintptr_t>(strtoul(fields[2], nullptr, 16));
    g_target.any_site = strcmp(fields[1], "*") == 0;
    for (int i = 0; i < g_object_count && !g_target.any_site; ++i) {
        if (strcmp(g_objects[i].name, fields[1]) == 0 &&
            g_objects[i].base + offset >= g_objects[i].start &&
            g_objects[i].base + offset < g_objects[i].end) {
            g_target.site = g_objects[i].base + offset;
        }
    }
    g_target.nth = parse_number(fields[3], 10);
    if (strcmp(fields[4], "short") == 0) {
        g_target.shorten = true;
    } else if (strcmp(fields[4], "eof") == 0) {
        g_target.end_of_input = true;
    } else {
        g_target.error = static_cast<int>(parse_number(fields[4], 10));
    }
}

__attribute__((constructor)) void start() {
    g_real_write = reinterpret_cast<WriteFn>(real("write"));
    g_real_syscall = reinterpret_cast<SyscallFn>(real("syscall"));
    dl_iterate_phdr(note_object, nullptr);
    if (const char* path = getenv("PACPICK_FAULT_LOG")) {
        g_log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    for (int f = 0; f < kFunctionCount; ++f) {
        if (f != k_pidfd_open) {
            g_real[f] = real(kFunctionNames[f]);
        }
    }
    if (const char* target = getenv("PACPICK_FAULT")) {
        parse_target(target);
    }
    unsetenv("PACPICK_FAULT");
    unsetenv("PACPICK_FAULT_LOG");
    unsetenv("LD_PRELOAD");
}

#define REAL(name) \
    const auto real_##name = reinterpret_cast<decltype(&::name)>(real_function(k_##name, #name))

#define DECIDE(name) const Decision decision = decide(k_##name, __builtin_return_address(0))

/// Fails the call as the kernel would: -1 with errno set.
#define FAIL_IF_CHOSEN()        \
    if (decision.fails()) {     \
        errno = decision.error; \
        return -1;              \
    }

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) {
    REAL(read);
    DECIDE(read);
    FAIL_IF_CHOSEN();
    if (decision.end_of_input) {
        return 0;
    }
    return real_read(fd, buffer, decision.shorten && count > 1 ? 1 : count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    REAL(write);
    DECIDE(write);
    FAIL_IF_CHOSEN();
    return real_write(fd, buffer, decision.shorten && count > 1 ? 1 : count);
}

int open(const char* path, int flags, ...) {
    REAL(open);
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    DECIDE(open);
    FAIL_IF_CHOSEN();
    return real_open(path, flags, mode);
}

int close(int fd) {
    REAL(close);
    DECIDE(close);
    // Linux releases the descriptor even when close reports an error.
    const int result = real_close(fd);
    FAIL_IF_CHOSEN();
    return result;
}

int poll(pollfd* fds, nfds_t count, int timeout) {
    REAL(poll);
    DECIDE(poll);
    FAIL_IF_CHOSEN();
    return real_poll(fds, count, timeout);
}

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
    REAL(recv);
    DECIDE(recv);
    FAIL_IF_CHOSEN();
    return real_recv(fd, buffer, length, flags);
}

ssize_t send(int fd, const void* buffer, size_t length, int flags) {
    REAL(send);
    DECIDE(send);
    FAIL_IF_CHOSEN();
    return real_send(fd, buffer, length, flags);
}

int sigaction(int signal_number, const struct sigaction* action, struct sigaction* old) {
    REAL(sigaction);
    DECIDE(sigaction);
    FAIL_IF_CHOSEN();
    return real_sigaction(signal_number, action, old);
}

pid_t waitpid(pid_t pid, int* status, int options) {
    REAL(waitpid);
    DECIDE(waitpid);
    FAIL_IF_CHOSEN();
    return real_waitpid(pid, status, options);
}

int epoll_create1(int flags) {
    REAL(epoll_create1);
    DECIDE(epoll_create1);
    FAIL_IF_CHOSEN();
    return real_epoll_create1(flags);
}

int epoll_ctl(int epoll_fd, int op, int fd, epoll_event* event) {
    REAL(epoll_ctl);
    DECIDE(epoll_ctl);
    FAIL_IF_CHOSEN();
    return real_epoll_ctl(epoll_fd, op, fd, event);
}

int epoll_wait(int epoll_fd, epoll_event* events, int max_events, int timeout) {
    REAL(epoll_wait);
    DECIDE(epoll_wait);
    FAIL_IF_CHOSEN();
    return real_epoll_wait(epoll_fd, events, max_events, timeout);
}

int epoll_pwait2(int epoll_fd, epoll_event* events, int max_events, const timespec* timeout,
                 const sigset_t* mask) {
    REAL(epoll_pwait2);
    DECIDE(epoll_pwait2);
    FAIL_IF_CHOSEN();
    return real_epoll_pwait2(epoll_fd, events, max_events, timeout, mask);
}

int eventfd(unsigned int initial, int flags) {
    REAL(eventfd);
    DECIDE(eventfd);
    FAIL_IF_CHOSEN();
    return real_eventfd(initial, flags);
}

int eventfd_read(int fd, eventfd_t* value) {
    REAL(eventfd_read);
    DECIDE(eventfd_read);
    FAIL_IF_CHOSEN();
    return real_eventfd_read(fd, value);
}

int eventfd_write(int fd, eventfd_t value) {
    REAL(eventfd_write);
    DECIDE(eventfd_write);
    FAIL_IF_CHOSEN();
    return real_eventfd_write(fd, value);
}

int pipe2(int fds[2], int flags) {
    REAL(pipe2);
    DECIDE(pipe2);
    FAIL_IF_CHOSEN();
    return real_pipe2(fds, flags);
}

int socketpair(int domain, int type, int protocol, int fds[2]) {
    REAL(socketpair);
    DECIDE(socketpair);
    FAIL_IF_CHOSEN();
    return real_socketpair(domain, type, protocol, fds);
}

// The spawn and thread functions report failure as their return value.
int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                 const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
    REAL(posix_spawnp);
    DECIDE(posix_spawnp);
    if (decision.fails()) {
        return decision.error;
    }
    return real_posix_spawnp(pid, file, actions, attributes, argv, envp);
}

int posix_spawn_file_actions_adddup2(posix_spawn_file_actions_t* actions, int fd, int target) {
    REAL(posix_spawn_file_actions_adddup2);
    DECIDE(posix_spawn_file_actions_adddup2);
    if (decision.fails()) {
        return decision.error;
    }
    return real_posix_spawn_file_actions_adddup2(actions, fd, target);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*body)(void*),
                   void* argument) {
    REAL(pthread_create);
    DECIDE(pthread_create);
    if (decision.fails()) {
        return decision.error;
    }
    return real_pthread_create(thread, attributes, body, argument);
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
        DECIDE(pidfd_open);
        FAIL_IF_CHOSEN();
    }
    return g_real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int tcgetattr(int fd, termios* attributes) {
    REAL(tcgetattr);
    DECIDE(tcgetattr);
    FAIL_IF_CHOSEN();
    return real_tcgetattr(fd, attributes);
}

int tcsetattr(int fd, int when, const termios* attributes) {
    REAL(tcsetattr);
    DECIDE(tcsetattr);
    FAIL_IF_CHOSEN();
    return real_tcsetattr(fd, when, attributes);
}

int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    DECIDE(ioctl);
    FAIL_IF_CHOSEN();
    return real_ioctl(fd, request, argument);
}

// isatty answers 0 for "no" as well as for a failure, with errno telling which.
int isatty(int fd) {
    REAL(isatty);
    DECIDE(isatty);
    if (decision.fails()) {
        errno = decision.error;
        return 0;
    }
    return real_isatty(fd);
}

}  // extern "C"
