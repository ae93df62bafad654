#include "term/decoder.h"

#include <array>

#include "term/decoder_rules.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace pacpick::term {

namespace detail {

Outcome not_decodable() {
    return Error::custom(ErrorKind::Other, "Could not parse an event.");
}

std::optional<uint32_t> parse_decimal(std::string_view digits, uint32_t max) {
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > max) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

std::string_view nth_field(std::string_view text, char separator, size_t index) {
    for (;; --index) {
        const size_t end = text.find(separator);
        if (index == 0) {
            return text.substr(0, end);
        }
        if (end == std::string_view::npos) {
            return {};
        }
        text.remove_prefix(end + 1);
    }
}

Outcome letter_key(char letter) {
    struct LetterKey {
        char letter;
        KeyCode code;
    };
    static constexpr std::array kLetterKeys = {
        LetterKey{'A', KeyCode::of(KeyCode::Kind::Up)},
        LetterKey{'B', KeyCode::of(KeyCode::Kind::Down)},
        LetterKey{'C', KeyCode::of(KeyCode::Kind::Right)},
        LetterKey{'D', KeyCode::of(KeyCode::Kind::Left)},
        LetterKey{'H', KeyCode::of(KeyCode::Kind::Home)},
        LetterKey{'F', KeyCode::of(KeyCode::Kind::End)},
        LetterKey{'P', KeyCode::function(1)},
        LetterKey{'Q', KeyCode::function(2)},
        LetterKey{'R', KeyCode::function(3)},
        LetterKey{'S', KeyCode::function(4)},
    };
    for (const LetterKey& entry : kLetterKeys) {
        if (entry.letter == letter) {
            return key(entry.code);
        }
    }
    return not_decodable();
}

}  // namespace detail

namespace {

using namespace detail;
using Kind = KeyCode::Kind;

constexpr uint8_t kEsc = 0x1B;

struct ControlByte {
    uint8_t byte;
    KeyCode code;
    uint8_t modifiers;
};

/// Control bytes with keys of their own; 0x0A depends on raw mode and the other
/// control bytes are Ctrl with a letter or digit (see `decode_control_byte`).
constexpr std::array kControlBytes = {
    ControlByte{0x0D, KeyCode::of(Kind::Enter), 0},
    ControlByte{0x09, KeyCode::of(Kind::Tab), 0},
    ControlByte{0x7F, KeyCode::of(Kind::Backspace), 0},
    ControlByte{0x00, KeyCode::character(' '), KeyModifiers::CONTROL},
};

struct ControlRange {
    uint8_t first;
    uint8_t last;
    char32_t first_char;  // typed with CONTROL
};

/// 0x08 is therefore Ctrl+H rather than Backspace, and 0x03 Ctrl+C.
constexpr std::array kControlRanges = {
    ControlRange{0x01, 0x1A, U'a'},
    ControlRange{0x1C, 0x1F, U'4'},
};

Outcome decode(const DecodeInput& input);

Outcome decode_control_byte(uint8_t byte, RawModeQuery raw_mode) {
    if (byte == 0x0A) {
        return raw_mode() ? key(KeyCode::character('j'), KeyModifiers::CONTROL)
                          : key(KeyCode::of(Kind::Enter));
    }
    for (const ControlByte& entry : kControlBytes) {
        if (entry.byte == byte) {
            return key(entry.code, entry.modifiers);
        }
    }
    for (const ControlRange& range : kControlRanges) {
        if (byte >= range.first && byte <= range.last) {
            return key(KeyCode::character(range.first_char + (byte - range.first)),
                       KeyModifiers::CONTROL);
        }
    }
    return not_decodable();  // ESC is never handed here
}

/// Expected length of a UTF-8 sequence by its first byte; 0 for a byte that
/// cannot start one.
size_t utf8_sequence_length(uint8_t first) {
    if (first >= 0xC0 && first <= 0xDF) {
        return 2;
    }
    if (first >= 0xE0 && first <= 0xEF) {
        return 3;
    }
    return first >= 0xF0 && first <= 0xF7 ? 4 : 0;
}

Outcome decode_character(std::string_view bytes) {
    if (text::is_valid_utf8(bytes)) {
        const char32_t ch = text::decode_first(bytes)->ch;
        return key(KeyCode::character(ch), text::is_uppercase(ch) ? KeyModifiers::SHIFT : 0);
    }
    const size_t expected = utf8_sequence_length(static_cast<uint8_t>(bytes[0]));
    if (expected == 0) {
        return not_decodable();
    }
    for (char c : bytes.substr(1)) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte < 0x80 || byte > 0xBF) {
            return not_decodable();
        }
    }
    // Overlong forms and encoded surrogates have their full length and are
    // still invalid, so they end here too.
    return bytes.size() < expected ? need_more() : not_decodable();
}

