#include "term/decoder.h"

#include <algorithm>
#include <array>
#include <variant>

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

}  // namespace detail

namespace {

using namespace detail;
using Kind = KeyCode::Kind;

constexpr uint8_t kEsc = 0x1B;

/// What a fixed sequence stands for: a key, or a change of focus.
using FixedEvent = std::variant<KeyEvent, FocusGained, FocusLost>;

/// Up to four bytes as one number, the first in the lowest byte, so that a
/// prefix is matched in one step.
constexpr uint32_t packed(std::string_view bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes.size() && i < 4; ++i) {
        value |= uint32_t{static_cast<uint8_t>(bytes[i])} << (8 * i);
    }
    return value;
}

struct FixedSequence {
    std::string_view bytes;
    FixedEvent event;
    uint32_t bytes_packed = packed(bytes);
};

constexpr FixedSequence fixed_key(std::string_view bytes, KeyCode code, uint8_t modifiers = 0) {
    return {bytes, KeyEvent{code, KeyModifiers{modifiers}, KeyKind::Press, KeyState{}}};
}

/// The sequences without parameters, each always the same event. None begins
/// another, and nothing that begins one is a sequence of its own but a lone
/// ESC, so bytes that begin one wait for the rest even at the end of a read:
/// ESC O and ESC [ are never keys by themselves.
constexpr std::array kFixedSequences = {
    // Control bytes with keys of their own; `decode_control_byte` has the rest.
    fixed_key("\r", KeyCode::of(Kind::Enter)), fixed_key("\t", KeyCode::of(Kind::Tab)),
    fixed_key("\x7f", KeyCode::of(Kind::Backspace)),
    fixed_key({"\0", 1}, KeyCode::character(' '), KeyModifiers::CONTROL),
    fixed_key("\x1b\x1b", KeyCode::of(Kind::Esc)),
    // ESC [ P1 ; P2 x names the same keys, with modifiers, as ESC O x.
    fixed_key("\x1bOA", KeyCode::of(Kind::Up)), fixed_key("\x1bOB", KeyCode::of(Kind::Down)),
    fixed_key("\x1bOC", KeyCode::of(Kind::Right)), fixed_key("\x1bOD", KeyCode::of(Kind::Left)),
    fixed_key("\x1bOH", KeyCode::of(Kind::Home)), fixed_key("\x1bOF", KeyCode::of(Kind::End)),
    fixed_key("\x1bOP", KeyCode::function(1)), fixed_key("\x1bOQ", KeyCode::function(2)),
    fixed_key("\x1bOR", KeyCode::function(3)), fixed_key("\x1bOS", KeyCode::function(4)),
    // The same letters after CSI, but R: that ends a cursor position report.
    fixed_key("\x1b[A", KeyCode::of(Kind::Up)), fixed_key("\x1b[B", KeyCode::of(Kind::Down)),
    fixed_key("\x1b[C", KeyCode::of(Kind::Right)), fixed_key("\x1b[D", KeyCode::of(Kind::Left)),
    fixed_key("\x1b[H", KeyCode::of(Kind::Home)), fixed_key("\x1b[F", KeyCode::of(Kind::End)),
    fixed_key("\x1b[P", KeyCode::function(1)), fixed_key("\x1b[Q", KeyCode::function(2)),
    fixed_key("\x1b[S", KeyCode::function(4)),
    fixed_key("\x1b[Z", KeyCode::of(Kind::BackTab), KeyModifiers::SHIFT),
    FixedSequence{"\x1b[I", FocusGained{}}, FixedSequence{"\x1b[O", FocusLost{}},
    // The Linux console's F1 to F5.
    fixed_key("\x1b[[A", KeyCode::function(1)), fixed_key("\x1b[[B", KeyCode::function(2)),
    fixed_key("\x1b[[C", KeyCode::function(3)), fixed_key("\x1b[[D", KeyCode::function(4)),
    fixed_key("\x1b[[E", KeyCode::function(5)),
    // st's Insert outside application keypad mode. Its Delete, ESC [ P, stays
    // F1: extended key reports send that for F1, and the two look alike.
    fixed_key("\x1b[4h", KeyCode::of(Kind::Insert))};

static_assert(std::ranges::all_of(kFixedSequences,
                                  [](const FixedSequence& e) { return e.bytes.size() <= 4; }));

/// The fixed sequence that `bytes` are or begin, if any. Asked for every byte
/// of a sequence, a paste's included, so it must be quick.
const FixedSequence* fixed_sequence_from(std::string_view bytes) {
    if (bytes.size() > 4) {
        return nullptr;
    }
    const uint32_t value = packed(bytes);
    const uint32_t mask = bytes.size() == 4 ? ~0u : (1u << (8 * bytes.size())) - 1;
    for (const FixedSequence& entry : kFixedSequences) {
        if ((entry.bytes_packed & mask) == value && entry.bytes.size() >= bytes.size()) {
            return &entry;
        }
    }
    return nullptr;
}

Outcome decode(const DecodeInput& input);

/// A control byte that is neither ESC nor a fixed sequence: 0x0A depends on raw
/// mode, the rest (0x01 to 0x1A, 0x1C to 0x1F) are Ctrl with a letter or digit:
/// 0x08 is Ctrl+H rather than Backspace, and 0x03 Ctrl+C.
Outcome decode_control_byte(uint8_t byte, RawModeQuery raw_mode) {
    if (byte == 0x0A) {
        return raw_mode() ? key(KeyCode::character('j'), KeyModifiers::CONTROL)
                          : key(KeyCode::of(Kind::Enter));
    }
    if (byte <= 0x1A) {
        return key(KeyCode::character(U'a' + (byte - 0x01)), KeyModifiers::CONTROL);
    }
    return key(KeyCode::character(U'4' + (byte - 0x1C)), KeyModifiers::CONTROL);
}

/// How many bytes the sequence that `first` leads is waited for, judged by the
/// lead byte's bit pattern alone; 0 for a byte that cannot lead one. Not text's
/// rule of what is well-formed: C0, C1 and F5 to F7 announce a length too, and
/// the bytes up to it are dropped with them rather than read as keys.
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

Outcome decode(const DecodeInput& input) {
    const std::string_view bytes = input.bytes;
    const auto first = static_cast<uint8_t>(bytes[0]);
    if (first >= 0x20 && first != 0x7F) {
        return decode_character(bytes);
    }
    if (bytes.size() == 1 && first == kEsc) {
        // No timer: an ESC that ends what has been read so far is the Esc key.
        return input.more_input ? need_more() : key(KeyCode::of(Kind::Esc));
    }
    if (const FixedSequence* fixed = fixed_sequence_from(bytes)) {
        if (fixed->bytes.size() > bytes.size()) {
            return need_more();
        }
        return std::visit([](auto event) { return complete_event(event); }, fixed->event);
    }
    if (first != kEsc) {
        return decode_control_byte(first, input.raw_mode);
    }
    if (bytes[1] == '[') {
        return decode_csi(input);
    }
    // ESC O x for an x that names no key is nothing, not Alt+O and x.
    return bytes[1] == 'O' ? not_decodable() : decode_alt_prefixed(input);
}

}  // namespace

std::optional<KeyEvent> detail::ss3_key(char letter) {
    const char ss3[] = {'\x1b', 'O', letter};
    const FixedSequence* fixed = fixed_sequence_from(std::string_view(ss3, sizeof ss3));
    const auto* event = fixed ? std::get_if<KeyEvent>(&fixed->event) : nullptr;
    return event ? std::optional(*event) : std::nullopt;
}

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

}  // namespace pacpick::term
