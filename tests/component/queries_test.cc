#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "../support/name_lists.h"
#include "process_helpers.h"
#include "queries/catalog_query.h"
#include "queries/details_query.h"
#include "queries/filter.h"
#include "runtime/runtime.h"
#include "runtime/sleep.h"

namespace pacpick {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

/// A stand-in `pacman` first on PATH for the test's length. It appends its
/// arguments to a log, then runs the test's script.
class FakePacman : public process::test::StandIns {
  public:
    explicit FakePacman(const std::string& script) {
        add("pacman", "echo \"$*\" >> '" + file("calls.log") + "'\n" + script + "\n");
    }
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(file("calls.log"));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

/// PATH without any pacman on it, for the test's length.
struct NoPacman : process::test::ScopedEnvironment {
    NoPacman() { set("PATH", "/nonexistent-pacpick-dir"); }
};

std::unique_ptr<rt::Runtime> runtime() {
    return std::move(rt::Runtime::build(2)).value();
}

/// Runs one query task to its end and returns the message it sent, if any.
template <typename Start>
std::optional<QueryMessage> run_query(rt::Runtime& rt, Start start) {
    auto [tx, rx] = rt::make_channel<QueryMessage>();
    auto handle = rt.spawn(start(std::move(tx)));
    return rt.block_on([](rt::Receiver<QueryMessage>& rx) -> rt::Task<std::optional<QueryMessage>> {
        co_return co_await rx.recv();  // empty once the task has ended without sending
    }(rx));
}

CatalogResult search(rt::Runtime& rt, std::string query, Mode mode, uint64_t generation = 7) {
    auto message = run_query(rt, [&](rt::Sender<QueryMessage> tx) {
        return run_catalog_query(query, mode, SearchGeneration{generation}, std::move(tx));
    });
    EXPECT_TRUE(message.has_value());
    return std::get<CatalogResult>(std::move(*message));
}

DetailsResult details(rt::Runtime& rt, std::string name, uint64_t generation = 3) {
    auto message = run_query(rt, [&](rt::Sender<QueryMessage> tx) {
        return run_details_query(name, DetailsGeneration{generation}, std::move(tx));
    });
    EXPECT_TRUE(message.has_value());
    return std::get<DetailsResult>(std::move(*message));
}

const char* kCatalog = R"(case "$1" in
  -Slq) printf 'neovim\nvim\ngvim\nemacs\nvim\n' ;;
  -Qq) printf 'zsh\nvim\nbash\n' ;;
esac)";

TEST(CatalogQueryTest, FiltersTheSyncListingInInstallModeAndTheInstalledOneInUninstallMode) {
    FakePacman pacman(kCatalog);
    auto rt = runtime();
    const auto install = search(*rt, "Vim", Mode::Install, 11);
    EXPECT_EQ(install.generation.value, 11u);
    EXPECT_THAT(strings_of(install.names), ElementsAre("vim", "gvim", "neovim"));
    const auto uninstall = search(*rt, "", Mode::Uninstall);
    EXPECT_THAT(strings_of(uninstall.names), ElementsAre("vim", "zsh", "bash"));
    EXPECT_EQ(pacman.calls(), (std::vector<std::string>{"-Slq", "-Qq"}));
}

// A listing far bigger than a pipe holds reaches the filter in many reads, with
// names (and characters) cut between them; the answer must be the one the whole
// listing gives.
TEST(CatalogQueryTest, ALongListingReadInManyPiecesGivesWhatTheWholeListingGives) {
    std::string listing;
    for (int i = 0; i < 40000; ++i) {
        listing += i % 3 != 0 ? "lib-" : "\xC3\x84-";
        listing += std::to_string(i);
        listing += i % 7 != 0 ? "-vim\n" : "\r\n";
    }
    FakePacman pacman(R"(cat "$(dirname "$0")/listing")");
    std::ofstream(pacman.file("listing")) << listing;
    auto rt = runtime();
    for (const char* query : {"\xC3\xA4-1", "VIM", ""}) {
        SCOPED_TRACE(query);
        NameFilter whole_listing(query);
        whole_listing.feed(listing);
        const auto expected = strings_of(whole_listing.finish());
        EXPECT_GT(expected.size(), 1000u);
        EXPECT_EQ(strings_of(search(*rt, query, Mode::Uninstall).names), expected);
    }
}

TEST(CatalogQueryTest, AnEmptyInstallQueryRunsNothingAndAnswersEmpty) {
    FakePacman pacman(kCatalog);
    auto rt = runtime();
    const auto result = search(*rt, "", Mode::Install);
    EXPECT_TRUE(result.names.empty());
    EXPECT_TRUE(pacman.calls().empty());
}

