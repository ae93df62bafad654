#include "queries/name_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "queries/byte_buffer.h"

namespace pacpick {
namespace {

// Past 32 KiB a buffer moves to a mapping of its own and grows there; what it
// held must survive every step, and copies and moves must keep it.
TEST(ByteBufferTest, KeepsItsBytesWhileGrowingAcrossTheMappingAndBack) {
    ByteBuffer buffer;
    std::string expected;
    std::mt19937 rng(1);
    while (expected.size() < 3 * 1024 * 1024) {
        const std::string piece(1 + rng() % 9000, char('a' + rng() % 26));
        buffer.append(piece);
        buffer.push_back('\n');
        expected += piece;
        expected += '\n';
        if (expected.size() < 100 * 1024) {
            ASSERT_EQ(buffer.view(), expected);  // through the move to a mapping
        }
    }
    EXPECT_EQ(buffer.view(), expected);
    ByteBuffer copy = buffer;
    EXPECT_EQ(copy.view(), expected);
    EXPECT_NE(copy.data(), buffer.data());
    const char* before = buffer.data();
    ByteBuffer moved = std::move(buffer);
    EXPECT_EQ(moved.data(), before);
    EXPECT_TRUE(buffer.empty());  // NOLINT(bugprone-use-after-move): a moved buffer is empty
    moved.clear();
    EXPECT_TRUE(moved.empty());
    moved.append("again");
    EXPECT_EQ(moved.view(), "again");
    copy = moved;
    EXPECT_EQ(copy.view(), "again");
}

std::vector<std::string> read_all(const NameRun& run) {
    std::vector<std::string> names;
    for (NameRun::Reader reader(run); !reader.done(); reader.next()) {
        names.emplace_back(reader.name());
    }
    return names;
}

// Names sharing nothing, everything but the last byte, or more than the 255
// bytes a shared count can say, in sorted and in random order, read back the
// same by index and front to back.
TEST(NameRunTest, ReadsBackEveryNameHoweverMuchNeighboursShare) {
    std::mt19937 rng(2);
    for (size_t length : {0u, 1u, 2u, 9u, 40u, 300u}) {
        for (bool sorted : {true, false}) {
            std::vector<std::string> names;
            for (int i = 0; i < 200; ++i) {
                std::string name(length, 'p');
                // Mostly a long common beginning, now and then a fresh name.
                const size_t varied = rng() % 4 == 0 ? length : std::min<size_t>(length, 3);
                for (size_t k = length - varied; k < length; ++k) {
                    name[k] = char("ab\x80\xff-"[rng() % 5]);
                }
                names.push_back(name);
            }
            if (sorted) {
                std::sort(names.begin(), names.end());
            }
            NameRun run(length);
            for (const std::string& name : names) {
                run.push_back(name);
            }
            SCOPED_TRACE(testing::Message() << length << " bytes, sorted " << sorted);
            ASSERT_EQ(run.size(), names.size());
            EXPECT_EQ(read_all(run), names);
            for (size_t i = 0; i < names.size(); ++i) {
                ASSERT_EQ(run[i], names[i]) << "index " << i;
            }
        }
    }
}

}  // namespace
}  // namespace pacpick
