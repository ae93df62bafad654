#include "main/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "main/signals.h"
#include "queries/allocator_settings.h"
#include "runtime/runtime.h"
#include "screen/output_stream.h"

namespace pacpick {

namespace {

/// Opens /dev/null on each of 0, 1 and 2 that is closed, so that nothing the
/// program opens later lands on a standard descriptor by accident.
void make_standard_descriptors_safe() {
    for (int fd = 0; fd <= 2; ++fd) {
        // Lower descriptors are open by now, so the lowest free one is `fd`.
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            abort();
        }
    }
}

/// Writes `prefix`, the description of `error` (or of running out of
/// memory, when it is null or its description cannot be made) and a newline
/// to standard error.
void report(std::string_view prefix, const Error* error) {
    if (error != nullptr) {
        try {
            screen::write_to_stderr(std::string(prefix) + error->describe() + "\n");
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    screen::write_to_stderr(prefix);
    screen::write_to_stderr(kOutOfMemoryDescription);
    screen::write_to_stderr("\n");
}

}  // namespace

int run_entry(const std::function<rt::Task<Result<void>>()>& main_task) {
    make_standard_descriptors_safe();
    take_charge_of_signals();
    set_up_allocator();

    auto runtime = rt::Runtime::build();
    if (!runtime) {
        report("Failed building the Runtime: ", &runtime.error());
        return 101;
    }
    Result<void> outcome;
    bool out_of_memory = false;
    try {
        outcome = (*runtime)->block_on(main_task());
    } catch (const std::bad_alloc&) {
        // The main task's frame and everything in it are gone by now: the
        // terminal is given back.
        out_of_memory = true;
    }
    const bool stopped = (*runtime)->shutdown();
    const int status = out_of_memory || !outcome ? 1 : 0;
    if (status != 0) {
        report("Error: ", out_of_memory ? nullptr : &outcome.error());
    }
    if (!stopped) {
        // A background thread that did not stop in time must not see the
        // process's static objects destroyed under it: the program ends
        // within half a second of the main task whatever that thread does.
        _exit(status);
    }
    return status;
}

}  // namespace pacpick
