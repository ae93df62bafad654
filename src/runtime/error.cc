#include "runtime/error.h"

#include <cerrno>
#include <cstring>

namespace pacpick {

std::string_view error_kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotFound:
            return "NotFound";
        case ErrorKind::PermissionDenied:
            return "PermissionDenied";
        case ErrorKind::ConnectionRefused:
            return "ConnectionRefused";
        case ErrorKind::ConnectionReset:
            return "ConnectionReset";
        case ErrorKind::BrokenPipe:
            return "BrokenPipe";
        case ErrorKind::AlreadyExists:
            return "AlreadyExists";
        case ErrorKind::WouldBlock:
            return "WouldBlock";
        case ErrorKind::NotADirectory:
            return "NotADirectory";
        case ErrorKind::IsADirectory:
            return "IsADirectory";
        case ErrorKind::ReadOnlyFilesystem:
            return "ReadOnlyFilesystem";
        case ErrorKind::FilesystemLoop:
            return "FilesystemLoop";
        case ErrorKind::InvalidInput:
            return "InvalidInput";
        case ErrorKind::TimedOut:
            return "TimedOut";
        case ErrorKind::WriteZero:
            return "WriteZero";
        case ErrorKind::StorageFull:
            return "StorageFull";
        case ErrorKind::NotSeekable:
            return "NotSeekable";
        case ErrorKind::FileTooLarge:
            return "FileTooLarge";
        case ErrorKind::ResourceBusy:
            return "ResourceBusy";
        case ErrorKind::ExecutableFileBusy:
            return "ExecutableFileBusy";
        case ErrorKind::Deadlock:
            return "Deadlock";
        case ErrorKind::CrossesDevices:
            return "CrossesDevices";
        case ErrorKind::TooManyLinks:
            return "TooManyLinks";
        case ErrorKind::InvalidFilename:
            return "InvalidFilename";
        case ErrorKind::ArgumentListTooLong:
            return "ArgumentListTooLong";
        case ErrorKind::Interrupted:
            return "Interrupted";
        case ErrorKind::Unsupported:
            return "Unsupported";
        case ErrorKind::OutOfMemory:
            return "OutOfMemory";
        case ErrorKind::Other:
            return "Other";
        case ErrorKind::Uncategorized:
            return "Uncategorized";
    }
    return "Uncategorized";
}

ErrorKind error_kind_for_errno(int code) {
    switch (code) {
        case ENOENT:
            return ErrorKind::NotFound;
        case EACCES:
        case EPERM:
            return ErrorKind::PermissionDenied;
        case EPIPE:
            return ErrorKind::BrokenPipe;
        case EINTR:
            return ErrorKind::Interrupted;
        case EAGAIN:
            return ErrorKind::WouldBlock;
        case EINVAL:
            return ErrorKind::InvalidInput;
        case EEXIST:
            return ErrorKind::AlreadyExists;
        case ENOMEM:
            return ErrorKind::OutOfMemory;
        case ENOSPC:
            return ErrorKind::StorageFull;
        case ENOSYS:
            return ErrorKind::Unsupported;
        case ENOTDIR:
            return ErrorKind::NotADirectory;
        case EISDIR:
            return ErrorKind::IsADirectory;
        case ETIMEDOUT:
            return ErrorKind::TimedOut;
        case EBUSY:
            return ErrorKind::ResourceBusy;
        case ECONNREFUSED:
            return ErrorKind::ConnectionRefused;
        case ECONNRESET:
            return ErrorKind::ConnectionReset;
        case E2BIG:
            return ErrorKind::ArgumentListTooLong;
        case ETXTBSY:
            return ErrorKind::ExecutableFileBusy;
        case EROFS:
            return ErrorKind::ReadOnlyFilesystem;
        case ELOOP:
            return ErrorKind::FilesystemLoop;
        case ENAMETOOLONG:
            return ErrorKind::InvalidFilename;
        case EDEADLK:
            return ErrorKind::Deadlock;
        case EXDEV:
            return ErrorKind::CrossesDevices;
        case EMLINK:
            return ErrorKind::TooManyLinks;
        case EFBIG:
            return ErrorKind::FileTooLarge;
        case ESPIPE:
            return ErrorKind::NotSeekable;
        default:
            return ErrorKind::Uncategorized;
    }
}

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
