#include "process/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "process/interrupt_shield.h"

namespace pacpick::process {

namespace {

constexpr int kStreams = 3;

Error nul_byte_error() {
    return Error::custom(ErrorKind::InvalidInput, "nul byte found in provided data");
}

bool contains_nul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

/// One stream as prepared for a child: the end it receives as descriptor 0, 1
/// or 2, and for a pipe the end the program keeps. The program's own 0 to 2
/// are open (the entry sees to it), so neither end is ever a standard number
/// that the dup2 of another stream would overwrite.
struct PreparedStream {
    UniqueFd child_end;
    UniqueFd program_end;
};

Result<PreparedStream> prepare_stream(StdioMode mode, int target) {
    PreparedStream stream;
    switch (mode) {
        case StdioMode::Inherit:
            return stream;
        case StdioMode::Null: {
            const int flags = (target == STDIN_FILENO ? O_RDONLY : O_WRONLY) | O_CLOEXEC;
            stream.child_end.reset(::open("/dev/null", flags));
            if (!stream.child_end.valid()) {
                return Error::last_os_error();
            }
            break;
        }
        case StdioMode::Piped: {
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) != 0) {
                return Error::last_os_error();
            }
            // The child reads its stdin and writes the others.
            const bool child_reads = target == STDIN_FILENO;
            stream.child_end.reset(fds[child_reads ? 0 : 1]);
            stream.program_end.reset(fds[child_reads ? 1 : 0]);
            break;
        }
    }
    return stream;
}

/// Gives a posix_spawn object (file actions or attributes) back when the start
/// is over. Making one only clears it, which cannot fail.
template <typename T>
using SpawnObjectGuard = std::unique_ptr<T, int (*)(T*)>;

/// The program's environment with `changes` applied, as the strings a child's
/// environment block points into; same-named entries are replaced, not doubled.
/// A name that is empty or holds "=", or any NUL byte, fails without a block.
Result<std::vector<std::string>> changed_environment(
    const std::vector<EnvironmentChange>& changes) {
    for (const auto& change : changes) {
        if (change.name.empty() || change.name.find('=') != std::string::npos) {
            return Error::custom(ErrorKind::InvalidInput, "invalid environment variable name");
        }
        if (contains_nul(change.name) || (change.value && contains_nul(*change.value))) {
            return nul_byte_error();
        }
    }
    auto changed = [&changes](std::string_view entry) {
        const std::string_view name = entry.substr(0, entry.find('='));
        return std::ranges::any_of(changes,
                                   [name](const auto& change) { return change.name == name; });
    };
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!changed(*entry)) {
            entries.emplace_back(*entry);
        }
    }
    for (const auto& change : changes) {
        if (change.value) {
            entries.push_back(change.name + "=" + *change.value);
        }
    }
    return entries;
}

}  // namespace

Result<SpawnedChild> spawn_child(const ChildCommand& command) {
    if (contains_nul(command.program)) {
        return nul_byte_error();
    }
    std::vector<char*> argv;
    argv.reserve(command.arguments.size() + 2);
    argv.push_back(const_cast<char*>(command.program.c_str()));
    for (const auto& argument : command.arguments) {
        if (contains_nul(argument)) {
            return nul_byte_error();
        }
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    // Most children get the program's own environment as it is.
    std::vector<std::string> environment_entries;
    std::vector<char*> envp;
    if (!command.environment.empty()) {
        auto entries = changed_environment(command.environment);
        if (!entries) {
            return std::move(entries).error();
        }
        environment_entries = std::move(entries).value();
        envp.reserve(environment_entries.size() + 1);
        for (auto& entry : environment_entries) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
    }

    const std::array<StdioMode, kStreams> modes = {command.stdin_mode, command.stdout_mode,
                                                   command.stderr_mode};
    std::array<PreparedStream, kStreams> streams;
    for (int target = 0; target < kStreams; ++target) {
        auto prepared = prepare_stream(modes[target], target);
        if (!prepared) {
            return std::move(prepared).error();  // streams prepared so far close here
        }
        streams[target] = std::move(prepared).value();
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const SpawnObjectGuard<posix_spawn_file_actions_t> actions_guard(
        &actions, posix_spawn_file_actions_destroy);
    for (int target = 0; target < kStreams; ++target) {
        if (streams[target].child_end.valid()) {
            if (const int rc = posix_spawn_file_actions_adddup2(
                    &actions, streams[target].child_end.get(), target);
                rc != 0) {
                return Error::os(rc);
            }
        }
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    const SpawnObjectGuard<posix_spawnattr_t> attributes_guard(&attributes,
                                                               posix_spawnattr_destroy);
    // The program ignores SIGPIPE, so that its own writes fail with EPIPE, and
    // may ignore the keyboard's signals while a foreground command runs.
    // Ignored and blocked signals survive exec, so the child gets the defaults
    // back and starts with none blocked, whatever the starting thread blocks.
    // Setting valid sets and flags cannot fail.
    const ChildSignalDefaults defaults;  // held until the child has started
    posix_spawnattr_setsigdefault(&attributes, &defaults.signals());
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, command.program.c_str(), &actions, &attributes, argv.data(),
                                envp.empty() ? environ : envp.data());
    if (rc != 0) {
        return Error::os(rc);
    }
    // The child's ends close when `streams` goes out of scope: from here on only
    // the child holds them, so end of file arrives when the child closes its own.
    return SpawnedChild{pid, std::move(streams[0].program_end), std::move(streams[1].program_end),
                        std::move(streams[2].program_end)};
}

}  // namespace pacpick::process
