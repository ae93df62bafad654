#include "screen/screen_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "memory_sink.h"

namespace pacpick::screen {
namespace {

TEST(ScreenWriterTest, AppendsTheExactCommandBytes) {
    MemorySink sink;
    ScreenWriter writer(sink.stream);
    writer.clear_all();
    writer.move_to(Column{0}, Row{0});
    writer.move_to(Column{12}, Row{6});
    writer.hide_cursor();
    writer.show_cursor();
    writer.print("");
    writer.print("caf\xc3\xa9");
    EXPECT_EQ(sink.writes(), 0);  // commands only append

    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(sink.bytes(),
              "\x1b[2J\x1b[1;1H\x1b[7;13H\x1b[?25l\x1b[?25h"
              "caf\xc3\xa9");
    EXPECT_EQ(sink.writes(), 1);
}

TEST(ScreenWriterTest, CountsFromOneWithoutWrappingAtTheLastPosition) {
    MemorySink sink;
    ScreenWriter writer(sink.stream);
    writer.move_to(Column{65535}, Row{65535});
    writer.move_to(Column{99}, Row{9});
    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(sink.bytes(), "\x1b[65536;65536H\x1b[10;100H");
}

TEST(ScreenWriterTest, WritersOnOneStreamShareItsBuffer) {
    MemorySink sink;
    ScreenWriter first(sink.stream);
    ScreenWriter second(sink.stream);
    first.print("ab");
    second.print("cd");
    ASSERT_TRUE(first.flush());
    EXPECT_EQ(sink.bytes(), "abcd");
    EXPECT_EQ(sink.writes(), 1);
}

TEST(ScreenWriterTest, KeepsTheFirstErrorUntilAFlushReportsIt) {
    MemorySink sink;
    ScreenWriter writer(sink.stream);
    sink.refuse();
    writer.print(std::string(OutputStream::kCapacity + 1, 'x'));  // too big to buffer
    sink.accept();
    writer.print("lost\n");
    auto flushed = writer.flush();
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error(), Error::os(EPIPE));

    writer.print("next");  // the report made the writer usable again
    ASSERT_TRUE(writer.flush());
    EXPECT_EQ(sink.bytes(), "next");  // the lost line was not tried
}

}  // namespace
}  // namespace pacpick::screen
