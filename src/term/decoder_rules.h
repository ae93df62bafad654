#pragma once

// Shared pieces of the key decoder, split across decoder.cc (the fixed
// sequences, the other control bytes, ESC, characters), decoder_csi.cc (CSI
// sequences with parameters) and decoder_extended.cc (extended key reports
// and mouse reports). Not part of the term library's interface.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/result.h"
#include "term/decoder.h"

namespace pacpick::term::detail {

/// What a rule makes of the bytes of one sequence: a complete item; nothing
/// yet, when more bytes are needed; or an error ("Could not parse an event.")
/// when the bytes can never decode.
using Outcome = Result<std::optional<DecodedItem>>;

/// What every rule sees: the pending bytes (never empty), whether more input is
/// already at hand, and whom to ask about raw mode.
struct DecodeInput {
    std::string_view bytes;
    bool more_input;
    RawModeQuery raw_mode;
};

inline Outcome need_more() {
    return std::optional<DecodedItem>();
}
Outcome not_decodable();
inline Outcome complete(DecodedItem item) {
    return std::optional<DecodedItem>(std::move(item));
}
/// An event with no data. g++ 12 wrongly warns, at -O1 with sanitizers, that
/// moving such an event reads uninitialised memory of the other alternatives.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
template <typename Event>
Outcome complete_event(Event event) {
    return complete(TerminalEvent(std::move(event)));
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

inline Outcome key(KeyCode code, uint8_t modifiers = 0) {
    return complete(
        TerminalEvent(KeyEvent{code, KeyModifiers{modifiers}, KeyKind::Press, KeyState{}}));
}
inline Outcome key(KeyEvent event) {
    return complete(TerminalEvent(event));
}

/// The key that ESC O `letter` stands for, if any.
std::optional<KeyEvent> ss3_key(char letter);

/// A decimal number in ASCII digits only (no sign, no blanks) that is at most
/// `max`; nothing for anything else, the empty string included.
std::optional<uint32_t> parse_decimal(std::string_view digits, uint32_t max);

/// The field at `index` of `text` split at `separator`; empty if there are not
/// that many, which every rule reads as it reads an empty field.
std::string_view nth_field(std::string_view text, char separator, size_t index);

/// The bytes between ESC [ and the final byte.
inline std::string_view parameters_of(std::string_view bytes) {
    return bytes.substr(2, bytes.size() - 3);
}

/// A 1-based terminal coordinate as 0-based; a 0 from a misbehaving terminal
/// stays 0 instead of wrapping around to 65535.
inline uint16_t zero_based(uint32_t one_based) {
    return static_cast<uint16_t>(one_based == 0 ? 0 : one_based - 1);
}

/// What a modifier parameter (M or M:K) of a parameterised key says.
struct ModifierParameter {
    KeyModifiers modifiers;
    KeyKind kind = KeyKind::Press;
    KeyState state;  // LOCK only
};
/// What the second field of `parameters` says as a modifier parameter; nothing
/// when it is missing or M is not a number from 0 to 255.
std::optional<ModifierParameter> second_field_parameter(std::string_view parameters);
/// One bit of a number sent by the terminal and the flag it stands for.
struct FlagBit {
    uint32_t bit;
    uint8_t flag;
};

template <size_t N>
uint8_t flags_of(uint32_t value, const std::array<FlagBit, N>& bits) {
    uint8_t flags = 0;
    for (const FlagBit& entry : bits) {
        if (value & entry.bit) {
            flags |= entry.flag;
        }
    }
    return flags;
}

/// ESC [ followed by at least one more byte, and none of the fixed sequences.
Outcome decode_csi(const DecodeInput& input);
/// ESC [ P ... u, the extended key reports, with parameters that are UTF-8.
Outcome decode_extended_key(const DecodeInput& input);
/// ESC [ M b x y.
Outcome decode_x10_mouse(std::string_view bytes);
/// ESC [ < P1 ; P2 ; P3 M (or m).
Outcome decode_sgr_mouse(std::string_view bytes);
/// ESC [ P1 ; P2 ; P3 M, with parameters that are UTF-8.
Outcome decode_rxvt_mouse(std::string_view bytes);

}  // namespace pacpick::term::detail
