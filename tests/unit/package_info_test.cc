#include "queries/package_info.h"

#include <gtest/gtest.h>

#include <string>

namespace pacpick {
namespace {

const std::string k_vim_entry =
    "Repository      : extra\n"
    "Name            : vim\n"
    "Version         : 9.0.1897-1\n"
    "Description     : Vi Improved, a highly configurable, improved version of the vi text "
    "editor\n"
    "Architecture    : x86_64\n"
    "URL             : https://www.vim.org\n"
    "Licenses        : custom:vim\n"
    "Optional Deps   : python: Python language support\n"
    "                  ruby: Ruby language support\n"
    "Build Date      : Tue 12 Sep 2023 08:52:40 PM CEST\n"
    "\n";

TEST(ParsePackageInfoTest, ReadsVersionAndDescriptionOfAnEntry) {
    EXPECT_EQ(parse_package_info(k_vim_entry),
              (PackageInfo{"9.0.1897-1",
                           "Vi Improved, a highly configurable, improved version of the vi text "
                           "editor"}));
    EXPECT_EQ(parse_package_info(""), PackageInfo{});
}

TEST(ParsePackageInfoTest, TrimsKeyAndValueAndSplitsAtTheFirstColonOnly) {
    EXPECT_EQ(parse_package_info("   Version    : 1.2-3\n").version, "1.2-3");
    EXPECT_EQ(parse_package_info("Description : Vi IMproved: a text editor\n").description,
              "Vi IMproved: a text editor");
    EXPECT_EQ(parse_package_info("Version:1:2.0-1").version, "1:2.0-1")
        << "epochs keep their colon";
    EXPECT_EQ(parse_package_info("Description\xC2\xA0:\xE3\x80\x80 wide \t\r\n").description,
              "wide");
}

TEST(ParsePackageInfoTest, TheFirstNonEmptyValueOfEachKeyWins) {
    const std::string two_repositories =
        "Repository : core\nName : foo\nVersion : 1.0-1\nDescription : first\n\n"
        "Repository : testing\nName : foo\nVersion : 2.0-1\nDescription : second\n";
    EXPECT_EQ(parse_package_info(two_repositories), (PackageInfo{"1.0-1", "first"}));
    EXPECT_EQ(parse_package_info("Version :\nDescription :   \nVersion : 2.0\nDescription : d\n"),
              (PackageInfo{"2.0", "d"}));
}

TEST(ParsePackageInfoTest, IgnoresOtherKeysOtherCasesAndContinuationLines) {
    EXPECT_EQ(parse_package_info("version : 1\nDESCRIPTION : x\nVersión : 2\nBeschreibung : y\n"
                                 "Name : Version\nVersion\nthe Version : 3\n"),
              PackageInfo{});
    EXPECT_EQ(parse_package_info("Optional Deps : a\n  Version : 4\n").version, "4")
        << "indentation is trimmed from the key as well";
}

TEST(ParsePackageInfoTest, CrLfLinesReadLikeLfLines) {
    std::string crlf;
    for (char c : k_vim_entry) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    EXPECT_EQ(parse_package_info(crlf), parse_package_info(k_vim_entry));
    EXPECT_EQ(parse_package_info("Version : 1.0\r\n").version, "1.0");
}

TEST(ParsePackageInfoTest, ReadsIllFormedBytesAsReplacementCharacters) {
    EXPECT_EQ(parse_package_info("Description : caf\xC3 \xFF\nVersion : 1\xE2\x82\n"),
              (PackageInfo{"1\xEF\xBF\xBD", "caf\xEF\xBF\xBD \xEF\xBF\xBD"}));
}

}  // namespace
}  // namespace pacpick
