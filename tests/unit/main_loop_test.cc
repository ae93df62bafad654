#include "main/main_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <functional>
#include <variant>

#include "../support/name_lists.h"
#include "../support/task_frames.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"

namespace pacpick {
namespace {

using namespace std::chrono_literals;
using term::KeyCode;
using term::KeyEvent;
using term::KeyModifiers;
using term::TerminalEvent;

KeyEvent key(KeyCode code, uint8_t modifiers = 0) {
    return KeyEvent{code, KeyModifiers{modifiers}, term::KeyKind::Press, term::KeyState{}};
}
KeyEvent ch(char32_t c, uint8_t modifiers = 0) {
    return key(KeyCode::character(c), modifiers);
}
KeyEvent named(KeyCode::Kind kind) {
    return key(KeyCode::of(kind));
}

/// Hands out a script of terminal events one at a time; a step that carries a
/// query answer goes to the loop's receiver instead. After each step the
/// source stays silent for its next poll: the loop polls both sources in each
/// pass until one is ready, so by then an answer sent, or one the loop sent
/// itself, has been taken, and the order of the script is the order of
/// handling.
class ScriptedEvents final : public EventSource {
  public:
    /// Made when its turn comes: a list of names is moved, never copied.
    struct Answer {
        std::function<QueryMessage()> make;
    };
    /// A continue after a stop, noticed as the program's handler notices it.
    struct Continue {};
    using Step = std::variant<TerminalEvent, Answer, Error, Continue>;

    explicit ScriptedEvents(std::deque<Step> steps) : steps_(std::move(steps)) {}
    void connect(AppState& state) { sender_.emplace(state.result_sender); }

    rt::Poll<Result<TerminalEvent>> poll(const rt::Waker& waker) override {
        if (std::exchange(silent_, false)) {
            waker.wake();  // the pass after this one goes on
            return rt::Poll<Result<TerminalEvent>>::pending();
        }
        if (steps_.empty()) {
            ADD_FAILURE() << "the loop kept running after the script ended";
            return Result<TerminalEvent>(TerminalEvent(named(KeyCode::Kind::Esc)));
        }
        Step step = std::move(steps_.front());
        steps_.pop_front();
        silent_ = true;
        if (std::holds_alternative<Continue>(step)) {
            rt::notice_signal(SIGCONT);
            return rt::Poll<Result<TerminalEvent>>::pending();
        }
        if (auto* answer = std::get_if<Answer>(&step)) {
            sender_->send(answer->make());
            return rt::Poll<Result<TerminalEvent>>::pending();
        }
        if (auto* error = std::get_if<Error>(&step)) {
            return Result<TerminalEvent>(*error);
        }
        return Result<TerminalEvent>(std::get<TerminalEvent>(std::move(step)));
    }

  private:
    std::deque<Step> steps_;
    std::optional<rt::Sender<QueryMessage>> sender_;
    bool silent_ = false;
};

/// What one frame showed.
struct Frame {
    std::string query;
    std::vector<std::string> matches;
    uint64_t selected;
    std::optional<PackageDetails> details;
    Mode mode;
};

class RecordingDrawer final : public FrameDrawer {
  public:
    Result<void> draw(const AppState& s) override {
        frames.push_back(Frame{s.query, strings_of(s.matches), s.selected, s.details, s.mode});
        if (fail_at && frames.size() == *fail_at) {
            return Error::os(EPIPE);
        }
        return {};
    }
    std::vector<Frame> frames;
    std::optional<size_t> fail_at;
};

/// Records every query started; each stands for a task that waits until it is
/// cancelled, and its frame's token shows whether it was.
class RecordingQueries final : public QueryStarter {
  public:
    struct Search {
        std::string query;
        Mode mode;
        uint64_t generation;
        std::weak_ptr<int> frame;
    };
    struct Details {
        std::string name;
        uint64_t generation;
        std::weak_ptr<int> frame;
    };

    rt::JoinHandle start_search(std::string query, Mode mode, SearchGeneration generation,
                                rt::Sender<QueryMessage>) override {
        auto frame = std::make_shared<int>(0);
        searches.push_back(Search{std::move(query), mode, generation.value, frame});
        return idle_task(std::move(frame));
    }
    rt::JoinHandle start_details(std::string name, DetailsGeneration generation,
                                 rt::Sender<QueryMessage>) override {
        auto frame = std::make_shared<int>(0);
        details.push_back(Details{std::move(name), generation.value, frame});
        return idle_task(std::move(frame));
    }

