#pragma once

namespace pacpick {

/// The C library allocator's settings for the whole process, which keep the
/// program's heap at the size of what it holds. A search allocates and frees a
/// few hundred small blocks on whichever worker runs it, while what it hands
/// over is a few blocks and mappings that live until the next answer; left to
/// itself, the allocator keeps a heap per thread and a cache of freed blocks
/// per thread, and the long-lived blocks landing anywhere in them hold freed
/// pages resident, a few more after each search. Both calls do nothing where
/// the C library is not glibc.

/// Sets the allocator up for that, before any thread is started: blocks of
/// 128 KiB and more mapped on their own and unmapped when freed, one heap for
/// all threads, and free memory at the heap's end given back as it is freed.
void set_up_allocator();

/// Gives every whole free page in the heap back to the system. Called once a
/// search's scratch memory is freed: a few dozen system calls, well under a
/// millisecond, and the next search faults back in only what it uses.
void give_back_free_heap();

}  // namespace pacpick