Outcome decode_ss3(std::string_view bytes) {
    if (bytes.size() < 3) {
        return need_more();  // even at the end of a read: ESC O is never a key by itself
    }
    return letter_key(bytes[2]);
}

/// ESC x for an x that starts no sequence of its own: the key of x, with ALT.
Outcome decode_alt_prefixed(const DecodeInput& input) {
    Outcome inner = decode({input.bytes.substr(1), input.more_input, input.raw_mode});
    if (!inner.ok() || !inner->has_value()) {
        return inner;
    }
    auto* event = std::get_if<TerminalEvent>(&**inner);
    if (auto* key_event = event ? std::get_if<KeyEvent>(event) : nullptr) {
        key_event->modifiers.bits |= KeyModifiers::ALT;
    }
    return inner;
}

Outcome decode_escape(const DecodeInput& input) {
    if (input.bytes.size() == 1) {
        // No timer: an ESC that ends what has been read so far is the Esc key.
        return input.more_input ? need_more() : key(KeyCode::of(Kind::Esc));
    }
    switch (input.bytes[1]) {
        case kEsc:
            return key(KeyCode::of(Kind::Esc));
        case '[':
            return decode_csi(input);
        case 'O':
            return decode_ss3(input.bytes);
        default:
            return decode_alt_prefixed(input);
    }
}

Outcome decode(const DecodeInput& input) {
    const auto first = static_cast<uint8_t>(input.bytes[0]);
    if (first == kEsc) {
        return decode_escape(input);
    }
    if (first < 0x20 || first == 0x7F) {
        return decode_control_byte(first, input.raw_mode);
    }
    return decode_character(input.bytes);
}

}  // namespace

InputDecoder::InputDecoder(RawModeQuery raw_mode) : raw_mode_(raw_mode) {
    pending_.reserve(256);
    decoded_.reserve(128);
}

void InputDecoder::feed(std::string_view chunk, bool more_waiting) {
    for (size_t i = 0; i < chunk.size(); ++i) {
        pending_.push_back(chunk[i]);
        decode_pending(i + 1 < chunk.size() || more_waiting);
    }
}

void InputDecoder::input_paused() {
    if (!pending_.empty()) {
        decode_pending(false);
    }
}

void InputDecoder::decode_pending(bool more_input) {
    Outcome outcome = decode({pending_, more_input, raw_mode_});
    if (outcome.ok() && !outcome->has_value()) {
        return;  // the sequence is still open
    }
    if (outcome.ok()) {
        decoded_.push_back(std::move(**outcome));
    }
    // Undecodable bytes are dropped whole, even one that might have begun a
    // new sequence.
    pending_.clear();
}

std::optional<DecodedItem> InputDecoder::next_item() {
    if (taken_ == decoded_.size()) {
        return std::nullopt;
    }
    DecodedItem item = std::move(decoded_[taken_++]);
    if (taken_ == decoded_.size()) {
        decoded_.clear();
        taken_ = 0;
    }
    return item;
}

std::optional<TerminalEvent> InputDecoder::next_event() {
    while (auto item = next_item()) {
        if (auto* event = std::get_if<TerminalEvent>(&*item)) {
            return std::move(*event);
        }
    }
    return std::nullopt;
}

}  // namespace pacpick::term
