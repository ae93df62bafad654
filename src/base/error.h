#pragma once

#include <string>
#include <string_view>

namespace pacpick {

/// The category of a failure, named after what went wrong rather than after the
/// errno value, so callers can branch on it without knowing the platform codes.
enum class ErrorKind {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    ReadOnlyFilesystem,
    FilesystemLoop,
    InvalidInput,
    TimedOut,
    WriteZero,
    StorageFull,
    NotSeekable,
    FileTooLarge,
    ResourceBusy,
    ExecutableFileBusy,
    Deadlock,
    CrossesDevices,
    TooManyLinks,
    InvalidFilename,
    ArgumentListTooLong,
    Interrupted,
    Unsupported,
    OutOfMemory,
    Other,
    Uncategorized,
};

/// What `Error::os(ENOMEM).describe()` says, for when memory has run out and
/// that text cannot be made.
inline constexpr std::string_view kOutOfMemoryDescription =
    R"(Os { code: 12, kind: OutOfMemory, message: "Cannot allocate memory" })";

/// A failure as a value: either an operating-system error (its errno, category
/// and the system's text) or a category with a fixed message of our own. Errors
/// never travel as exceptions; `describe` is the exact text shown to the user.
class Error {
  public:
    static Error os(int code);
    /// The calling thread's current errno, read at the moment of the call.
    static Error last_os_error();
    static Error custom(ErrorKind kind, std::string message);

    ErrorKind kind() const { return kind_; }
    bool is_os() const { return os_; }
    /// The system's text for an operating-system error, or the fixed message.
    std::string message() const;

    /// `Os { code: 2, kind: NotFound, message: "No such file or directory" }`
    /// or `Error { kind: WriteZero, message: "failed to write whole buffer" }`.
    std::string describe() const;

    friend bool operator==(const Error&, const Error&) = default;

  private:
    Error(bool os, int code, ErrorKind kind, std::string message)
        : os_(os), code_(code), kind_(kind), message_(std::move(message)) {}

    bool os_;
    int code_;
    ErrorKind kind_;
    std::string message_;  // empty for operating-system errors
};

}  // namespace pacpick
