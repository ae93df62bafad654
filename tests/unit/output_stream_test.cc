#include "screen/output_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <string>
#include <thread>

#include "base/fd.h"

namespace pacpick::screen {
namespace {

/// Stands in for write(2): records every call and answers from a script of
/// outcomes (a byte count to accept, or -errno); once the script runs out,
/// every call takes all it is given.
struct ScriptedSink {
    struct Step {
        ssize_t accept;  // bytes taken, 0 for a zero write
        int error = 0;   // when set, the call fails with it
    };

    std::deque<Step> script;
    std::vector<std::string> calls;  // what each call was offered
    std::string taken;               // the bytes that went out, in order

    OutputStream::WriteCall call() {
        return [this](int, const void* data, size_t size) -> ssize_t {
            calls.emplace_back(static_cast<const char*>(data), size);
            if (script.empty()) {
                taken.append(static_cast<const char*>(data), size);
                return static_cast<ssize_t>(size);
            }
            const Step step = script.front();
            script.pop_front();
            if (step.error != 0) {
                errno = step.error;
                return -1;
            }
            const size_t n = std::min(static_cast<size_t>(step.accept), size);
            taken.append(static_cast<const char*>(data), n);
            return static_cast<ssize_t>(n);
        };
    }
};

class OutputStreamTest : public ::testing::Test {
  protected:
    ScriptedSink sink;
    OutputStream stream{7, sink.call()};
};

TEST_F(OutputStreamTest, KeepsTextWithoutNewlineUntilFlushed) {
    ASSERT_TRUE(stream.write("\x1b[2J"));
    ASSERT_TRUE(stream.write("abc"));
    EXPECT_TRUE(sink.calls.empty());

    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(sink.calls, std::vector<std::string>{"\x1b[2Jabc"});

    ASSERT_TRUE(stream.flush());  // nothing buffered: no call at all
    EXPECT_EQ(sink.calls.size(), 1u);
}

TEST_F(OutputStreamTest, SendsEverythingUpToTheLastNewlineAtOnce) {
    // With an empty buffer the completed lines go straight out.
    ASSERT_TRUE(stream.write("one\ntwo\nthr"));
    EXPECT_EQ(sink.calls, std::vector<std::string>{"one\ntwo\n"});

    // With bytes waiting, the lines join them and the whole buffer goes out.
    ASSERT_TRUE(stream.write("ee\nfour"));
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"one\ntwo\n", "three\n"}));

    ASSERT_TRUE(stream.write("\n"));
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"one\ntwo\n", "three\n", "four\n"}));
}

TEST_F(OutputStreamTest, WritesTheBufferOutWhenATextDoesNotFit) {
    const std::string first(1000, 'a');
    const std::string fits(24, 'b');
    const std::string overflow(100, 'c');
    ASSERT_TRUE(stream.write(first));
    ASSERT_TRUE(stream.write(fits));  // exactly fills the 1024 bytes
    EXPECT_TRUE(sink.calls.empty());

    ASSERT_TRUE(stream.write(overflow));
    EXPECT_EQ(sink.calls, std::vector<std::string>{first + fits});
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(sink.calls.back(), overflow);
}

TEST_F(OutputStreamTest, WritesTextsOfAFullBufferOrMoreStraightThrough) {
    const std::string big(1024, 'x');
    const std::string huge(5000, 'y');
    ASSERT_TRUE(stream.write("head"));
    ASSERT_TRUE(stream.write(big));
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"head", big}));

    ASSERT_TRUE(stream.write(huge));
    ASSERT_TRUE(stream.flush());  // nothing is left to send
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"head", big, huge}));
}

TEST_F(OutputStreamTest, RepeatsInterruptedAndShortWrites) {
    sink.script = {{0, EINTR}, {3}, {0, EINTR}, {2}};
    ASSERT_TRUE(stream.write("abcdefgh"));
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(sink.taken, "abcdefgh");
    EXPECT_EQ(sink.calls.size(), 5u);
}

