#include "term/decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "../support/event_printing.h"

namespace pacpick::term {
namespace {

using Kind = KeyCode::Kind;
using MK = MouseAction::Kind;

constexpr uint8_t SHIFT = KeyModifiers::SHIFT;
constexpr uint8_t CONTROL = KeyModifiers::CONTROL;
constexpr uint8_t ALT = KeyModifiers::ALT;
constexpr uint8_t KEYPAD = KeyState::KEYPAD;
constexpr uint8_t LOCK = KeyState::LOCK;

bool raw_mode_on() {
    return true;
}
bool raw_mode_off() {
    return false;
}

DecodedItem key(KeyCode code, uint8_t modifiers = 0, KeyKind kind = KeyKind::Press,
                uint8_t state = 0) {
    return TerminalEvent(KeyEvent{code, KeyModifiers{modifiers}, kind, KeyState{state}});
}
DecodedItem key(Kind kind, uint8_t modifiers = 0) {
    return key(KeyCode::of(kind), modifiers);
}
DecodedItem ch(char32_t c, uint8_t modifiers = 0) {
    return key(KeyCode::character(c), modifiers);
}
DecodedItem fkey(uint8_t n, uint8_t modifiers = 0) {
    return key(KeyCode::function(n), modifiers);
}
DecodedItem mouse(MouseAction action, uint16_t column, uint16_t row, uint8_t modifiers = 0) {
    return TerminalEvent(MouseEvent{action, column, row, KeyModifiers{modifiers}});
}
MouseAction down(MouseButton b) {
    return {MK::Down, b};
}
MouseAction up(MouseButton b) {
    return {MK::Up, b};
}
MouseAction drag(MouseButton b) {
    return {MK::Drag, b};
}
MouseAction act(MK kind) {
    return {kind, MouseButton::Left};
}
DecodedItem report(TerminalReport r) {
    return r;
}
DecodedItem paste(std::string text) {
    return TerminalEvent(Paste{std::move(text)});
}

struct Read {
    std::string bytes;
    bool filled_buffer = false;
};

/// Reads fed one after the other, and every item they decode to, in order.
struct FeedCase {
    const char* name;
    std::vector<Read> reads;
    std::vector<DecodedItem> expected;
    RawModeQuery raw_mode = raw_mode_on;
};

void PrintTo(const FeedCase& c, std::ostream* os) {
    *os << c.name;
}

class FeedTest : public testing::TestWithParam<FeedCase> {};

std::vector<DecodedItem> take_all(InputDecoder& decoder) {
    std::vector<DecodedItem> items;
    while (auto item = decoder.next_item()) {
        items.push_back(std::move(*item));
    }
    return items;
}

TEST_P(FeedTest, DecodesTheReadsToExactlyTheseItems) {
    const FeedCase& c = GetParam();
    InputDecoder decoder(c.raw_mode);
    for (const Read& read : c.reads) {
        decoder.feed(read.bytes, read.filled_buffer);
    }
    EXPECT_EQ(take_all(decoder), c.expected);
}

// The input source reads a byte at a time and says when none is left waiting:
// every read must decode as it does in one piece.
TEST_P(FeedTest, DecodesTheSameReadByteByByte) {
    const FeedCase& c = GetParam();
    InputDecoder decoder(c.raw_mode);
    for (const Read& read : c.reads) {
        for (char byte : read.bytes) {
            decoder.feed(std::string_view(&byte, 1), true);
        }
        if (!read.filled_buffer) {
            decoder.input_paused();
        }
    }
    EXPECT_EQ(take_all(decoder), c.expected);
}

// clang-format off
const FeedCase kEscapeAndSingleBytes[] = {
    {"EscAloneIsEscAtOnce", {{"\x1b"}}, {key(Kind::Esc)}},
    {"EscThenLetterIsAltLetter", {{"\x1b" "a"}}, {ch('a', ALT)}},
    {"EscEscIsOneEsc", {{"\x1b\x1b"}}, {key(Kind::Esc)}},
    {"EscThenBackspaceIsAltBackspace", {{"\x1b\x7f"}}, {key(Kind::Backspace, ALT)}},
    {"EscThenCtrlAIsCtrlAltA", {{"\x1b\x01"}}, {ch('a', CONTROL | ALT)}},
    {"EscThenCapitalKeepsShift", {{"\x1b" "A"}}, {ch('A', SHIFT | ALT)}},
    {"EscThenTwoByteCharacter", {{"\x1b\xc3\xa4"}}, {ch(U'ä', ALT)}},
    {"EscThenCharacterSplitAcrossReads", {{"\x1b\xc3"}, {"\xa4"}}, {ch(U'ä', ALT)}},
    {"EscThenAByteThatStartsNothing", {{"\x1b\x80" "a"}}, {ch('a')}},
    {"EscSplitFromItsSequenceIsEscAndKeys", {{"\x1b"}, {"[A"}},
     {key(Kind::Esc), ch('['), ch('A', SHIFT)}},
    {"EscEndingAFilledReadWaitsForTheNext", {{std::string(1023, 'x') + "\x1b", true}, {"[A"}},
     [] {
         std::vector<DecodedItem> v(1023, ch('x'));
         v.push_back(key(Kind::Up));
         return v;
     }()},
    {"Ss3WithUnknownLetterGivesNothing", {{"\x1bOx"}}, {}},
    {"DecodingGoesOnAfterADiscardedSequence", {{"\x1bOxa"}}, {ch('a')}},
    {"Ss3AtTheEndOfAReadWaits", {{"\x1bO"}}, {}},
    {"Ss3CompletedByTheNextRead", {{"\x1bO"}, {"A"}}, {key(Kind::Up)}},
    {"CarriageReturnIsEnter", {{"\r"}}, {key(Kind::Enter)}},
    {"LineFeedInRawModeIsCtrlJ", {{"\n"}}, {ch('j', CONTROL)}},
    {"LineFeedOutsideRawModeIsEnter", {{"\n"}}, {key(Kind::Enter)}, raw_mode_off},
    {"DelIsBackspace", {{"\x7f"}}, {key(Kind::Backspace)}},
    {"BackspaceByteIsCtrlH", {{"\x08"}}, {ch('h', CONTROL)}},
    {"EtxIsCtrlC", {{"\x03"}}, {ch('c', CONTROL)}},
    {"HtIsTab", {{"\t"}}, {key(Kind::Tab)}},
    {"NulIsCtrlSpace", {{std::string(1, '\0')}}, {ch(' ', CONTROL)}},
    {"FileSeparatorIsCtrl4", {{"\x1c"}}, {ch('4', CONTROL)}},
    {"UnitSeparatorIsCtrl7", {{"\x1f"}}, {ch('7', CONTROL)}},
    {"CtrlZ", {{"\x1a"}}, {ch('z', CONTROL)}},
    {"SeveralKeysInOneRead", {{"jk\r"}}, {ch('j'), ch('k'), key(Kind::Enter)}},
};

const FeedCase kCharacters[] = {
    {"CapitalLetterHasShift", {{"A"}}, {ch('A', SHIFT)}},
    {"SmallLetterHasNoModifiers", {{"a"}}, {ch('a')}},
    {"CapitalUmlautHasShift", {{"\xc3\x84"}}, {ch(U'Ä', SHIFT)}},
    {"FourByteCharacter", {{"\xf0\x9f\x98\x80"}}, {ch(U'\U0001F600')}},
    {"SpaceIsAPlainCharacter", {{" "}}, {ch(' ')}},
    {"FirstAndLastLeadOfEachLength",
     {{"\xc2\x80\xdf\xbf\xe0\xa4\x95\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"}},
     {ch(U'\u0080'), ch(U'\u07FF'), ch(U'\u0915'), ch(U'\uFFFD'), ch(U'\U00010000'),
      ch(U'\U0010FFFF')}},
    {"LastLeadsSplitAcrossReads", {{"\xdf"}, {"\xbf\xef\xbf"}, {"\xbd\xf4\x8f"}, {"\xbf\xbf"}},
     {ch(U'\u07FF'), ch(U'\uFFFD'), ch(U'\U0010FFFF')}},
    {"LeadsPastEachEndAreDropped", {{"\xc1\xbf" "a" "\xf5\x80\x80\x80" "b"}}, {ch('a'), ch('b')}},
    {"CharacterSplitAcrossReads", {{"\xc3"}, {"\xa4"}}, {ch(U'ä')}},
    {"OverlongFormIsDropped", {{"\xc0\x80" "b"}}, {ch('b')}},
    {"EncodedSurrogateIsDropped", {{"\xed\xa0\x80" "b"}}, {ch('b')}},
    {"ByteThatStartsNothing", {{"\xf8" "b"}}, {ch('b')}},
    // A lead (0xC0, 0xF7) waits for the rest and loses the byte that breaks it;
    // one outside every range (0xBF) is dropped at once.
    {"BrokenSequencesLoseWhatTheyHeld",
     {{"\xc0"}, {"A"}, {"\xbf"}, {"B"}, {"\xf7"}, {"C"}, {"\xe0" "DE" "\xe0\xc0" "F"},
      {"\xe0\x7f" "G"}, {"\xc3" "A" "\x80"}},
     {ch('B', SHIFT), ch('E', SHIFT), ch('F', SHIFT), ch('G', SHIFT)}},
};

const FeedCase kCsiKeys[] = {
    {"CsiUp", {{"\x1b[A"}}, {key(Kind::Up)}},
    {"Ss3Up", {{"\x1bOA"}}, {key(Kind::Up)}},
    {"CsiArrows", {{"\x1b[B\x1b[C\x1b[D"}}, {key(Kind::Down), key(Kind::Right), key(Kind::Left)}},
    {"Ss3Keys", {{"\x1bOH\x1bOF\x1bOQ\x1bOR\x1bOS"}},
     {key(Kind::Home), key(Kind::End), fkey(2), fkey(3), fkey(4)}},
    {"UpWithControlInTwoForms", {{"\x1b[1;5A\x1b[5A"}}, {key(Kind::Up, CONTROL), key(Kind::Up, CONTROL)}},
    {"DownWithShift", {{"\x1b[1;2B"}}, {key(Kind::Down, SHIFT)}},
    {"ModifierParameterBits", {{"\x1b[1;3C\x1b[1;8D\x1b[1;64H"}},
     {key(Kind::Right, ALT), key(Kind::Left, SHIFT | ALT | CONTROL),
      key(KeyCode::of(Kind::Home), KeyModifiers::SHIFT | KeyModifiers::HYPER | KeyModifiers::META |
                                     KeyModifiers::SUPER | KeyModifiers::CONTROL | KeyModifiers::ALT)}},
    {"LetterKeyRepeat", {{"\x1b[1;1:2A"}}, {key(KeyCode::of(Kind::Up), 0, KeyKind::Repeat)}},
    {"ParameterisedF2AndF4", {{"\x1b[1;5Q\x1b[1;5S"}}, {fkey(2, CONTROL), fkey(4, CONTROL)}},
    {"SequenceSplitAfterItsSecondByteWaits", {{"\x1b["}, {"1;"}, {"5A"}}, {key(Kind::Up, CONTROL)}},
    {"CsiAtTheEndOfAReadWaits", {{"\x1b["}}, {}},
    {"CsiWithUnknownLetterIsDiscarded", {{"\x1b[Xa"}}, {ch('a')}},
    {"CsiWithANonDigitInAParameterIsDiscarded", {{"\x1b[1;5=Aa"}}, {ch('a')}},
    {"CsiRIsNotF3", {{"\x1b[R"}}, {}},
    {"CsiLettersWithoutParameters", {{"\x1b[H\x1b[F\x1b[Z\x1b[P\x1b[Q\x1b[S"}},
     {key(Kind::Home), key(Kind::End), key(Kind::BackTab, SHIFT), fkey(1), fkey(2), fkey(4)}},
    {"Focus", {{"\x1b[I\x1b[O"}}, {TerminalEvent(FocusGained{}), TerminalEvent(FocusLost{})}},
    {"ConsoleFunctionKeys", {{"\x1b[[A\x1b[[B\x1b[[C\x1b[[D\x1b[[E\x1b[[F" "a"}},
     {fkey(1), fkey(2), fkey(3), fkey(4), fkey(5), ch('a')}},
    {"TildeNavigationKeys", {{"\x1b[5~\x1b[6~\x1b[3~\x1b[2~"}},
     {key(Kind::PageUp), key(Kind::PageDown), key(Kind::Delete), key(Kind::Insert)}},
    {"TildeHomeAndEndInBothNumberings", {{"\x1b[1~\x1b[7~\x1b[4~\x1b[8~"}},
     {key(Kind::Home), key(Kind::Home), key(Kind::End), key(Kind::End)}},
    {"TildeWithControl", {{"\x1b[3;5~"}}, {key(Kind::Delete, CONTROL)}},
    {"TildeRelease", {{"\x1b[3;1:3~"}}, {key(KeyCode::of(Kind::Delete), 0, KeyKind::Release)}},
    {"TildeLockState", {{"\x1b[3;65~"}}, {key(KeyCode::of(Kind::Delete), 0, KeyKind::Press, LOCK)}},
    // A modifier parameter at 0, 64 (every modifier, no lock), and its top, 255.
    {"TildeModifierEdges", {{"\x1b[3;0~\x1b[3;64~\x1b[3;255~\x1b[3;256~"}},
     {key(Kind::Delete), key(KeyCode::of(Kind::Delete), 63),
      key(KeyCode::of(Kind::Delete), 62, KeyKind::Press, LOCK), key(Kind::Delete)}},
    {"TildeRangeEnds", {{"\x1b[11~\x1b[15~\x1b[17~\x1b[21~\x1b[23~\x1b[26~\x1b[28~\x1b[31~\x1b[34~"}},
     {fkey(1), fkey(5), fkey(6), fkey(10), fkey(11), fkey(14), fkey(13), fkey(14), fkey(17)}},
    {"TildeNumbersBetweenRangesAreNothing", {{"\x1b[9~\x1b[16~\x1b[22~\x1b[27~\x1b[30~\x1b[35~a"}},
     {ch('a')}},
    {"DigitBeforeTheLetterAtEachEnd", {{"\x1b[0A\x1b[9A\x1b[1;0A"}},
     {key(Kind::Up), key(KeyCode::of(Kind::Up), KeyModifiers::SUPER), key(Kind::Up)}},
    // The first byte in 0x40 to 0x7E ends a sequence: not '?' nor DEL, but '@'.
    {"SequenceEndsAtTheFirstFinalByte", {{"\x1b[1@a\x1b[1?Ab\x1b[1\x7f" "cd"}},
     {ch('a'), ch('b'), ch('d')}},
    {"TildeUnusableModifierIsIgnored", {{"\x1b[3;300~"}}, {key(Kind::Delete)}},
    {"TildeFunctionKeys", {{"\x1b[11~\x1b[15~\x1b[17~\x1b[21~\x1b[23~\x1b[24~\x1b[26~"}},
     {fkey(1), fkey(5), fkey(6), fkey(10), fkey(11), fkey(12), fkey(14)}},
    {"TildeFunctionKeysInTheUpperRange", {{"\x1b[28~\x1b[29~\x1b[31~\x1b[34~"}},
     {fkey(13), fkey(14), fkey(14), fkey(17)}},
    // st sends these for Insert and Delete unless the keypad is in application
    // mode; ESC [ P stays F1, which is what the extended key reports send.
    {"StInsertAndDelete", {{"\x1b[4h" "a" "\x1b[P"}}, {key(Kind::Insert), ch('a'), fkey(1)}},
    {"OtherSetModeSequencesAreDiscarded", {{"\x1b[20h\x1b[4;1h" "a"}}, {ch('a')}},
    {"TildeNumbersInTheGapsAreDiscarded", {{"\x1b[16~\x1b[22~\x1b[30~\x1b[35~\x1b[256~"}}, {}},
};

const FeedCase kExtendedKeys[] = {
    {"PlainLetter", {{"\x1b[97u"}}, {ch('a')}},
    {"LetterWithControlAndRepeat", {{"\x1b[97;5:2u"}}, {key(KeyCode::character('a'), CONTROL, KeyKind::Repeat)}},
    {"CapsLockGivesLockState", {{"\x1b[97;65u"}}, {key(KeyCode::character('a'), 0, KeyKind::Press, LOCK)}},
    {"ShiftedAlternateKeyReplacesShift", {{"\x1b[97:65;2u"}}, {ch('A')}},
    {"AlternateKeyWithoutShiftIsIgnored", {{"\x1b[97:65;5u"}}, {ch('a', CONTROL)}},
    {"EveryKeypadKeyInTurn",
     {{[] {
         std::string reads;
         for (int number = 57399; number <= 57427; ++number)
             reads += "\x1b[" + std::to_string(number) + "u";
         return reads + "\x1b[57417;5u";
     }()}},
     [] {
         std::vector<DecodedItem> keys;
         for (char32_t c : std::u32string_view(U"0123456789./*-+\n=,")) {
             const KeyCode code = c == '\n' ? KeyCode::of(Kind::Enter) : KeyCode::character(c);
             keys.push_back(key(code, 0, KeyKind::Press, KEYPAD));
         }
         for (Kind kind : {Kind::Left, Kind::Right, Kind::Up, Kind::Down, Kind::PageUp, Kind::PageDown,
                           Kind::Home, Kind::End, Kind::Insert, Kind::Delete, Kind::KeypadBegin})
             keys.push_back(key(KeyCode::of(kind), 0, KeyKind::Press, KEYPAD));
         keys.push_back(key(KeyCode::of(Kind::Left), CONTROL, KeyKind::Press, KEYPAD));
         return keys;
     }()},
    {"LockAndSystemKeys", {{"\x1b[57358u\x1b[57363u"}}, {key(Kind::CapsLock), key(Kind::Menu)}},
    {"HighFunctionKeys", {{"\x1b[57376u\x1b[57398u"}}, {fkey(13), fkey(35)}},
    {"MediaKeys", {{"\x1b[57428u\x1b[57440u"}},
     {key(KeyCode::media_key(MediaKey::Play)), key(KeyCode::media_key(MediaKey::MuteVolume))}},
    {"ModifierKeyAddsItsOwnFlag", {{"\x1b[57442u\x1b[57447;3u"}},
     {key(KeyCode::modifier_key(ModifierKey::LeftControl), CONTROL),
      key(KeyCode::modifier_key(ModifierKey::RightShift), SHIFT | ALT)}},
    {"IsoShiftKeysAddNothing", {{"\x1b[57453u\x1b[57454u"}},
     {key(KeyCode::modifier_key(ModifierKey::IsoLevel3Shift)),
      key(KeyCode::modifier_key(ModifierKey::IsoLevel5Shift))}},
    {"NumbersBetweenTheTablesAreCharacters", {{"\x1b[57364u"}}, {ch(57364)}},
    {"ShiftWithoutAShiftedKey", {{"\x1b[97;2u"}}, {ch('a', SHIFT)}},
    {"TheModifierKeysStartWhereTheMediaKeysEnd", {{"\x1b[57441u\x1b[57455u"}},
     {key(KeyCode::modifier_key(ModifierKey::LeftShift), SHIFT), ch(57455)}},
    {"NumbersThatAreNoCharacter", {{"\x1b[55295u\x1b[55296u\x1b[57343u\x1b[57344u\x1b[1114111u\x1b[1114112u"}},
     {ch(0xD7FF), ch(0xE000), ch(0x10FFFF)}},
    {"ControlNumbers", {{"\x1b[27u\x1b[13u\x1b[127u\x1b[9u\x1b[9;2u"}},
     {key(Kind::Esc), key(Kind::Enter), key(Kind::Backspace), key(Kind::Tab),
      key(Kind::BackTab, SHIFT)}},
    {"LineFeedNumberInRawMode", {{"\x1b[10u"}}, {ch('\n')}},
    {"LineFeedNumberOutsideRawMode", {{"\x1b[10u"}}, {key(Kind::Enter)}, raw_mode_off},
    {"SurrogateAndOutOfRangeNumbersAreDiscarded", {{"\x1b[55296u\x1b[1114112u\x1b[4294967296u"}}, {}},
};

const FeedCase kMouseReports[] = {
    {"X10CodeAndPositionsAtTheirLowestBytes", {{"\x1b[M\x1f!!a\x1b[M   "}},
     {ch('a'), mouse(down(MouseButton::Left), 0, 0)}},
    {"SgrAndRxvtWithoutTheirNumbers", {{"\x1b[<Ma\x1b[32;1Mb"}}, {ch('a'), ch('b')}},
    {"RxvtPositionAtItsLimit",
     {{"\x1b[32;65535;1M\x1b[32;65536;1M\x1b[32;1;65535M\x1b[32;1;65536M"}},
     {mouse(down(MouseButton::Left), 65534, 0), mouse(down(MouseButton::Left), 0, 65534)}},
    {"SgrDown", {{"\x1b[<0;10;5M"}}, {mouse(down(MouseButton::Left), 9, 4)}},
    {"SgrUp", {{"\x1b[<0;10;5m"}}, {mouse(up(MouseButton::Left), 9, 4)}},
    {"SgrButtons", {{"\x1b[<1;1;1M\x1b[<2;1;1M"}},
     {mouse(down(MouseButton::Middle), 0, 0), mouse(down(MouseButton::Right), 0, 0)}},
    {"SgrDragAndMove", {{"\x1b[<32;3;4M\x1b[<35;3;4M"}},
     {mouse(drag(MouseButton::Left), 2, 3), mouse(act(MK::Moved), 2, 3)}},
    {"SgrScrolling", {{"\x1b[<64;1;1M\x1b[<65;1;1M\x1b[<66;1;1M\x1b[<67;1;1M"}},
     {mouse(act(MK::ScrollUp), 0, 0), mouse(act(MK::ScrollDown), 0, 0),
      mouse(act(MK::ScrollLeft), 0, 0), mouse(act(MK::ScrollRight), 0, 0)}},
    {"SgrModifiers", {{"\x1b[<28;1;1M"}}, {mouse(down(MouseButton::Left), 0, 0, SHIFT | ALT | CONTROL)}},
    {"SgrScrollUpKeepsItsKindOnRelease", {{"\x1b[<64;1;1m"}}, {mouse(act(MK::ScrollUp), 0, 0)}},
    {"SgrSidewaysDragAndHighButtonsAreDiscarded", {{"\x1b[<98;1;1M\x1b[<128;1;1M"}}, {}},
    {"SgrMissingParameterIsDiscarded", {{"\x1b[<0;1M\x1b[<0;;1M"}}, {}},
    {"SgrPositionZeroStaysZero", {{"\x1b[<0;0;0M"}}, {mouse(down(MouseButton::Left), 0, 0)}},
    {"SgrSplitAcrossReads", {{"\x1b[<0;1"}, {"0;5M"}}, {mouse(down(MouseButton::Left), 9, 4)}},
    {"X10Down", {{"\x1b[M !&"}}, {mouse(down(MouseButton::Left), 0, 5)}},
    {"X10DragAndRelease", {{"\x1b[M@**\x1b[M#**"}},
     {mouse(drag(MouseButton::Left), 9, 9), mouse(up(MouseButton::Left), 9, 9)}},
    {"X10ButtonBelowSpaceIsDiscarded", {{"\x1b[M\x10!!"}}, {}},
    {"RxvtDown", {{"\x1b[32;10;5M"}}, {mouse(down(MouseButton::Left), 9, 4)}},
    {"RxvtScrollWithShift", {{"\x1b[100;2;3M"}}, {mouse(act(MK::ScrollUp), 1, 2, SHIFT)}},
    {"RxvtCodeBelow32IsDiscarded", {{"\x1b[31;1;1M"}}, {}},
};

const FeedCase kPastesAndReports[] = {
    {"PasteInOneRead", {{"\x1b[200~hello\x1b[201~"}}, {paste("hello")}},
    {"PasteSpanningReads", {{"\x1b[20"}, {"0~hel"}, {"lo\r\nwor"}, {"ld\x1b[20"}, {"1~x"}},
     {paste("hello\r\nworld"), ch('x')}},
    {"EmptyPaste", {{"\x1b[200~\x1b[201~"}}, {paste("")}},
    {"PasteKeepsEscapesAndReplacesBrokenUtf8", {{"\x1b[200~a\x1b[A\xc3\x1b[201~"}},
     {paste("a\x1b[A\xef\xbf\xbd")}},
    {"PasteLongerThanManyBuffers",
     {{"\x1b[200~" + std::string(1018, 'p'), true},
      {std::string(1024, 'q'), true},
      {std::string(100, 'r') + "\x1b[201~"}},
     {paste(std::string(1018, 'p') + std::string(1024, 'q') + std::string(100, 'r'))}},
    {"CursorPositionIsAReport", {{"\x1b[1;5R"}}, {report(CursorPositionReport{4, 0})}},
    {"CursorPositionBetweenKeys", {{"j\x1b[12;40Rk"}},
     {ch('j'), report(CursorPositionReport{39, 11}), ch('k')}},
    {"CursorPositionNeedsBothNumbers", {{"\x1b[12R\x1b[1;70000R"}}, {}},
    {"CursorPositionAtItsLimit", {{"\x1b[65535;65535R\x1b[65536;1R\x1b[1;65536R"}},
     {report(CursorPositionReport{65534, 65534})}},
    {"DeviceAttributes", {{"\x1b[?62;22c"}}, {report(DeviceAttributesReport{})}},
    {"KeyboardEnhancementFlags", {{"\x1b[?7u"}}, {report(KeyboardEnhancementFlagsReport{7})}},
    {"KeyboardEnhancementFlagsComeFromTheFourthByte", {{"\x1b[?15u"}}, {report(KeyboardEnhancementFlagsReport{1})}},
    {"PrivateReportWaitsForItsFinalByte", {{"\x1b[?1;2"}}, {}},
};

// A sequence still open at the end of a read takes in the next one; an
// undecodable one is dropped at once, and the next read decodes by itself.
const FeedCase kOpenOrUndecodable[] = {
    {"EscWithMoreInput", {{"\x1b", true}, {"x"}}, {ch('x', ALT)}},
    {"Ss3WithoutThirdByte", {{"\x1bO"}, {"P"}}, {fkey(1)}},
    {"CsiWithoutThirdByte", {{"\x1b["}, {"Z"}}, {key(Kind::BackTab, SHIFT)}},
    {"NumberedWithoutFinalByte", {{"\x1b[1;5"}, {"~"}}, {key(Kind::Home, CONTROL)}},
    {"ConsoleKeyWithoutLetter", {{"\x1b[["}, {"C"}}, {fkey(3)}},
    {"X10WithOneByteMissing", {{"\x1b[M !"}, {"!"}}, {mouse(down(MouseButton::Left), 0, 0)}},
    {"SgrWithoutFinalByte", {{"\x1b[<0;1;1"}, {"m"}}, {mouse(up(MouseButton::Left), 0, 0)}},
    {"KeyboardFlagsTooShort", {{"\x1b[?u"}, {"c"}}, {report(DeviceAttributesReport{})}},
    {"OpenPaste", {{"\x1b[200~text"}, {"\x1b[201~"}}, {paste("text")}},
    {"FirstOfThreeUtf8Bytes", {{"\xe2\x82"}, {"\xac"}}, {ch(U'€')}},
    {"EscThenFirstUtf8Byte", {{"\x1b\xc3"}, {"\xa4"}}, {ch(U'ä', ALT)}},
    {"UnknownCsiLetter", {{"\x1b[X"}, {"a"}}, {ch('a')}},
    {"UnknownSs3Letter", {{"\x1bOx"}, {"a"}}, {ch('a')}},
    {"Utf8WithAsciiSecondByte", {{"\xc3\x41"}, {"a"}}, {ch('a')}},
    {"LoneContinuationByte", {{"\x80", true}, {"a"}}, {ch('a')}},
    {"TildeWithInvalidUtf8", {{"\x1b[3\xff~"}, {"a"}}, {ch('a')}},
    {"LetterKeyWithoutDigitBeforeIt", {{"\x1b[1;A"}, {"a"}}, {ch('a')}},
    {"SemicolonRightAfterCsi", {{"\x1b[;", true}, {"5A"}}, {ch('5'), ch('A', SHIFT)}},
};
// clang-format on

std::string case_name(const testing::TestParamInfo<FeedCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(EscapeAndSingleBytes, FeedTest, testing::ValuesIn(kEscapeAndSingleBytes),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Characters, FeedTest, testing::ValuesIn(kCharacters), case_name);
INSTANTIATE_TEST_SUITE_P(CsiKeys, FeedTest, testing::ValuesIn(kCsiKeys), case_name);
INSTANTIATE_TEST_SUITE_P(ExtendedKeys, FeedTest, testing::ValuesIn(kExtendedKeys), case_name);
INSTANTIATE_TEST_SUITE_P(MouseReports, FeedTest, testing::ValuesIn(kMouseReports), case_name);
INSTANTIATE_TEST_SUITE_P(PastesAndReports, FeedTest, testing::ValuesIn(kPastesAndReports),
                         case_name);
INSTANTIATE_TEST_SUITE_P(OpenOrUndecodable, FeedTest, testing::ValuesIn(kOpenOrUndecodable),
                         case_name);

TEST(InputDecoderTest, RawModeIsAskedOnlyForLineFeeds) {
    static int asked = 0;
    auto counting = [] {
        ++asked;
        return true;
    };
    InputDecoder decoder(counting);
    decoder.feed("ab\r\x1b[A", false);
    EXPECT_EQ(asked, 0);
    decoder.feed("\n\x1b[10u", false);
    EXPECT_EQ(asked, 2);
}

TEST(InputDecoderTest, QueueOutgrowsItsInitialCapacityInOrder) {
    InputDecoder decoder(raw_mode_on);
    std::string many;
    for (int i = 0; i < 300; ++i) {
        many.push_back(static_cast<char>('a' + i % 26));
    }
    decoder.feed(many, false);
    for (int i = 0; i < 300; ++i) {
        auto item = decoder.next_item();
        ASSERT_TRUE(item.has_value()) << i;
        EXPECT_EQ(*item, ch(static_cast<char32_t>('a' + i % 26))) << i;
    }
    EXPECT_FALSE(decoder.next_item().has_value());
}

}  // namespace
}  // namespace pacpick::term
