// The cost of one frame: every text built again and every element written
// into the output stream, here one onto a local socket that keeps each write
// a record of its own, so the figure is the program's own work and its writes
// without the terminal's, and the records tell how many writes a frame took.

#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "screen/frame.h"
#include "screen/output_stream.h"
#include "screen/screen_writer.h"

namespace pacpick {
namespace {

/// Names of the lengths a search for "py" turns up, more than any screen shows.
NameList make_matches() {
    const char* const stems[] = {"python",
                                 "python-pip",
                                 "python-numpy",
                                 "pypy3",
                                 "python-requests",
                                 "python-setuptools-scm",
                                 "python-typing_extensions",
                                 "mingw-w64-python-pyqt5-webengine"};
    NameList names;
    for (int i = 0; names.size() < 500; ++i) {
        names.push_back(std::string(stems[i % std::size(stems)]) + "-" + std::to_string(i));
    }
    return names;
}

void draw_frame(benchmark::State& state) {
    const screen::TerminalSize size{{uint16_t(state.range(0))}, {uint16_t(state.range(1))}};
    const NameList matches = make_matches();
    const PackageDetails details{
        "python-requests-4", "2.32.3-1",
        "Python HTTP for Humans: a simple, yet elegant, HTTP library with connection pooling, "
        "international domains and URLs, sessions with cookie persistence, and automatic "
        "decompression",
        true};
    const screen::FrameContent content{"py", matches, 3, &details};

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    std::vector<char> record(256 * 1024);
    screen::OutputStream stream(ends[1]);
    screen::ScreenWriter writer(stream);
    size_t frame_bytes = 0;
    int frame_writes = 0;
    for (auto _ : state) {
        auto drawn = screen::draw_frame(content, Mode::Install, size, writer);
        if (!drawn) {
            state.SkipWithError("the frame could not be written");
            break;
        }
        frame_bytes = 0;
        frame_writes = 0;
        for (ssize_t n; (n = recv(ends[0], record.data(), record.size(), MSG_DONTWAIT)) > 0;) {
            frame_bytes += size_t(n);
            ++frame_writes;
        }
    }
    close(ends[0]);
    close(ends[1]);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame_bytes));
    state.counters["frame_bytes"] = double(frame_bytes);
    state.counters["writes_per_frame"] = double(frame_writes);
}
BENCHMARK(draw_frame)->Args({80, 24})->Args({200, 60});

}  // namespace
}  // namespace pacpick