TEST(CatalogQueryTest, OutputOfAFailingPacmanIsStillUsedAndAMissingOneGivesNothing) {
    {
        FakePacman pacman("printf 'vim\\nvi\\n'; echo 'error: broken' >&2; exit 1");
        auto rt = runtime();
        EXPECT_THAT(strings_of(search(*rt, "vi", Mode::Install).names), ElementsAre("vi", "vim"));
    }
    {
        NoPacman none;
        auto rt = runtime();
        EXPECT_TRUE(search(*rt, "vi", Mode::Install).names.empty());
    }
}

/// Calls `attempt` until this thread ran all of it within the search delay,
/// which is what the caller's checks assume: a run that a loaded machine held
/// up past it proves nothing, and is made again, up to a deadline.
template <typename Attempt>
void within_the_search_delay(Attempt attempt) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        attempt();
        if (std::chrono::steady_clock::now() - start < kSearchDelay) {
            return;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "never ran within the search delay";
    }
}

TEST(CatalogQueryTest, KeystrokesWithinTheDelayStartOnePacmanAndOneAnswer) {
    std::optional<FakePacman> pacman;
    auto rt = runtime();
    std::optional<rt::Receiver<QueryMessage>> receiver;
    std::vector<rt::JoinHandle> searches;
    within_the_search_delay([&] {
        for (auto& search : searches) {
            search.cancel();  // of a run held up: it must not log into the next
        }
        searches.clear();
        pacman.reset();
        pacman.emplace(kCatalog);
        auto [tx, rx] = rt::make_channel<QueryMessage>();
        receiver.emplace(std::move(rx));
        for (const char* query : {"v", "vi", "vim"}) {
            if (!searches.empty()) {
                // 30 ms into its delay, cancelled as the next key cancels it.
                rt->block_on([]() -> rt::Task<void> { co_await rt::Sleep(30ms); }());
                searches.back().cancel();
            }
            searches.push_back(rt->spawn(run_catalog_query(
                query, Mode::Install, SearchGeneration{searches.size() + 1}, tx)));
        }
    });
    auto next = [&] {
        return rt->block_on(
            [](rt::Receiver<QueryMessage>& rx) -> rt::Task<std::optional<QueryMessage>> {
                co_return co_await rx.recv();
            }(*receiver));
    };
    auto message = next();
    ASSERT_TRUE(message.has_value());
    const auto& result = std::get<CatalogResult>(*message);
    EXPECT_EQ(result.generation.value, 3u);
    EXPECT_THAT(strings_of(result.names), ElementsAre("vim", "gvim", "neovim"));
    // Nothing more, once every task's copy of the sender has gone with its frame.
    EXPECT_FALSE(next().has_value());
    EXPECT_EQ(pacman->calls(), (std::vector<std::string>{"-Slq"}));
}

TEST(DetailsQueryTest, TakesVersionAndDescriptionFromSyncInfoAndInstalledFromQuery) {
    FakePacman pacman(R"(case "$1 $2" in
  "-Si vim") printf 'Repository      : extra\nName            : vim\nVersion         : 9.1-1\nDescription     : Vi Improved: a highly configurable editor\n' ;;
  "-Q vim") exit 1 ;;
  "-Si foreign") echo "error: package 'foreign' was not found" >&2; exit 1 ;;
  "-Q foreign") echo "foreign 1.0-1" ;;
esac)");
    auto rt = runtime();
    const auto in_repo = details(*rt, "vim", 5);
    EXPECT_EQ(in_repo.generation.value, 5u);
    ASSERT_TRUE(in_repo.details.has_value());
    EXPECT_EQ(*in_repo.details,
              (PackageDetails{"vim", "9.1-1", "Vi Improved: a highly configurable editor", false}));
    const auto foreign = details(*rt, "foreign");
    ASSERT_TRUE(foreign.details.has_value());
    EXPECT_EQ(*foreign.details, (PackageDetails{"foreign", "", "", true}));
}

TEST(DetailsQueryTest, RunsBothCommandsAtTheSameTime) {
    // -Si waits (boundedly) for a mark that only -Q leaves: it sees the mark only
    // if -Q was started before -Si was awaited.
    FakePacman pacman(R"(mark="$(dirname "$0")/q-started"
case "$1" in
  -Q) touch "$mark"; exit 0 ;;
  -Si) i=0; while [ ! -e "$mark" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done
       [ -e "$mark" ] && echo "Description : concurrent" ;;
esac)");
    auto rt = runtime();
    const auto result = details(*rt, "pkg");
    ASSERT_TRUE(result.details.has_value());
    EXPECT_EQ(result.details->description, "concurrent");
    EXPECT_TRUE(result.details->installed);
}

TEST(DetailsQueryTest, NoPacmanMeansNoDetails) {
    NoPacman none;
    auto rt = runtime();
    const auto result = details(*rt, "vim");
    EXPECT_FALSE(result.details.has_value());
}

}  // namespace
}  // namespace pacpick
