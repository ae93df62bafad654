#include "base/error.h"

#include <cerrno>
#include <cstring>

namespace pacpick {

namespace {

/// Each kind's name and the errnos that have it; an errno not listed is
/// Uncategorized. The order is the enumeration's.
struct KindEntry {
    ErrorKind kind;
    std::string_view name;
    int errnos[2];
};

constexpr KindEntry kKinds[] = {
    {ErrorKind::NotFound, "NotFound", {ENOENT}},
    {ErrorKind::PermissionDenied, "PermissionDenied", {EACCES, EPERM}},
    {ErrorKind::ConnectionRefused, "ConnectionRefused", {ECONNREFUSED}},
    {ErrorKind::ConnectionReset, "ConnectionReset", {ECONNRESET}},
    {ErrorKind::BrokenPipe, "BrokenPipe", {EPIPE}},
    {ErrorKind::AlreadyExists, "AlreadyExists", {EEXIST}},
    {ErrorKind::WouldBlock, "WouldBlock", {EAGAIN}},
    {ErrorKind::NotADirectory, "NotADirectory", {ENOTDIR}},
    {ErrorKind::IsADirectory, "IsADirectory", {EISDIR}},
    {ErrorKind::ReadOnlyFilesystem, "ReadOnlyFilesystem", {EROFS}},
    {ErrorKind::FilesystemLoop, "FilesystemLoop", {ELOOP}},
    {ErrorKind::InvalidInput, "InvalidInput", {EINVAL}},
    {ErrorKind::TimedOut, "TimedOut", {ETIMEDOUT}},
    {ErrorKind::WriteZero, "WriteZero", {}},
    {ErrorKind::StorageFull, "StorageFull", {ENOSPC}},
    {ErrorKind::NotSeekable, "NotSeekable", {ESPIPE}},
    {ErrorKind::FileTooLarge, "FileTooLarge", {EFBIG}},
    {ErrorKind::ResourceBusy, "ResourceBusy", {EBUSY}},
    {ErrorKind::ExecutableFileBusy, "ExecutableFileBusy", {ETXTBSY}},
    {ErrorKind::Deadlock, "Deadlock", {EDEADLK}},
    {ErrorKind::CrossesDevices, "CrossesDevices", {EXDEV}},
    {ErrorKind::TooManyLinks, "TooManyLinks", {EMLINK}},
    {ErrorKind::InvalidFilename, "InvalidFilename", {ENAMETOOLONG}},
    {ErrorKind::ArgumentListTooLong, "ArgumentListTooLong", {E2BIG}},
    {ErrorKind::Interrupted, "Interrupted", {EINTR}},
    {ErrorKind::Unsupported, "Unsupported", {ENOSYS}},
    {ErrorKind::OutOfMemory, "OutOfMemory", {ENOMEM}},
    {ErrorKind::Other, "Other", {}},
    {ErrorKind::Uncategorized, "Uncategorized", {}},
};

std::string_view error_kind_name(ErrorKind kind) {
    for (const KindEntry& entry : kKinds) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "Uncategorized";
}

ErrorKind error_kind_for_errno(int code) {
    for (const KindEntry& entry : kKinds) {
        for (const int listed : entry.errnos) {
            if (listed == code && code != 0) {
                return entry.kind;
            }
        }
    }
    return ErrorKind::Uncategorized;
}

}  // namespace

Error Error::os(int code) {
    // The system's text is looked up when asked for: making the value then
    // allocates nothing, as ENOMEM's must not.
    return Error(true, code, error_kind_for_errno(code), std::string());
}

std::string Error::message() const {
    if (!os_) {
        return message_;
    }
    // strerror_r (GNU flavour) may return a static string instead of filling buf.
    char buf[256];
    return strerror_r(code_, buf, sizeof buf);
}

Error Error::last_os_error() {
    return os(errno);
}

Error Error::custom(ErrorKind kind, std::string message) {
    return Error(false, 0, kind, std::move(message));
}

std::string Error::describe() const {
    std::string out;
    if (is_os()) {
        out = "Os { code: " + std::to_string(code_) + ", kind: ";
    } else {
        out = "Error { kind: ";
    }
    out += error_kind_name(kind_);
    out += ", message: \"";
    out += message();
    out += "\" }";
    return out;
}

}  // namespace pacpick
