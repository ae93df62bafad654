#include "term/fifo_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pacpick::term {
namespace {

std::vector<std::string> drain(FifoQueue<std::string>& queue) {
    std::vector<std::string> out;
    while (!queue.empty()) {
        out.push_back(queue.pop_front());
    }
    return out;
}

TEST(FifoQueueTest, GrowingWhileWrappedAroundKeepsTheOrder) {
    FifoQueue<std::string> queue(4);
    queue.push_back("a");
    queue.push_back("b");
    queue.push_back("c");
    EXPECT_EQ(queue.pop_front(), "a");
    EXPECT_EQ(queue.pop_front(), "b");
    // The next pushes wrap past the end of the ring, then force it to grow.
    for (const char* s : {"d", "e", "f", "g", "h"}) {
        queue.push_back(s);
    }
    EXPECT_EQ(queue.capacity(), 8u);
    EXPECT_EQ(drain(queue), (std::vector<std::string>{"c", "d", "e", "f", "g", "h"}));
}

}  // namespace
}  // namespace pacpick::term
