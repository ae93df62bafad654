#include "queries/allocator_settings.h"

// Any C library header says which library it is; the test below needs one.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace pacpick {

void set_up_allocator() {
#if defined(__GLIBC__)
    // A search holds up to a few megabytes for a moment. glibc serves such
    // blocks with mmap and gives them back when freed, but after the first such
    // free it raises its threshold and keeps later ones in the heap, where they
    // stay resident: a fixed threshold keeps large blocks going straight back.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    // A heap per thread keeps up to a few hundred KiB of free pages at its
    // end, and there is a worker per processor; the threads here allocate
    // rarely enough that sharing one heap costs nothing measurable.
    mallopt(M_ARENA_MAX, 1);
    // Free memory at the heap's end goes back as soon as it is freed, with no
    // slack kept for growth: the next search's page faults cost less than the
    // memory it would hold between searches.
    mallopt(M_TOP_PAD, 0);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024);
#endif
}

void give_back_free_heap() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace pacpick