    std::vector<Search> searches;
    std::vector<Details> details;

  private:
    static rt::JoinHandle idle_task(std::shared_ptr<int> frame) {
        return rt::spawn([](std::shared_ptr<int>) -> rt::Task<void> {
            co_await rt::Sleep(1h);
        }(std::move(frame)));
    }
};

/// Runs the loop over a script and keeps everything it did.
struct LoopRun {
    explicit LoopRun(std::deque<ScriptedEvents::Step> steps) {
        auto built = rt::Runtime::build(1);
        runtime = std::move(built).value();
        auto source = std::make_unique<ScriptedEvents>(std::move(steps));
        auto* script = source.get();
        state = std::make_unique<AppState>(std::move(source));
        script->connect(*state);
    }
    Result<LoopEnd> run() {
        return runtime->block_on(run_main_loop(*state, drawer, queries, continues));
    }
    /// Waits until a cancelled task has actually gone.
    void await_gone(const std::weak_ptr<int>& frame) {
        runtime->block_on(pacpick::testing::until_gone(frame));
    }

    std::unique_ptr<rt::Runtime> runtime;
    std::unique_ptr<AppState> state;
    RecordingDrawer drawer;
    RecordingQueries queries;
    HeardSignals continues{SIGCONT};
};

ScriptedEvents::Step answer(DetailsResult details) {
    return ScriptedEvents::Answer{[details] { return QueryMessage(details); }};
}
ScriptedEvents::Step catalog(uint64_t generation, std::vector<std::string_view> names) {
    return ScriptedEvents::Answer{[generation, names] {
        NameList list;
        for (std::string_view name : names) {
            list.push_back(name);
        }
        return QueryMessage(CatalogResult{{generation}, std::move(list)});
    }};
}
ScriptedEvents::Step esc() {
    return TerminalEvent(named(KeyCode::Kind::Esc));
}
ScriptedEvents::Step press(KeyEvent k) {
    return TerminalEvent(k);
}

TEST(MainLoopTest, StaleCatalogResultIsDroppedWithoutAFrame) {
    LoopRun run({press(ch('v')), press(ch('i')),
                 catalog(1, {"vim", "gvim"}),  // answers the search for "v"
                 catalog(2, {"vi", "vim"}), esc()});
    auto end = run.run();
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(*end, LoopEnd::Quit);
    ASSERT_EQ(run.drawer.frames.size(), 3u);  // two keys and the accepted answer
    EXPECT_TRUE(run.drawer.frames[1].matches.empty());
    EXPECT_EQ(run.drawer.frames[2].matches, (std::vector<std::string>{"vi", "vim"}));
    EXPECT_EQ(run.drawer.frames[2].selected, 0u);
    // The accepted answer asks for the details of its first entry.
    ASSERT_EQ(run.queries.details.size(), 1u);
    EXPECT_EQ(run.queries.details[0].name, "vi");
    EXPECT_EQ(run.queries.details[0].generation, 1u);
}

TEST(MainLoopTest, QuickEditsCancelTheEarlierSearchAndOnlyTheNewestAnswerIsUsed) {
    LoopRun run({press(ch('v')), press(ch('i')), catalog(2, {"vi"}), catalog(1, {"late"}), esc()});
    ASSERT_TRUE(run.run().ok());
    ASSERT_EQ(run.queries.searches.size(), 2u);
    EXPECT_EQ(run.queries.searches[0].query, "v");
    EXPECT_EQ(run.queries.searches[0].generation, 1u);
    EXPECT_EQ(run.queries.searches[1].query, "vi");
    EXPECT_EQ(run.queries.searches[1].generation, 2u);
    EXPECT_EQ(run.queries.searches[1].mode, Mode::Install);
    run.await_gone(run.queries.searches[0].frame);  // cancelled: it goes away
    EXPECT_FALSE(run.queries.searches[1].frame.expired());
    EXPECT_EQ(strings_of(run.state->matches), std::vector<std::string>{"vi"});
    EXPECT_EQ(run.drawer.frames.size(), 3u);
}

TEST(MainLoopTest, UpAndDownClampAtBothEndsAndAskForDetailsEveryTime) {
    LoopRun run({press(ch('a')), catalog(1, {"a", "ab", "abc"}),
                 press(named(KeyCode::Kind::Down)),  // already at 0: stays
                 press(named(KeyCode::Kind::Up)), press(named(KeyCode::Kind::Up)),
                 press(named(KeyCode::Kind::Up)),  // at the last entry: stays
                 press(named(KeyCode::Kind::Down)), press(named(KeyCode::Kind::Down)),
                 // A key, and the answer it brings, each select the first entry again.
                 press(named(KeyCode::Kind::Up)), press(ch('b')), press(named(KeyCode::Kind::Up)),
                 catalog(2, {"ab", "abc"}), esc()});
    ASSERT_TRUE(run.run().ok());
    std::vector<uint64_t> selections;
    for (const auto& f : run.drawer.frames)
        selections.push_back(f.selected);
    EXPECT_EQ(selections, (std::vector<uint64_t>{0, 0, 0, 1, 2, 2, 1, 0, 1, 0, 1, 0}));
    std::vector<std::string> asked;
    for (const auto& d : run.queries.details)
        asked.push_back(d.name);
    EXPECT_EQ(asked, (std::vector<std::string>{"a", "a", "ab", "abc", "abc", "ab", "a", "ab", "ab",
                                               "ab"}));
    // Each request replaced the previous one.
    for (size_t i = 0; i + 1 < run.queries.details.size(); ++i) {
        run.await_gone(run.queries.details[i].frame);
        EXPECT_EQ(run.queries.details[i + 1].generation, run.queries.details[i].generation + 1);
    }
}

TEST(MainLoopTest, UpOnAnEmptyListKeepsSelectionZeroAndPublishesEmptyDetails) {
    LoopRun run({press(named(KeyCode::Kind::Up)), press(named(KeyCode::Kind::Down)), esc()});
    ASSERT_TRUE(run.run().ok());
    EXPECT_TRUE(run.queries.details.empty());   // nothing to ask about: no task
    EXPECT_TRUE(run.queries.searches.empty());  // moving never searches
    EXPECT_EQ(run.state->details_generation.value, 2u);
    // Each key draws, and so does the empty answer each one published.
    ASSERT_EQ(run.drawer.frames.size(), 4u);
    for (const auto& f : run.drawer.frames) {
        EXPECT_EQ(f.selected, 0u);
        EXPECT_FALSE(f.details.has_value());
    }
}

TEST(MainLoopTest, TabTwiceReturnsToInstallWithEverythingEmptied) {
    PackageDetails vim{"vim", "9.0", "editor", true};
    LoopRun run({press(ch('v')), catalog(1, {"vim"}), answer(DetailsResult{{1}, vim}),
                 press(named(KeyCode::Kind::Tab)), press(named(KeyCode::Kind::Tab)), esc()});
    ASSERT_TRUE(run.run().ok());
    const auto& frames = run.drawer.frames;
    ASSERT_EQ(frames.size(), 7u);  // each Tab also draws its empty details answer
    EXPECT_EQ(frames[2].details, std::optional<PackageDetails>(vim));
    EXPECT_EQ(frames[3].mode, Mode::Uninstall);
    EXPECT_TRUE(frames[3].query.empty());
    EXPECT_TRUE(frames[3].matches.empty());
    EXPECT_FALSE(frames[3].details.has_value());  // cleared at once, not on the reply
    EXPECT_EQ(run.state->mode, Mode::Install);
    EXPECT_TRUE(run.state->query.empty());
    EXPECT_TRUE(run.state->matches.empty());
    EXPECT_FALSE(run.state->details.has_value());
    ASSERT_EQ(run.queries.searches.size(), 3u);
    EXPECT_EQ(run.queries.searches[1].mode, Mode::Uninstall);
    EXPECT_EQ(run.queries.searches[1].query, "");
    EXPECT_EQ(run.queries.searches[2].mode, Mode::Install);
}

TEST(MainLoopTest, BackspaceErasesAWholeCharacterAndStillSearchesWhenEmpty) {
    LoopRun run({press(ch('a')), press(ch(U'é')), press(named(KeyCode::Kind::Backspace)),
                 press(named(KeyCode::Kind::Backspace)), press(named(KeyCode::Kind::Backspace)),
                 esc()});
    ASSERT_TRUE(run.run().ok());
    std::vector<std::string> searched;
    for (const auto& s : run.queries.searches)
        searched.push_back(s.query);
    EXPECT_EQ(searched, (std::vector<std::string>{"a", "a\xC3\xA9", "a", "", ""}));
    EXPECT_EQ(run.drawer.frames.size(), 5u);
}

TEST(MainLoopTest, OnlyControlCAndEscQuitWhileOtherLettersAreTyped) {
    {
        LoopRun run({press(ch('q')), press(ch('c')), press(ch('x', KeyModifiers::CONTROL)),
                     press(ch('C', KeyModifiers::SHIFT)), press(ch('c', KeyModifiers::CONTROL))});
        auto end = run.run();
        ASSERT_TRUE(end.ok());
        EXPECT_EQ(*end, LoopEnd::Quit);
        EXPECT_EQ(run.state->query, "qcxC");
        EXPECT_EQ(run.drawer.frames.size(), 4u);  // quitting draws nothing
    }
    {
        LoopRun run({esc()});
        auto end = run.run();
        ASSERT_TRUE(end.ok());
        EXPECT_EQ(*end, LoopEnd::Quit);
        EXPECT_TRUE(run.drawer.frames.empty());
        EXPECT_TRUE(run.queries.searches.empty());  // nothing is queried at start
    }
}

TEST(MainLoopTest, EnterQuitsOnAnEmptyListAndChoosesTheSelectedEntryOtherwise) {
    {
        LoopRun run({press(named(KeyCode::Kind::Enter))});
        auto end = run.run();
        ASSERT_TRUE(end.ok());
        EXPECT_EQ(*end, LoopEnd::Quit);
        EXPECT_FALSE(run.state->pending_action.has_value());
    }
    {
        LoopRun run({press(ch('v')), catalog(1, {"vi", "vim"}), press(named(KeyCode::Kind::Up)),
                     press(named(KeyCode::Kind::Enter))});
        auto end = run.run();
        ASSERT_TRUE(end.ok());
        EXPECT_EQ(*end, LoopEnd::Action);
        EXPECT_EQ(run.state->pending_action, std::optional<std::string>("vim"));
        EXPECT_EQ(run.drawer.frames.size(), 3u);
    }
}

TEST(MainLoopTest, NonKeyEventsDrawNothing) {
    LoopRun run({TerminalEvent(term::Resize{80, 24}), TerminalEvent(term::FocusGained{}),
                 TerminalEvent(term::Paste{"text"}), press(named(KeyCode::Kind::Left)), esc()});
    ASSERT_TRUE(run.run().ok());
    EXPECT_EQ(run.drawer.frames.size(), 1u);  // only the Left key, which changes nothing
    EXPECT_TRUE(run.state->query.empty());
}

TEST(MainLoopTest, AnInputErrorEndsTheLoopWithItInsteadOfWaitingDeaf) {
    LoopRun run({press(ch('a')), Error::os(EIO), press(ch('b'))});
    auto end = run.run();
    ASSERT_FALSE(end.ok());
    EXPECT_EQ(end.error(), Error::os(EIO));
    EXPECT_EQ(run.state->query, "a");
    EXPECT_EQ(run.drawer.frames.size(), 1u);
}

TEST(MainLoopTest, AFrameThatCannotBeDrawnEndsTheLoopWithItsError) {
    LoopRun run({press(ch('a')), press(ch('b')), press(ch('c'))});
    run.drawer.fail_at = 2;
    auto end = run.run();
    ASSERT_FALSE(end.ok());
    EXPECT_EQ(end.error().kind(), ErrorKind::BrokenPipe);
    EXPECT_EQ(run.state->query, "ab");
}

TEST(MainLoopTest, DetailsAnswersAreAcceptedOnlyForTheNewestRequest) {
    PackageDetails a{"a", "1", "first", false};
    PackageDetails ab{"ab", "2", "second", true};
    LoopRun run({press(ch('a')), catalog(1, {"a", "ab"}),
                 press(named(KeyCode::Kind::Up)),  // details generation 2 for "ab"
                 answer(DetailsResult{{1}, a}),    // out of date
                 answer(DetailsResult{{2}, ab}), esc()});
    ASSERT_TRUE(run.run().ok());
    EXPECT_EQ(run.drawer.frames.size(), 4u);
    EXPECT_EQ(run.state->details, std::optional<PackageDetails>(ab));
}

TEST(MainLoopTest, AContinueRedrawsTheSameStateOnce) {
    LoopRun run({press(ch('x')), ScriptedEvents::Continue{}, esc()});
    ASSERT_TRUE(run.run().ok());
    ASSERT_EQ(run.drawer.frames.size(), 2u);
    EXPECT_EQ(run.drawer.frames[1].query, "x");
}

}  // namespace
}  // namespace pacpick