TEST(OutputStreamWouldBlockTest, WaitsForRoomInsteadOfFailing) {
    // The descriptor only has to be writable for the wait; the bytes go to the script.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    ScriptedSink sink;
    OutputStream stream{write_end.get(), sink.call()};
    sink.script = {{0, EAGAIN}, {3}, {0, EAGAIN}, {0, EAGAIN}};
    ASSERT_TRUE(stream.write("abcdefgh"));
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(sink.taken, "abcdefgh");
    EXPECT_EQ(sink.calls.size(), 5u);

    sink.script = {{0, EAGAIN}};
    ASSERT_TRUE(stream.write("line\n"));
    EXPECT_EQ(sink.taken, "abcdefghline\n");
}

TEST_F(OutputStreamTest, TreatsAClosedDescriptorAsTakingEverything) {
    sink.script = {{2}, {0, EBADF}};
    ASSERT_TRUE(stream.write("abcdef"));
    EXPECT_TRUE(stream.flush());

    sink.script = {{0, EBADF}};
    EXPECT_TRUE(stream.write("line\n"));  // nothing held back goes before it
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"abcdef", "cdef", "line\n"}));
}

TEST_F(OutputStreamTest, NamesWhichWriteTookNothing) {
    sink.script = {{0}};
    ASSERT_TRUE(stream.write("frame"));
    auto flushed = stream.flush();
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error().describe(),
              R"(Error { kind: WriteZero, message: "failed to write the buffered data" })");
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(sink.taken, "frame");

    ScriptedSink direct;
    OutputStream empty{7, direct.call()};
    direct.script = {{0}};
    auto line = empty.write("message\n");
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error().describe(),
              R"(Error { kind: WriteZero, message: "failed to write whole buffer" })");

    direct.script = {{10}, {0}};
    auto big = empty.write(std::string(2000, 'z'));
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error().message(), "failed to write whole buffer");
}

TEST_F(OutputStreamTest, KeepsUnwrittenBytesInFrontAfterAnError) {
    sink.script = {{4}, {0, EIO}};
    ASSERT_TRUE(stream.write("0123456789"));
    auto flushed = stream.flush();
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error(), Error::os(EIO));

    ASSERT_TRUE(stream.write("ab"));
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(sink.calls.back(), "456789ab");
    EXPECT_EQ(sink.taken, "0123456789ab");
}

TEST_F(OutputStreamTest, SendsALineLeftBehindByAFailureBeforeNewText) {
    ASSERT_TRUE(stream.write("a"));
    sink.script = {{0, EIO}};
    ASSERT_FALSE(stream.write("b\n"));

    ASSERT_TRUE(stream.write("c"));
    EXPECT_EQ(sink.taken, "ab\n");
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(sink.calls.back(), "c");
}

TEST(OutputStreamLockTest, LinesFromTwoThreadsNeverInterleave) {
    std::string out;
    OutputStream stream{7, [&out](int, const void* data, size_t size) -> ssize_t {
                            out.append(static_cast<const char*>(data), size);
                            return static_cast<ssize_t>(size);
                        }};
    auto writer = [&stream](const std::string& line) {
        for (int i = 0; i < 2000; ++i) {
            ASSERT_TRUE(stream.write(line));
        }
    };
    std::thread a(writer, "first thread line\n");
    std::thread b(writer, "other\n");
    a.join();
    b.join();

    size_t firsts = 0;
    size_t others = 0;
    for (size_t start = 0; start < out.size();) {
        const size_t end = out.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = out.substr(start, end - start);
        if (line == "first thread line") {
            ++firsts;
        } else {
            ASSERT_EQ(line, "other");
            ++others;
        }
        start = end + 1;
    }
    EXPECT_EQ(firsts, 2000u);
    EXPECT_EQ(others, 2000u);
}

}  // namespace
}  // namespace pacpick::screen
