// CSI sequences with parameters and a final byte, or with one of the private
// markers; bracketed paste and the terminal's reports.

#include <array>

#include "term/decoder_rules.h"
#include "text/utf8.h"

namespace pacpick::term::detail {

namespace {

using Kind = KeyCode::Kind;

constexpr std::string_view kPasteStart = "\x1b[200~";
constexpr std::string_view kPasteEnd = "\x1b[201~";

struct TildeKey {
    uint8_t first;
    uint8_t last;
    KeyCode code;  // for a run of F keys, the key of `first`
};

/// ESC [ P ~ by the number P. The numbering of function keys has gaps, and
/// F13 and F14 have two numbers each.
constexpr std::array kTildeKeys = {
    TildeKey{1, 1, KeyCode::of(Kind::Home)},   TildeKey{7, 7, KeyCode::of(Kind::Home)},
    TildeKey{2, 2, KeyCode::of(Kind::Insert)}, TildeKey{3, 3, KeyCode::of(Kind::Delete)},
    TildeKey{4, 4, KeyCode::of(Kind::End)},    TildeKey{8, 8, KeyCode::of(Kind::End)},
    TildeKey{5, 5, KeyCode::of(Kind::PageUp)}, TildeKey{6, 6, KeyCode::of(Kind::PageDown)},
    TildeKey{11, 15, KeyCode::function(1)},    TildeKey{17, 21, KeyCode::function(6)},
    TildeKey{23, 26, KeyCode::function(11)},   TildeKey{28, 29, KeyCode::function(13)},
    TildeKey{31, 34, KeyCode::function(14)},
};

/// The bits of a modifier parameter, once 1 is taken off.
constexpr std::array kParameterModifierBits = {
    FlagBit{1, KeyModifiers::SHIFT},   FlagBit{2, KeyModifiers::ALT},
    FlagBit{4, KeyModifiers::CONTROL}, FlagBit{8, KeyModifiers::SUPER},
    FlagBit{16, KeyModifiers::HYPER},  FlagBit{32, KeyModifiers::META},
};

/// The modifier bits of a parameter value M, which counts from 1 (0 is taken
/// as 1: no modifiers).
KeyModifiers modifiers_of_parameter(uint32_t value) {
    const uint32_t mask = value == 0 ? 0 : value - 1;
    return KeyModifiers{flags_of(mask, kParameterModifierBits)};
}

std::optional<KeyCode> tilde_key(uint32_t number) {
    for (const TildeKey& entry : kTildeKeys) {
        if (number >= entry.first && number <= entry.last) {
            KeyCode code = entry.code;
            code.f = static_cast<uint8_t>(code.f + (number - entry.first));
            return code;
        }
    }
    return std::nullopt;
}

Outcome decode_tilde_key(std::string_view bytes) {
    const std::string_view parameters = parameters_of(bytes);
    auto number = parse_decimal(nth_field(parameters, ';', 0), 255);
    auto code = number ? tilde_key(*number) : std::nullopt;
    if (!code) {
        return not_decodable();
    }
    const ModifierParameter parameter =
        second_field_parameter(parameters).value_or(ModifierParameter{});
    return key(KeyEvent{*code, parameter.modifiers, parameter.kind, parameter.state});
}

/// ESC [ P1 ; P2 x and ESC [ P x: the key of ESC O x. The first parameter
/// means nothing, the modifiers come from the second or, failing that, from
/// the digit before x.
Outcome decode_parameterised_letter(std::string_view bytes) {
    std::optional<KeyEvent> event = ss3_key(bytes.back());
    if (!event) {
        return not_decodable();
    }
    if (auto parameter = second_field_parameter(parameters_of(bytes))) {
        event->modifiers = parameter->modifiers;
        event->kind = parameter->kind;
    } else {
        const char digit = bytes[bytes.size() - 2];
        if (digit < '0' || digit > '9') {
            return not_decodable();
        }
        event->modifiers = modifiers_of_parameter(static_cast<uint32_t>(digit - '0'));
    }
    return key(*event);
}

Outcome decode_cursor_position(std::string_view bytes) {
    const std::string_view parameters = parameters_of(bytes);
    auto row = parse_decimal(nth_field(parameters, ';', 0), 65535);
    auto column = parse_decimal(nth_field(parameters, ';', 1), 65535);
    if (!row || !column) {
        return not_decodable();
    }
    return complete(TerminalReport(CursorPositionReport{zero_based(*column), zero_based(*row)}));
}

/// ESC [ ? ... c and ESC [ ? ... u; anything else after the marker keeps the
/// sequence open.
Outcome decode_private_report(std::string_view bytes) {
    switch (bytes.back()) {
        case 'c':
            return complete(TerminalReport(DeviceAttributesReport{}));
        case 'u':
            if (bytes.size() < 5) {
                return need_more();
            }
            return complete(TerminalReport(
                KeyboardEnhancementFlagsReport{static_cast<uint8_t>(bytes[3] & 0x0F)}));
        default:
            return need_more();
    }
}

/// Everything between the markers, however many reads it took.
Outcome decode_paste(std::string_view bytes) {
    if (bytes.size() < kPasteStart.size() + kPasteEnd.size() || !bytes.ends_with(kPasteEnd)) {
        return need_more();
    }
    const std::string_view pasted =
        bytes.substr(kPasteStart.size(), bytes.size() - kPasteStart.size() - kPasteEnd.size());
    return complete(TerminalEvent(Paste{text::decode_lossy(pasted)}));
}

/// ESC [ followed by a digit: the sequence runs until a final byte in 0x40 to
/// 0x7E, which says what it is.
Outcome decode_numbered(const DecodeInput& input) {
    const std::string_view bytes = input.bytes;
    const auto last = static_cast<uint8_t>(bytes.back());
    if (last < 0x40 || last > 0x7E) {
        return need_more();
    }
    if (bytes.starts_with(kPasteStart)) {
        return decode_paste(bytes);
    }
    // Every other form reads its parameters as text.
    if (!text::is_valid_utf8(parameters_of(bytes))) {
        return not_decodable();
    }
    switch (last) {
        case 'M':
            return decode_rxvt_mouse(bytes);
        case '~':
            return decode_tilde_key(bytes);
        case 'u':
            return decode_extended_key(input);
        case 'R':
            return decode_cursor_position(bytes);  // so ESC [ 1 ; P R is never F3
        default:
            return decode_parameterised_letter(bytes);
    }
}

}  // namespace

std::optional<ModifierParameter> second_field_parameter(std::string_view parameters) {
    const std::string_view field = nth_field(parameters, ';', 1);  // M or M:K
    auto value = parse_decimal(nth_field(field, ':', 0), 255);
    if (!value) {
        return std::nullopt;
    }
    const uint32_t kind = parse_decimal(nth_field(field, ':', 1), 255).value_or(1);

    ModifierParameter parameter;
    parameter.modifiers = modifiers_of_parameter(*value);
    parameter.kind = kind == 2 ? KeyKind::Repeat : kind == 3 ? KeyKind::Release : KeyKind::Press;
    const uint32_t mask = *value == 0 ? 0 : *value - 1;
    if (mask & (64 | 128)) {  // caps lock or num lock
        parameter.state.bits |= KeyState::LOCK;
    }
    return parameter;
}

Outcome decode_csi(const DecodeInput& input) {
    const std::string_view bytes = input.bytes;
    const char third = bytes[2];
    if (third >= '0' && third <= '9') {
        return decode_numbered(input);
    }
    switch (third) {
        case 'M':
            return decode_x10_mouse(bytes);
        case '<':
            return decode_sgr_mouse(bytes);
        case '?':
            return decode_private_report(bytes);
        default:
            return not_decodable();
    }
}

}  // namespace pacpick::term::detail
