#pragma once

// Readable test failure messages for decoded items: GoogleTest finds these
// PrintTo overloads by argument-dependent lookup.

#include <ostream>
#include <string>
#include <variant>

#include "term/event.h"

namespace pacpick::term {

inline void PrintTo(const KeyEvent& key, std::ostream* os) {
    static constexpr const char* kKinds[] = {
        "Backspace", "Enter",  "Left",        "Right",    "Up",         "Down",    "Home",
        "End",       "PageUp", "PageDown",    "Tab",      "BackTab",    "Delete",  "Insert",
        "F",         "Char",   "Esc",         "CapsLock", "ScrollLock", "NumLock", "PrintScreen",
        "Pause",     "Menu",   "KeypadBegin", "Media",    "Modifier",
    };
    *os << "Key(" << kKinds[static_cast<int>(key.code.kind)];
    switch (key.code.kind) {
        case KeyCode::Kind::F:
            *os << int(key.code.f);
            break;
        case KeyCode::Kind::Char:
            *os << " U+" << std::hex << uint32_t(key.code.ch) << std::dec;
            break;
        case KeyCode::Kind::Media:
            *os << ' ' << int(key.code.media);
            break;
        case KeyCode::Kind::Modifier:
            *os << ' ' << int(key.code.modifier);
            break;
        default:
            break;
    }
    *os << " mods=" << int(key.modifiers.bits) << " kind=" << int(key.kind)
        << " state=" << int(key.state.bits) << ')';
}

inline void PrintTo(const MouseEvent& mouse, std::ostream* os) {
    *os << "Mouse(action=" << int(mouse.action.kind) << " button=" << int(mouse.action.button)
        << " at " << mouse.column << ',' << mouse.row << " mods=" << int(mouse.modifiers.bits)
        << ')';
}

inline void PrintTo(const TerminalEvent& event, std::ostream* os) {
    std::visit(
        [os](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, KeyEvent> || std::is_same_v<E, MouseEvent>) {
                PrintTo(e, os);
            } else if constexpr (std::is_same_v<E, Paste>) {
                *os << "Paste(\"" << e.text << "\")";
            } else if constexpr (std::is_same_v<E, Resize>) {
                *os << "Resize(" << e.columns << 'x' << e.rows << ')';
            } else if constexpr (std::is_same_v<E, FocusGained>) {
                *os << "FocusGained";
            } else {
                *os << "FocusLost";
            }
        },
        event);
}

inline void PrintTo(const TerminalReport& report, std::ostream* os) {
    if (auto* cursor = std::get_if<CursorPositionReport>(&report)) {
        *os << "CursorPosition(" << cursor->column << ',' << cursor->row << ')';
    } else if (auto* flags = std::get_if<KeyboardEnhancementFlagsReport>(&report)) {
        *os << "KeyboardEnhancementFlags(" << int(flags->flags) << ')';
    } else {
        *os << "DeviceAttributes";
    }
}

inline void PrintTo(const DecodedItem& item, std::ostream* os) {
    std::visit([os](const auto& inner) { PrintTo(inner, os); }, item);
}

}  // namespace pacpick::term
