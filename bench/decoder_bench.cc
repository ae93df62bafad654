// The cost of turning terminal input into key events: a session of typing,
// corrections, arrow keys and non-ASCII letters as a terminal delivers them,
// one key per read, and a large paste arriving in full read buffers.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "term/decoder.h"

namespace pacpick {
namespace {

bool in_raw_mode() {
    return true;
}

constexpr size_t k_read_buffer = 1024;  // what the input reader reads at most at once

struct Chunk {
    std::string bytes;
    bool filled_buffer = false;
};

void add_keys(std::vector<Chunk>& chunks, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        chunks.push_back({key});
    }
}

/// Someone looking for a package: typing a name key by key, correcting it,
/// walking the list, typing a few letters beyond ASCII, a burst of fast typing
/// that arrives in one read, switching the mode and back.
std::vector<Chunk> typing_session() {
    std::vector<Chunk> chunks;
    add_keys(chunks, {"n", "e", "o", "v", "i", "n", "\x7f", "m"});
    for (int i = 0; i < 6; ++i) {
        add_keys(chunks, {"\x1b[A"});
    }
    add_keys(chunks, {"\x1b[B", "\x1b[B", "\x7f", "\x7f", "\x7f", "\x7f", "\x7f", "\x7f"});
    add_keys(chunks, {"c", "a", "f", "\xc3\xa9", "\xe4\xbd\xa0", "\x7f", "\x7f", "\x7f", "\x7f"});
    chunks.push_back({"python-requests"});
    add_keys(chunks, {"\x1b[1;5A", "\x1b[H", "\x1b[F", "\x1b[5~", "\x1b[6~", "\x1bOP"});
    add_keys(chunks, {"\t", "\x1b[Z", "\t", "\x1b[200~vim\x1b[201~", "\x03"});
    return chunks;
}

/// A paste of `size` bytes of package names, bracketed as terminals send it and
/// cut into full reads.
std::vector<Chunk> paste(size_t size) {
    std::string text = "\x1b[200~";
    const std::string names = "linux-firmware python-numpy ttf-dejavu gst-plugins-good ";
    while (text.size() < size) {
        text += names;
    }
    text.resize(size);
    text += "\x1b[201~";
    std::vector<Chunk> chunks;
    for (size_t at = 0; at < text.size(); at += k_read_buffer) {
        std::string piece = text.substr(at, k_read_buffer);
        const bool full = piece.size() == k_read_buffer;
        chunks.push_back({std::move(piece), full});
    }
    return chunks;
}

void decode_chunks(benchmark::State& state, const std::vector<Chunk>& chunks) {
    int64_t bytes = 0;
    for (const Chunk& chunk : chunks) {
        bytes += int64_t(chunk.bytes.size());
    }
    term::InputDecoder decoder(in_raw_mode);
    size_t items = 0;
    for (auto _ : state) {
        items = 0;
        for (const Chunk& chunk : chunks) {
            decoder.feed(chunk.bytes, chunk.filled_buffer);
            while (auto item = decoder.next_item()) {
                benchmark::DoNotOptimize(item);
                ++items;
            }
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.counters["items"] = double(items);
    state.counters["items_per_second"] =
        benchmark::Counter(double(items), benchmark::Counter::kIsIterationInvariantRate);
}

void decode_typing(benchmark::State& state) {
    decode_chunks(state, typing_session());
}
BENCHMARK(decode_typing);

void decode_paste(benchmark::State& state) {
    decode_chunks(state, paste(size_t(state.range(0))));
}
BENCHMARK(decode_paste)->Arg(256)->Arg(4096)->Arg(64 * 1024);

/// Typing with a paste of a few names in the middle, the usual mix.
void decode_typing_and_paste(benchmark::State& state) {
    std::vector<Chunk> chunks = typing_session();
    const std::vector<Chunk> pasted = paste(600);
    chunks.insert(chunks.begin() + 10, pasted.begin(), pasted.end());
    decode_chunks(state, chunks);
}
BENCHMARK(decode_typing_and_paste);

}  // namespace
}  // namespace pacpick
