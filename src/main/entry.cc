#include "main/entry.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "main/diagnostics.h"
#include "main/last_resort.h"
#include "runtime/heap.h"
#include "runtime/runtime.h"

namespace pacpick {

namespace {

/// Opens /dev/null on each of 0, 1 and 2 that is closed, so that nothing the
/// program opens later lands on a standard descriptor by accident.
void make_standard_descriptors_safe() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDWR);
            if (opened == -1) {
                abort();
            }
            if (opened != fd) {
                // Lower descriptors were open, so the lowest free one is `fd`
                // itself; anything else means the table is not what it seems.
                abort();
            }
        }
    }
}

}  // namespace

int run_entry(const std::function<rt::Task<Result<void>>()>& main_task) {
    make_standard_descriptors_safe();
    install_last_resort();
    signal(SIGPIPE, SIG_IGN);
    rt::keep_heap_small();

    auto runtime = rt::Runtime::build();
    if (!runtime) {
        write_to_stderr("Failed building the Runtime: " + runtime.error().describe() + "\n");
        return 101;
    }
    Result<void> outcome;
    try {
        outcome = (*runtime)->block_on(main_task());
    } catch (const std::bad_alloc&) {
        // The main task's frame and everything in it are gone by now: the
        // terminal is given back, and the memory it held is free again for
        // the error line.
        outcome = Error::os(ENOMEM);
    }
    (*runtime)->shutdown();
    if (!outcome) {
        write_to_stderr("Error: " + outcome.error().describe() + "\n");
        return 1;
    }
    return 0;
}

}  // namespace pacpick
