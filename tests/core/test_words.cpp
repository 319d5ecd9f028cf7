#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/words.hpp"

namespace vollan::py {
namespace {

const std::string kPrefix = "change_type must be one of {'mean', 'var', 'distribution'}, got ";

std::string parse_error(std::string_view word) {
    const auto parsed = parse_change_type(word);
    EXPECT_FALSE(parsed.has_value()) << word;
    return parsed.has_value() ? std::string() : parsed.error();
}

TEST(ParseChangeType, AcceptsTheThreeWordsInAnyAsciiCase) {
    const std::vector<std::pair<std::string_view, ChangeType>> cases{
        {"mean", ChangeType::mean},
        {"MEAN", ChangeType::mean},
        {"Var", ChangeType::var},
        {"vAR", ChangeType::var},
        {"distribution", ChangeType::distribution},
        {"DISTRIBUTION", ChangeType::distribution},
    };
    for (const auto& [word, expected] : cases) {
        const auto parsed = parse_change_type(word);
        ASSERT_TRUE(parsed.has_value()) << word;
        EXPECT_EQ(*parsed, expected) << word;
    }
}

TEST(ParseChangeType, RejectsOtherWordsWithTheLowerCasedWordQuoted) {
    EXPECT_EQ(parse_error("Median"), kPrefix + "\"median\"");
    EXPECT_EQ(parse_error(""), kPrefix + "\"\"");
    // Nothing is trimmed.
    EXPECT_EQ(parse_error(" mean"), kPrefix + "\" mean\"");
    EXPECT_EQ(parse_error("mean "), kPrefix + "\"mean \"");
    EXPECT_EQ(parse_error("MEAN\n"), kPrefix + "\"mean\\n\"");
    // A prefix or a longer word is not a match.
    EXPECT_EQ(parse_error("Varx"), kPrefix + "\"varx\"");
    EXPECT_EQ(parse_error("distrib"), kPrefix + "\"distrib\"");
    // Only ASCII letters fold: a dotted capital I or a capital E acute keeps its case.
    EXPECT_EQ(parse_error("M\u00c9AN"), kPrefix + "\"m\u00c9an\"");
    EXPECT_EQ(parse_error("V\u0130R"), kPrefix + "\"v\u0130r\"");
}

TEST(ParseChangeType, NulInsideTheWordIsNotATerminator) {
    EXPECT_EQ(parse_error(std::string_view("mean\0", 5)), kPrefix + "\"mean\\0\"");
}

TEST(CheckBackend, AcceptsThreadOrProcessInAnyAsciiCaseOnly) {
    for (std::string_view word : {"thread", "THREAD", "Thread", "process", "PrOcEsS"}) {
        EXPECT_TRUE(check_backend(word).has_value()) << word;
    }
    const std::string message =
        "backend must be 'thread' or 'process'. Both run on the same internal worker threads, "
        "so the choice does not change the computation.";
    for (std::string_view word : {"", "threads", " thread", "proc", "THR\u0130AD", "dask"}) {
        const auto checked = check_backend(word);
        ASSERT_FALSE(checked.has_value()) << word;
        EXPECT_EQ(checked.error(), message) << word;
    }
}

TEST(QuoteForMessage, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(quote_for_message(""), "\"\"");
    EXPECT_EQ(quote_for_message("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(quote_for_message("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(quote_for_message("\t\r\n"), "\"\\t\\r\\n\"");
    EXPECT_EQ(quote_for_message(std::string_view("x\0y", 3)), "\"x\\0y\"");
    // The single quote and braces stay as they are.
    EXPECT_EQ(quote_for_message("it's {x}"), "\"it's {x}\"");
    EXPECT_EQ(quote_for_message(" ~"), "\" ~\"");
}

TEST(QuoteForMessage, EscapesNonPrintableAndCombiningCodePointsInLowerHex) {
    const std::vector<std::pair<std::string_view, std::string_view>> cases{
        {"\x01", "\\u{1}"},                  // Cc
        {"\x1f", "\\u{1f}"},                 // Cc
        {"\x7f", "\\u{7f}"},                 // Cc
        {"\u0085", "\\u{85}"},               // Cc (NEL)
        {"\u00a0", "\\u{a0}"},               // Zs other than the space
        {"\u00ad", "\\u{ad}"},               // Cf
        {"\u0300", "\\u{300}"},              // Mn
        {"\u0378", "\\u{378}"},              // Cn
        {"\u0903", "\\u{903}"},              // Mc
        {"\u200b", "\\u{200b}"},             // Cf
        {"\u20dd", "\\u{20dd}"},             // Me
        {"\u2028", "\\u{2028}"},             // Zl
        {"\u2029", "\\u{2029}"},             // Zp
        {"\u3000", "\\u{3000}"},             // Zs
        {"\ue000", "\\u{e000}"},             // Co
        {"\ufeff", "\\u{feff}"},             // Cf
        {"\U000e0001", "\\u{e0001}"},        // Cf, four bytes
        {"\U000f0000", "\\u{f0000}"},        // Co, plane 15
        {"\U0010ffff", "\\u{10ffff}"},       // Cn, the last code point
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(quote_for_message(text), std::string(1, '"').append(escaped).append(1, '"'))
            << escaped;
    }
}

TEST(QuoteForMessage, KeepsPrintableCharactersOfEveryLength) {
    const std::vector<std::string_view> kept{
        "\u00a1",      // just after the first escaped range
        "\u00e9",      // é
        "\u00c9",      // É
        "\u0391",     // Greek capital alpha
        "\u20ac",      // €
        "\ufffd",      // replacement character (So)
        "\U0001f600",  // emoji, four bytes
        "\U00020000",  // CJK extension B
    };
    for (std::string_view text : kept) {
        EXPECT_EQ(quote_for_message(text), std::string(1, '"').append(text).append(1, '"')) << text;
    }
    // A combining mark is escaped even after the letter it would combine with.
    EXPECT_EQ(quote_for_message("e\u0301"), "\"e\\u{301}\"");
}

TEST(QuoteForMessage, MalformedUtf8NeverReadsPastTheEnd) {
    const std::string r = "\ufffd";
    // Truncated three-byte sequence at the end: each byte is replaced on its own.
    EXPECT_EQ(quote_for_message("a\xe2\x82"), "\"a" + r + r + "\"");
    // Lone continuation byte, overlong slash, encoded surrogate, beyond U+10FFFF.
    EXPECT_EQ(quote_for_message("\x80"), "\"" + r + "\"");
    EXPECT_EQ(quote_for_message("\xc0\xaf"), "\"" + r + r + "\"");
    EXPECT_EQ(quote_for_message("\xed\xa0\x80"), "\"" + r + r + r + "\"");
    EXPECT_EQ(quote_for_message("\xf4\x90\x80\x80"), "\"" + r + r + r + r + "\"");
    // A broken sequence does not swallow the character after it.
    EXPECT_EQ(quote_for_message("\xe2\x82\""), "\"" + r + r + "\\\"\"");
}

}  // namespace
}  // namespace vollan::py
