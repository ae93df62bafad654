#include "runtime/wake_latch.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace pacpick::rt {

Result<std::unique_ptr<WakeLatch>> WakeLatch::create() {
    // Made before the descriptor: memory that runs out leaves none open.
    std::unique_ptr<WakeLatch> latch(new WakeLatch());
    latch->fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!latch->fd_.valid()) {
        return Error::last_os_error();
    }
    return latch;
}

void WakeLatch::set() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

bool WakeLatch::take() {
    uint64_t count = 0;
    return ::read(fd_.get(), &count, sizeof count) == sizeof count;  // EAGAIN: not raised
}

}  // namespace pacpick::rt
