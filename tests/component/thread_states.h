#pragma once

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace pacpick::testing {

/// The system call each other thread of this process is in, by number, or
/// "running" for threads on a CPU.
inline std::vector<std::string> other_threads_syscalls() {
    std::vector<std::string> calls;
    const std::string self = std::to_string(syscall(SYS_gettid));
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == self) {
            continue;
        }
        std::ifstream in("/proc/self/task/" + tid + "/syscall");
        std::string first;
        in >> first;
        calls.push_back(first);
    }
    closedir(dir);
    return calls;
}

/// Waits until every other thread has gone to sleep, one of them in epoll_wait,
/// then checks where they sleep: exactly one in the reactor's epoll wait, none in a call that would
/// block on a pipe or a child itself. (Idle workers park on a futex; sanitizers
/// add threads of their own.)
inline void expect_only_the_reactor_waits_for_io() {
    const std::vector<std::string> blocking = {
        std::to_string(SYS_read),  std::to_string(SYS_readv),  std::to_string(SYS_poll),
        std::to_string(SYS_ppoll), std::to_string(SYS_select), std::to_string(SYS_pselect6),
        std::to_string(SYS_wait4), std::to_string(SYS_waitid),
    };
    // A preempted thread shows as running for as long as it waits for a CPU:
    // a loaded machine takes time, so the wait is for a deadline, not a count.
    const std::string in_epoll = std::to_string(SYS_epoll_wait);
    std::vector<std::string> calls;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        calls = other_threads_syscalls();
        if (std::find(calls.begin(), calls.end(), "running") == calls.end() &&
            std::find(calls.begin(), calls.end(), in_epoll) != calls.end()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    for (const auto& call : calls) {
        EXPECT_EQ(std::find(blocking.begin(), blocking.end(), call), blocking.end())
            << "a thread is blocked in system call " << call;
    }
    EXPECT_EQ(std::count(calls.begin(), calls.end(), in_epoll), 1);
}

}  // namespace pacpick::testing
