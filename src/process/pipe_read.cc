#include "process/pipe_read.h"

namespace pacpick::process {

namespace {

// Reads made in one poll before the task lets others run; a child that writes
// without pause must not keep its task from reaching a cancellation point.
constexpr int kReadsPerPoll = 16;

}  // namespace

rt::Poll<Result<void>> PipeCapture::poll_drain(const rt::Waker& waker) {
    if (finished()) {
        return Result<void>();
    }
    for (int reads = 0; reads < kReadsPerPoll;) {
        if (!readable_) {
            auto readiness = fd_.poll(waker);
            if (!readiness.ready()) {
                return rt::Poll<Result<void>>::pending();
            }
            if (auto registered = readiness.take(); !registered) {
                return registered;
            }
            readable_ = true;
        }
        // A sink takes each read straight from the reading buffer: nothing of a
        // listing stays on this thread's heap once the run is over.
        const auto outcome =
            sink_ ? read_once(fd_.fd(), sink_)
                  : read_once(fd_.fd(), [this](std::string_view bytes) { data_.append(bytes); });
        switch (outcome) {
            case ReadOutcome::Data:
                ++reads;
                break;
            case ReadOutcome::WouldBlock:
                readable_ = false;
                break;
            case ReadOutcome::EndOfFile:
                close();
                return Result<void>();
            case ReadOutcome::Failed:
                return Result<void>(Error::last_os_error());
        }
    }
    waker.wake();  // more may be waiting: poll again after others had a turn
    return rt::Poll<Result<void>>::pending();
}

}  // namespace pacpick::process
