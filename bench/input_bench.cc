// The cost of reading terminal input as the program does: a byte at a time,
// never past the item the bytes complete. A 10 KB paste arrives on a
// pseudo-terminal in raw mode, written by another thread as fast as the
// terminal takes it: as plain text (a key per byte, as terminals paste when
// bracketed paste is off) and bracketed (one paste event).

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "term/input_source.h"

namespace pacpick {
namespace {

constexpr size_t kPasteSize = 10 * 1024;

std::string names(size_t size) {
    const std::string some = "linux-firmware python-numpy ttf-dejavu gst-plugins-good ";
    std::string text;
    while (text.size() < size) {
        text += some;
    }
    text.resize(size);
    return text;
}

void read_paste(benchmark::State& state, bool bracketed) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    auto source = term::InputSource::create(term::TerminalHandle(UniqueFd(slave)), [] {
        return Result<term::Resize>(term::Resize{80, 24});
    });
    if (!source) {
        state.SkipWithError("no input source");
        return;
    }
    const std::string text =
        bracketed ? "\x1b[200~" + names(kPasteSize) + "\x1b[201~" : names(kPasteSize);
    const size_t expected = bracketed ? 1 : text.size();
    for (auto _ : state) {
        std::thread typist([&] {
            for (size_t at = 0; at < text.size();) {
                const ssize_t n = ::write(master, text.data() + at, text.size() - at);
                if (n <= 0) {
                    return;
                }
                at += size_t(n);
            }
        });
        size_t items = 0;
        while (items < expected) {
            auto item = (*source)->read_item(std::nullopt);
            if (!item || !*item) {
                state.SkipWithError("the input ended");
                break;
            }
            ++items;
        }
        typist.join();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    ::close(master);
}

void read_plain_paste(benchmark::State& state) {
    read_paste(state, false);
}
BENCHMARK(read_plain_paste)->Unit(benchmark::kMillisecond)->UseRealTime();

void read_bracketed_paste(benchmark::State& state) {
    read_paste(state, true);
}
BENCHMARK(read_bracketed_paste)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace pacpick
