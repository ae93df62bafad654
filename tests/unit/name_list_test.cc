#include "queries/name_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../support/name_lists.h"
#include "queries/byte_buffer.h"

namespace pacpick {
namespace {

// Past 32 KiB a buffer moves to a mapping of its own and grows there; what it
// held must survive every step, and a move must keep it.
TEST(ByteBufferTest, KeepsItsBytesWhileGrowingAcrossTheMappingAndBack) {
    ByteBuffer buffer;
    std::string expected;
    std::mt19937 rng(1);
    while (expected.size() < 3 * 1024 * 1024) {
        const std::string piece(1 + rng() % 9000, char('a' + rng() % 26));
        buffer.append(piece);
        buffer.append("\n");
        expected += piece;
        expected += '\n';
        if (expected.size() < 100 * 1024) {
            ASSERT_EQ(buffer.view(), expected);  // through the move to a mapping
        }
    }
    EXPECT_EQ(buffer.view(), expected);
    const char* before = buffer.data();
    ByteBuffer moved = std::move(buffer);
    EXPECT_EQ(moved.data(), before);
    EXPECT_TRUE(buffer.view().empty());  // NOLINT(bugprone-use-after-move): a moved buffer is empty
    moved.clear();
    EXPECT_TRUE(moved.view().empty());
    moved.append("again");
    EXPECT_EQ(moved.view(), "again");
}

std::vector<std::string> read_all(const NameList& list) {
    std::vector<std::string> names;
    for (NameList::Reader reader(list); !reader.done(); reader.next()) {
        names.emplace_back(reader.name());
    }
    return names;
}

// Names sharing nothing, everything but the last byte, or more than the 255
// bytes a shared count can say, sorted or not, of one length after another and
// back (empty names too), added one by one or as whole lists, read back
// unchanged front to back and by index. A cleared list starts afresh and a
// copy shares nothing with it.
TEST(NameListTest, ReadsBackEveryNameHoweverAddedAndHoweverMuchNeighboursShare) {
    std::mt19937 rng(2);
    std::vector<std::string> names;
    NameList list;
    for (size_t length : {0u, 1u, 2u, 9u, 40u, 300u, 2u}) {
        for (bool sorted : {true, false}) {
            std::vector<std::string> part;
            for (int i = 0; i < 200; ++i) {
                std::string name(length, 'p');
                // Mostly a long common beginning, now and then a fresh name.
                const size_t varied = rng() % 4 == 0 ? length : std::min<size_t>(length, 3);
                for (size_t k = length - varied; k < length; ++k) {
                    name[k] = char("ab\x80\xff-"[rng() % 5]);
                }
                part.push_back(name);
            }
            if (sorted) {
                std::sort(part.begin(), part.end());
            }
            NameList whole;
            for (const std::string& name : part) {
                (sorted ? whole : list).push_back(name);
            }
            list.append(whole);
            list.append(NameList());  // nothing to add
            names.insert(names.end(), part.begin(), part.end());
        }
    }
    ASSERT_EQ(list.size(), names.size());
    EXPECT_EQ(read_all(list), names);
    EXPECT_EQ(strings_of(list), names);
    const NameList moved = std::move(list);
    list.clear();
    EXPECT_TRUE(list.empty());
    list.push_back("after");
    EXPECT_EQ(read_all(list), std::vector<std::string>{"after"});
    EXPECT_EQ(strings_of(moved), names);
}

}  // namespace
}  // namespace pacpick
