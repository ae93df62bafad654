#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace pacpick::term {

/// Modifier keys held with a key or mouse event, as bit flags.
struct KeyModifiers {
    uint8_t bits = 0;

    static constexpr uint8_t SHIFT = 1;
    static constexpr uint8_t CONTROL = 2;
    static constexpr uint8_t ALT = 4;
    static constexpr uint8_t SUPER = 8;
    static constexpr uint8_t HYPER = 16;
    static constexpr uint8_t META = 32;

    bool contains(uint8_t flag) const { return (bits & flag) == flag; }
    friend bool operator==(KeyModifiers, KeyModifiers) = default;
};

enum class KeyKind : uint8_t { Press, Repeat, Release };

/// Extra key state from extended keyboard reports, as bit flags.
struct KeyState {
    uint8_t bits = 0;

    static constexpr uint8_t KEYPAD = 1;
    static constexpr uint8_t LOCK = 8;

    friend bool operator==(KeyState, KeyState) = default;
};

enum class MediaKey : uint8_t {
    Play,
    Pause,
    PlayPause,
    Reverse,
    Stop,
    FastForward,
    Rewind,
    TrackNext,
    TrackPrevious,
    Record,
    LowerVolume,
    RaiseVolume,
    MuteVolume,
};

enum class ModifierKey : uint8_t {
    LeftShift,
    LeftControl,
    LeftAlt,
    LeftSuper,
    LeftHyper,
    LeftMeta,
    RightShift,
    RightControl,
    RightAlt,
    RightSuper,
    RightHyper,
    RightMeta,
    IsoLevel3Shift,
    IsoLevel5Shift,
};

/// Which key an event is about. Keys without data are `Kind` alone; `F` carries
/// the function key number, `Char` a Unicode scalar value as typed (so 'a' and
/// 'A' differ), `Media` and `Modifier` their sub-kind in `media` / `modifier`.
struct KeyCode {
    enum class Kind : uint8_t {
        Backspace,
        Enter,
        Left,
        Right,
        Up,
        Down,
        Home,
        End,
        PageUp,
        PageDown,
        Tab,
        BackTab,
        Delete,
        Insert,
        F,
        Char,
        Esc,
        CapsLock,
        ScrollLock,
        NumLock,
        PrintScreen,
        Pause,
        Menu,
        KeypadBegin,
        Media,
        Modifier,
    };

    Kind kind = Kind::Esc;
    uint8_t f = 0;           // Kind::F: 1 and up
    char32_t ch = 0;         // Kind::Char
    MediaKey media{};        // Kind::Media
    ModifierKey modifier{};  // Kind::Modifier

    static constexpr KeyCode of(Kind kind) { return KeyCode{kind}; }
    static constexpr KeyCode function(uint8_t n) { return KeyCode{Kind::F, n}; }
    static constexpr KeyCode character(char32_t c) { return KeyCode{Kind::Char, 0, c}; }
    static constexpr KeyCode media_key(MediaKey m) { return KeyCode{Kind::Media, 0, 0, m}; }
    static constexpr KeyCode modifier_key(ModifierKey m) {
        return KeyCode{Kind::Modifier, 0, 0, MediaKey{}, m};
    }

    bool is_char(char32_t c) const { return kind == Kind::Char && ch == c; }
    friend bool operator==(const KeyCode&, const KeyCode&) = default;
};

struct KeyEvent {
    KeyCode code;
    KeyModifiers modifiers;
    KeyKind kind = KeyKind::Press;
    KeyState state;

    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

enum class MouseButton : uint8_t { Left, Right, Middle };

struct MouseAction {
    enum class Kind : uint8_t {
        Down,
        Up,
        Drag,
        Moved,
        ScrollDown,
        ScrollUp,
        ScrollLeft,
        ScrollRight,
    };
    Kind kind = Kind::Moved;
    MouseButton button = MouseButton::Left;  // Down, Up and Drag only

    friend bool operator==(const MouseAction&, const MouseAction&) = default;
};

struct MouseEvent {
    MouseAction action;
    uint16_t column = 0;  // 0-based
    uint16_t row = 0;     // 0-based
    KeyModifiers modifiers;

    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

struct FocusGained {
    friend bool operator==(FocusGained, FocusGained) = default;
};
struct FocusLost {
    friend bool operator==(FocusLost, FocusLost) = default;
};
struct Paste {
    std::string text;  // UTF-8
    friend bool operator==(const Paste&, const Paste&) = default;
};
struct Resize {
    uint16_t columns = 0;
    uint16_t rows = 0;
    friend bool operator==(const Resize&, const Resize&) = default;
};

/// What the main loop receives from the terminal.
using TerminalEvent = std::variant<FocusGained, FocusLost, KeyEvent, MouseEvent, Paste, Resize>;

// Terminal reports: decoded and queued like events, but never handed out.
struct CursorPositionReport {
    uint16_t column = 0;  // 0-based
    uint16_t row = 0;     // 0-based
    friend bool operator==(const CursorPositionReport&, const CursorPositionReport&) = default;
};
struct KeyboardEnhancementFlagsReport {
    uint8_t flags = 0;  // 4 bits
    friend bool operator==(const KeyboardEnhancementFlagsReport&,
                           const KeyboardEnhancementFlagsReport&) = default;
};
struct DeviceAttributesReport {
    friend bool operator==(DeviceAttributesReport, DeviceAttributesReport) = default;
};

using TerminalReport =
    std::variant<CursorPositionReport, KeyboardEnhancementFlagsReport, DeviceAttributesReport>;

/// One complete thing the decoder produced: an event or a report.
using DecodedItem = std::variant<TerminalEvent, TerminalReport>;

}  // namespace pacpick::term
