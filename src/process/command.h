#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pacpick::process {

/// How one of a child's standard streams is set up: the program's own
/// descriptor, the null device, or a new pipe whose other end the program keeps.
enum class StdioMode { Inherit, Null, Piped };

/// One change to the environment a child gets: `name` set to `value`, or taken
/// out when there is no value.
struct EnvironmentChange {
    std::string name;
    std::optional<std::string> value;
};

/// What to start: a bare program name looked up through PATH and its arguments,
/// each passed unchanged as one element of the argument vector (no shell). The
/// running operation decides the stream modes; all are inherited by default.
/// The child gets the program's environment with `environment` applied.
struct ChildCommand {
    std::string program;
    std::vector<std::string> arguments;
    StdioMode stdin_mode = StdioMode::Inherit;
    StdioMode stdout_mode = StdioMode::Inherit;
    StdioMode stderr_mode = StdioMode::Inherit;
    std::vector<EnvironmentChange> environment = {};
};

/// How a child ended: the raw wait status in the encoding of waitpid. A
/// non-zero status is an answer, not an error; callers decide what it means.
class ExitStatus {
  public:
    constexpr explicit ExitStatus(int raw) : raw_(raw) {}

    constexpr bool success() const { return raw_ == 0; }
    /// The exit code when the child exited; none when a signal ended it.
    constexpr std::optional<int> exit_code() const {
        if ((raw_ & 0x7f) != 0) {
            return std::nullopt;
        }
        return (raw_ >> 8) & 0xff;
    }

    friend bool operator==(ExitStatus, ExitStatus) = default;

  private:
    int raw_;
};

/// Everything a captured child wrote to each stream, complete and in order, and
/// how it ended. (`stdout` and `stderr` are macros in C, hence the field names.)
struct CommandOutput {
    ExitStatus status{0};
    std::string stdout_data;
    std::string stderr_data;
};

}  // namespace pacpick::process
