// The cost of turning pacman's output into what the screen shows: filtering a
// whole sync catalog for each search, fed in the 4 KiB pieces pacman writes, and
// reading one package's details.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "queries/filter.h"
#include "queries/package_info.h"

namespace pacpick {
namespace {

// A stand-in for `pacman -Slq` over large repositories: names built from the
// prefixes, words and suffixes real ones use, sorted within each of three
// repositories, with some names listed by two of them. Fixed seed, so every run
// filters the same bytes.
std::string make_catalog(size_t lines) {
    const char* const prefixes[] = {
        "",      "",      "",        "",         "python-",     "python-",    "lib",  "lib",
        "perl-", "ruby-", "nodejs-", "lib32-",   "haskell-",    "ttf-",       "kf6-", "qt6-",
        "go-",   "r-",    "rust-",   "texlive-", "gst-plugin-", "xf86-video-"};
    const char* const syllables[] = {"ar", "be", "co", "da", "el", "fo", "gi", "ha", "io", "ju",
                                     "ka", "lo", "mi", "no", "os", "pa", "qu", "re", "si", "to",
                                     "ul", "ve", "wa", "xy", "yo", "ze", "ng", "st", "tr", "cl"};
    const char* const words[] = {"vim",     "neovim", "gtk",  "kde",  "gnome", "x11",
                                 "wayland", "ssl",    "http", "json", "xml",   "sql",
                                 "audio",   "video",  "font", "net"};
    const char* const suffixes[] = {"",     "",      "",        "",     "",       "",
                                    "-git", "-docs", "-bin",    "2",    "-utils", "-devel",
                                    "-qt",  "-gtk3", "-plugin", "-data"};

    std::mt19937 rng(20240601);
    auto pick = [&rng](const auto& list) { return list[rng() % std::size(list)]; };
    std::vector<std::string> names;
    names.reserve(lines);
    while (names.size() < lines) {
        std::string name = pick(prefixes);
        if (rng() % 60 == 0) {
            name += pick(words);
        }
        const int parts = 2 + int(rng() % 4);
        for (int i = 0; i < parts; ++i) {
            name += pick(syllables);
        }
        if (rng() % 5 == 0) {
            name += pick(words);
        }
        name += pick(suffixes);
        names.push_back(std::move(name));
        if (rng() % 50 == 0 && names.size() < lines) {
            names.push_back(names.back());  // in a second repository too
        }
    }
    std::string catalog;
    const size_t repo_size = names.size() / 3;
    for (size_t repo = 0; repo < 3; ++repo) {
        const auto first = names.begin() + std::ptrdiff_t(repo * repo_size);
        const auto last = repo == 2 ? names.end() : first + std::ptrdiff_t(repo_size);
        std::sort(first, last);
        for (auto it = first; it != last; ++it) {
            catalog += *it;
            catalog += '\n';
        }
    }
    return catalog;
}

const std::string& catalog(size_t lines) {
    static const std::string small = make_catalog(63000);
    static const std::string large = make_catalog(250000);
    return lines == 63000 ? small : large;
}

// pacman writes its listing through stdio, 4 KiB at a time, and the search
// filters each piece as it is read.
constexpr size_t k_piece = 4096;

void filter_catalog(benchmark::State& state, size_t lines, const char* query) {
    const std::string& text = catalog(lines);
    size_t matches = 0;
    for (auto _ : state) {
        NameFilter filter(query);
        for (size_t at = 0; at < text.size(); at += k_piece) {
            filter.feed(std::string_view(text).substr(at, k_piece));
        }
        NameList names = filter.finish();
        matches = names.size();
        benchmark::DoNotOptimize(names);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.counters["catalog_bytes"] = double(text.size());
    state.counters["matches"] = double(matches);
}
// "e" matches most of a catalog, as a first typed letter does; "vim" a few
// dozen names; the empty query of uninstall mode keeps every name.
BENCHMARK_CAPTURE(filter_catalog, 63k_e, 63000, "e")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter_catalog, 63k_vim, 63000, "vim")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter_catalog, 63k_empty_query, 63000, "")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter_catalog, 250k_e, 250000, "e")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter_catalog, 250k_vim, 250000, "vim")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(filter_catalog, 250k_empty_query, 250000, "")->Unit(benchmark::kMillisecond);

// `pacman -Si` for a package that two repositories carry.
const char k_package_entry[] =
    "Repository      : extra\n"
    "Name            : vim\n"
    "Version         : 9.1.0000-1\n"
    "Description     : Vi Improved, a highly configurable, improved version of the vi text "
    "editor\n"
    "Architecture    : x86_64\n"
    "URL             : https://www.vim.org\n"
    "Licenses        : custom:vim\n"
    "Groups          : None\n"
    "Provides        : xxd  vim-minimal  vim-python3  vim-plugin-runtime\n"
    "Depends On      : vim-runtime=9.1.0000-1  gpm  acl  glibc  libgcrypt  pcre  zlib\n"
    "Optional Deps   : python: Python language support\n"
    "                  ruby: Ruby language support\n"
    "                  lua: Lua language support\n"
    "                  perl: Perl language support\n"
    "                  tcl: Tcl language support\n"
    "Conflicts With  : gvim  vim-minimal  vim-python3\n"
    "Replaces        : vim-python3  vim-minimal\n"
    "Download Size   : 1839.20 KiB\n"
    "Installed Size  : 4484.76 KiB\n"
    "Packager        : Someone <someone@example.org>\n"
    "Build Date      : Tue 02 Jan 2024 10:00:00 AM UTC\n"
    "Validated By    : MD5 Sum  SHA-256 Sum  Signature\n"
    "\n"
    "Repository      : testing\n"
    "Name            : vim\n"
    "Version         : 9.1.0016-1\n"
    "Description     : Vi Improved, a highly configurable, improved version of the vi text "
    "editor\n"
    "Architecture    : x86_64\n"
    "\n";

void parse_details(benchmark::State& state) {
    for (auto _ : state) {
        auto info = parse_package_info(k_package_entry);
        benchmark::DoNotOptimize(info);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof k_package_entry - 1));
}
BENCHMARK(parse_details);

}  // namespace
}  // namespace pacpick
