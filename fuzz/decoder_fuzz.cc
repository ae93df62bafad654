// Feeds arbitrary bytes to the key decoder in arbitrary chunks. The first two
// input bytes choose how the rest is split into reads, which reads count as a
// filled buffer, and whether raw mode is in force; the rest is terminal input.
// Besides the sanitizers' findings, it stops on an item no terminal could mean
// (a character that is no Unicode scalar value, or a paste that is not UTF-8),
// and where the same reads fed a byte at a time, as the input source does,
// decode to anything else.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "term/decoder.h"
#include "text/utf8.h"

namespace {

using namespace pacpick::term;

bool g_raw_mode = false;
bool raw_mode_for_this_input() {
    return g_raw_mode;
}

void check(const DecodedItem& item) {
    const auto* event = std::get_if<TerminalEvent>(&item);
    if (event == nullptr) {
        return;
    }
    if (const auto* key = std::get_if<KeyEvent>(event)) {
        const char32_t ch = key->code.ch;
        if (key->code.kind == KeyCode::Kind::Char &&
            (ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF))) {
            __builtin_trap();
        }
    } else if (const auto* paste = std::get_if<Paste>(event)) {
        if (!pacpick::text::is_valid_utf8(paste->text)) {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    uint32_t state = (uint32_t{data[0]} << 8) | data[1];
    g_raw_mode = (state & 1) != 0;
    std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

    InputDecoder decoder(raw_mode_for_this_input);
    InputDecoder bytewise(raw_mode_for_this_input);
    while (!input.empty()) {
        state = state * 1103515245u + 12345u;  // a small LCG is enough to vary the splits
        const size_t length = 1 + (state >> 16) % 40;
        const bool filled_buffer = ((state >> 12) & 3) == 0;
        const std::string_view chunk = input.substr(0, length);
        input.remove_prefix(chunk.size());
        decoder.feed(chunk, filled_buffer);
        for (char byte : chunk) {
            bytewise.feed(std::string_view(&byte, 1), true);
        }
        if (!filled_buffer) {
            bytewise.input_paused();
        }
        while (auto item = decoder.next_item()) {
            check(*item);
            auto same = bytewise.next_item();
            if (!same || !(*same == *item)) {
                __builtin_trap();
            }
        }
        if (bytewise.next_item()) {
            __builtin_trap();
        }
    }
    return 0;
}
