// Extended key reports (ESC [ P ; M u, the kitty keyboard protocol) and the
// three forms of mouse report.

#include <algorithm>
#include <array>

#include "term/decoder_rules.h"
#include "text/utf8.h"

namespace pacpick::term::detail {

namespace {

using Kind = KeyCode::Kind;

struct FunctionalKeys {
    uint32_t first;
    uint32_t last;
    KeyCode first_code;  // the keys of a run follow each other in their enumeration
    uint8_t state = 0;
};

/// The protocol's functional-key numbers. 57364 to 57375 are not among them and
/// read as ordinary characters.
constexpr std::array kFunctionalKeys = {
    FunctionalKeys{57358, 57363, KeyCode::of(Kind::CapsLock)},  // to Menu
    FunctionalKeys{57376, 57398, KeyCode::function(13)},        // to F35
    FunctionalKeys{57399, 57408, KeyCode::character('0'), KeyState::KEYPAD},
    FunctionalKeys{57409, 57409, KeyCode::character('.'), KeyState::KEYPAD},
    FunctionalKeys{57410, 57410, KeyCode::character('/'), KeyState::KEYPAD},
    FunctionalKeys{57411, 57411, KeyCode::character('*'), KeyState::KEYPAD},
    FunctionalKeys{57412, 57412, KeyCode::character('-'), KeyState::KEYPAD},
    FunctionalKeys{57413, 57413, KeyCode::character('+'), KeyState::KEYPAD},
    FunctionalKeys{57414, 57414, KeyCode::of(Kind::Enter), KeyState::KEYPAD},
    FunctionalKeys{57415, 57415, KeyCode::character('='), KeyState::KEYPAD},
    FunctionalKeys{57416, 57416, KeyCode::character(','), KeyState::KEYPAD},
    FunctionalKeys{57417, 57420, KeyCode::of(Kind::Left), KeyState::KEYPAD},  // Right, Up, Down
    FunctionalKeys{57421, 57421, KeyCode::of(Kind::PageUp), KeyState::KEYPAD},
    FunctionalKeys{57422, 57422, KeyCode::of(Kind::PageDown), KeyState::KEYPAD},
    FunctionalKeys{57423, 57423, KeyCode::of(Kind::Home), KeyState::KEYPAD},
    FunctionalKeys{57424, 57424, KeyCode::of(Kind::End), KeyState::KEYPAD},
    FunctionalKeys{57425, 57425, KeyCode::of(Kind::Insert), KeyState::KEYPAD},
    FunctionalKeys{57426, 57426, KeyCode::of(Kind::Delete), KeyState::KEYPAD},
    FunctionalKeys{57427, 57427, KeyCode::of(Kind::KeypadBegin), KeyState::KEYPAD},
    FunctionalKeys{57428, 57440, KeyCode::media_key(MediaKey::Play)},  // to MuteVolume
    FunctionalKeys{57441, 57454,
                   KeyCode::modifier_key(ModifierKey::LeftShift)},  // to IsoLevel5Shift
};

using M = KeyModifiers;
/// The flag a modifier key adds when it is itself the key, by `ModifierKey`:
/// the left keys, the right keys, then the ISO level 3 and 5 shifts (none).
constexpr std::array<uint8_t, 14> kModifierKeyFlags = {
    M::SHIFT,   M::CONTROL, M::ALT,   M::SUPER, M::HYPER, M::META, M::SHIFT,
    M::CONTROL, M::ALT,     M::SUPER, M::HYPER, M::META,  0,       0};

KeyCode advance(KeyCode code, uint32_t steps) {
    switch (code.kind) {
        case Kind::F:
            code.f = static_cast<uint8_t>(code.f + steps);
            break;
        case Kind::Char:
            code.ch += steps;
            break;
        case Kind::Media:
            code.media = static_cast<MediaKey>(static_cast<uint32_t>(code.media) + steps);
            break;
        case Kind::Modifier:
            code.modifier = static_cast<ModifierKey>(static_cast<uint32_t>(code.modifier) + steps);
            break;
        default:
            code.kind = static_cast<Kind>(static_cast<uint32_t>(code.kind) + steps);
            break;
    }
    return code;
}

bool is_scalar_value(uint32_t number) {
    return number <= 0x10FFFF && !(number >= 0xD800 && number <= 0xDFFF);
}

KeyCode plain_key(uint32_t number, KeyModifiers modifiers, RawModeQuery raw_mode) {
    switch (number) {
        case 0x1B:
            return KeyCode::of(Kind::Esc);
        case 0x0D:
            return KeyCode::of(Kind::Enter);
        case 0x0A:
            return raw_mode() ? KeyCode::character('\n') : KeyCode::of(Kind::Enter);
        case 0x09:
            return KeyCode::of(modifiers.contains(KeyModifiers::SHIFT) ? Kind::BackTab : Kind::Tab);
        case 0x7F:
            return KeyCode::of(Kind::Backspace);
        default:
            return KeyCode::character(number);
    }
}

/// The code b of a mouse report, as the event at a 0-based position.
struct ButtonAction {
    MouseAction plain;
    std::optional<MouseAction> dragging;  // none: a drag with this button is undecodable
};

using MK = MouseAction::Kind;

/// By button number n = (b & 3) | ((b & 0xC0) >> 4); numbers from 8 are undecodable.
constexpr std::array kButtonActions = {
    ButtonAction{{MK::Down, MouseButton::Left}, MouseAction{MK::Drag, MouseButton::Left}},
    ButtonAction{{MK::Down, MouseButton::Middle}, MouseAction{MK::Drag, MouseButton::Middle}},
    ButtonAction{{MK::Down, MouseButton::Right}, MouseAction{MK::Drag, MouseButton::Right}},
    ButtonAction{{MK::Up, MouseButton::Left}, MouseAction{MK::Moved}},
    ButtonAction{{MK::ScrollUp}, MouseAction{MK::Moved}},
    ButtonAction{{MK::ScrollDown}, MouseAction{MK::Moved}},
    ButtonAction{{MK::ScrollLeft}, std::nullopt},
    ButtonAction{{MK::ScrollRight}, std::nullopt},
};

/// Only these three modifiers can be told in a mouse report.
constexpr std::array kMouseModifierBits = {
    FlagBit{4, KeyModifiers::SHIFT},
    FlagBit{8, KeyModifiers::ALT},
    FlagBit{16, KeyModifiers::CONTROL},
};

std::optional<MouseEvent> mouse_event(uint32_t code, uint16_t column, uint16_t row) {
    const uint32_t number = (code & 3) | ((code & 0xC0) >> 4);
    const bool dragging = (code & 0x20) != 0;
    if (number >= kButtonActions.size()) {
        return std::nullopt;
    }
    const ButtonAction& entry = kButtonActions[number];
    std::optional<MouseAction> action = dragging ? entry.dragging : entry.plain;
    if (!action) {
        return std::nullopt;
    }
    return MouseEvent{*action, column, row, KeyModifiers{flags_of(code, kMouseModifierBits)}};
}

Outcome mouse(std::optional<MouseEvent> event) {
    return event ? complete(TerminalEvent(*event)) : not_decodable();
}

/// The three numbers P1 ; P2 ; P3 of the SGR and rxvt forms: a button code up
/// to 255 and a 1-based position.
struct MouseParameters {
    uint32_t code;
    uint32_t column;
    uint32_t row;
};

std::optional<MouseParameters> parse_mouse_parameters(std::string_view parameters) {
    if (!text::is_valid_utf8(parameters)) {
        return std::nullopt;
    }
    auto code = parse_decimal(nth_field(parameters, ';', 0), 255);
    auto column = parse_decimal(nth_field(parameters, ';', 1), 65535);
    auto row = parse_decimal(nth_field(parameters, ';', 2), 65535);
    if (!code || !column || !row) {
        return std::nullopt;
    }
    return MouseParameters{*code, *column, *row};
}

}  // namespace

Outcome decode_extended_key(const DecodeInput& input) {
    const std::string_view parameters = parameters_of(input.bytes);
    const std::string_view key_field = nth_field(parameters, ';', 0);
    auto number = parse_decimal(nth_field(key_field, ':', 0), UINT32_MAX);
    if (!number) {
        return not_decodable();
    }
    const ModifierParameter parameter =
        second_field_parameter(parameters).value_or(ModifierParameter{});

    KeyEvent event{KeyCode{}, parameter.modifiers, parameter.kind, parameter.state};
    const auto run = std::ranges::find_if(kFunctionalKeys, [&](const FunctionalKeys& keys) {
        return *number >= keys.first && *number <= keys.last;
    });
    if (run != kFunctionalKeys.end()) {
        event.code = advance(run->first_code, *number - run->first);
        event.state.bits |= run->state;
    } else if (is_scalar_value(*number)) {
        event.code = plain_key(*number, event.modifiers, input.raw_mode);
    } else {
        return not_decodable();
    }
    if (event.code.kind == Kind::Modifier) {
        event.modifiers.bits |= kModifierKeyFlags[static_cast<size_t>(event.code.modifier)];
    }
    // With shift held, the report may also carry the shifted key: that is what
    // was typed, and it already includes the shift.
    if (event.modifiers.contains(KeyModifiers::SHIFT)) {
        auto shifted = parse_decimal(nth_field(key_field, ':', 1), UINT32_MAX);
        if (shifted && is_scalar_value(*shifted)) {
            event.code = KeyCode::character(*shifted);
            event.modifiers.bits &= static_cast<uint8_t>(~KeyModifiers::SHIFT);
        }
    }
    return key(event);
}

Outcome decode_x10_mouse(std::string_view bytes) {
    if (bytes.size() < 6) {
        return need_more();
    }
    const auto code = static_cast<uint8_t>(bytes[3]);
    if (code < 32) {
        return not_decodable();
    }
    // Positions are sent as 33 and up; a smaller byte would mean column 0 or less.
    auto position = [](char byte) {
        const auto value = static_cast<uint8_t>(byte);
        return static_cast<uint16_t>(value < 33 ? 0 : value - 33);
    };
    return mouse(mouse_event(code - 32u, position(bytes[4]), position(bytes[5])));
}

Outcome decode_sgr_mouse(std::string_view bytes) {
    const char final_byte = bytes.back();
    if (bytes.size() < 4 || (final_byte != 'M' && final_byte != 'm')) {
        return need_more();
    }
    auto parameters = parse_mouse_parameters(bytes.substr(3, bytes.size() - 4));
    if (!parameters) {
        return not_decodable();
    }
    auto event =
        mouse_event(parameters->code, zero_based(parameters->column), zero_based(parameters->row));
    if (event && final_byte == 'm' && event->action.kind == MouseAction::Kind::Down) {
        event->action.kind = MouseAction::Kind::Up;
    }
    return mouse(event);
}

Outcome decode_rxvt_mouse(std::string_view bytes) {
    auto parameters = parse_mouse_parameters(parameters_of(bytes));
    if (!parameters || parameters->code < 32) {
        return not_decodable();
    }
    return mouse(mouse_event(parameters->code - 32, zero_based(parameters->column),
                             zero_based(parameters->row)));
}

}  // namespace pacpick::term::detail
