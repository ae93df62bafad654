#include "queries/allocator_settings.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "../support/sanitizers.h"

// These look at glibc's own allocator, which the sanitizers replace: there the
// binary holds no test rather than one that only skips.
#if defined(__GLIBC__) && !PACPICK_SANITIZED
#define PACPICK_OWN_ALLOCATOR 1
#else
#define PACPICK_OWN_ALLOCATOR 0
#endif

namespace pacpick {
namespace {

#if PACPICK_OWN_ALLOCATOR

// Each test runs in a process of its own (ctest), so no thread has made a heap
// of its own before the allocator is set up, as in the program.
TEST(HeapTest, LargeBlocksStayMappedAndThreadsShareTheMainHeap) {
    set_up_allocator();
    constexpr size_t kLarge = 512 * 1024;
    // glibc raises its threshold past a mapped block once one is freed; kept
    // fixed, the second block is mapped, and given back when freed, like the first.
    for (int round = 0; round < 2; ++round) {
        void* block = std::malloc(kLarge);
        ASSERT_NE(block, nullptr);
        static_cast<volatile char*>(block)[0] = 1;
        EXPECT_GE(mallinfo2().hblkhd, kLarge) << "round " << round;
        std::free(block);
    }
    // Another thread's blocks come from the main heap, below the program break,
    // not from a heap of the thread's own mapped far above it.
    uintptr_t from_thread = 0;
    std::thread([&from_thread] {
        void* block = std::malloc(64);
        from_thread = reinterpret_cast<uintptr_t>(block);
        std::free(block);
    }).join();
    EXPECT_LT(from_thread, reinterpret_cast<uintptr_t>(sbrk(0)));
}

TEST(HeapTest, FreePagesBetweenLiveBlocksGoBack) {
    set_up_allocator();
    // Blocks of a few pages, too large for the per-thread caches; the first
    // and the last stay, so nothing freed is at the heap's end.
    constexpr size_t kBlock = 3 * 4096;
    constexpr int kBlocks = 32;
    std::vector<char*> blocks;
    for (int i = 0; i < kBlocks; ++i) {
        blocks.push_back(static_cast<char*>(std::malloc(kBlock)));
        ASSERT_NE(blocks.back(), nullptr);
        std::fill(blocks.back(), blocks.back() + kBlock, 'x');
    }
    const long page = sysconf(_SC_PAGESIZE);
    const uintptr_t first = (reinterpret_cast<uintptr_t>(blocks[1]) + page - 1) / page * page;
    const uintptr_t last = reinterpret_cast<uintptr_t>(blocks[kBlocks - 1]) / page * page;
    ASSERT_LT(first, last);
    for (int i = 1; i < kBlocks - 1; ++i) {
        std::free(blocks[i]);
    }
    give_back_free_heap();
    std::vector<unsigned char> resident((last - first) / page);
    ASSERT_EQ(mincore(reinterpret_cast<void*>(first), last - first, resident.data()), 0);
    size_t kept = 0;
    for (unsigned char in_core : resident) {
        kept += in_core & 1;
    }
    // The pages the free chunk's bookkeeping is written in stay, a handful.
    EXPECT_LT(kept, resident.size() / 8) << "of " << resident.size() << " freed pages";
    std::free(blocks.front());
    std::free(blocks.back());
}

#endif

}  // namespace
}  // namespace pacpick
