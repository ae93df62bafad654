#pragma once

namespace pacpick {

// The C library allocator's settings for the whole process, which keep the
// program's heap at the size of what it holds. A search frees a few hundred
// small blocks on whichever worker runs it and hands over a few that live until
// the next answer; left to itself, the allocator keeps a heap and a cache of
// freed blocks per thread, and those long-lived blocks hold freed pages
// resident, a few more after each search. Both calls do nothing where the C
// library is not glibc.

/// Sets the allocator up for that, before any thread is started.
void set_up_allocator();

/// Gives every whole free page in the heap back to the system. Called once a
/// search's scratch memory is freed: a few dozen system calls, well under a
/// millisecond, and the next search faults back in only what it uses.
void give_back_free_heap();

}  // namespace pacpick
