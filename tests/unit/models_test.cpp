#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "central.h"
#include "models.h"

namespace {

struct MatchCase {
    const char* pattern;
    const char* model;
    bool matches;
};

class ModelMatches : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ModelMatches, AsAShellWould) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(pack::model_matches(c.pattern, c.model), c.matches) << c.pattern << " against " << c.model;
}

INSTANTIATE_TEST_SUITE_P(
    Literals, ModelMatches,
    ::testing::Values(MatchCase{"HOLM Laser 5", "HOLM Laser 5", true}, MatchCase{"holm laser 5", "HOLM LASER 5", true},
                      MatchCase{"HOLM Laser 5", "HOLM Laser 50", false},  // the whole model, not a prefix
                      MatchCase{"HOLM Laser 5", "A HOLM Laser 5", false}, MatchCase{"Laser", "HOLM Laser 5", false},
                      MatchCase{"HOLM Laser 5", "HOLM Laser", false}, MatchCase{"HOLM", "", false},
                      // Case is ASCII only: no folding of other letters, nor of the bytes that spell them.
                      MatchCase{"HOLM Läser", "holm läser", true}, MatchCase{"HOLM LÄSER", "HOLM Läser", false},
                      MatchCase{"@\\[", "`{", false}));

INSTANTIATE_TEST_SUITE_P(
    Wildcards, ModelMatches,
    ::testing::Values(MatchCase{"*", "", true}, MatchCase{"*", "anything", true},
                      MatchCase{"HOLM Laser 5*", "HOLM Laser 5", true},
                      MatchCase{"HOLM Laser 5*", "holm laser 5100dn", true},
                      MatchCase{"HOLM Laser 5*", "HOLM Laser 6100", false},
                      MatchCase{"*Laser*", "HOLM Laser 5", true}, MatchCase{"*5", "HOLM Laser 5 v5", true},
                      MatchCase{"*5", "HOLM Laser 5 v", false}, MatchCase{"H*L*5", "HOLM LLL 555", true},
                      MatchCase{"a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
                      MatchCase{"HOLM Laser 6?", "HOLM Laser 61", true},
                      MatchCase{"HOLM Laser 6?", "HOLM Laser 6", false},
                      MatchCase{"HOLM Laser 6?", "HOLM Laser 612", false}, MatchCase{"**?**", "x", true},
                      MatchCase{"?", "", false}));

INSTANTIATE_TEST_SUITE_P(
    Sets, ModelMatches,
    ::testing::Values(MatchCase{"Laser [56]00", "Laser 500", true}, MatchCase{"Laser [56]00", "Laser 700", false},
                      MatchCase{"Laser [5-7]00", "Laser 700", true}, MatchCase{"Laser [5-7]00", "Laser 800", false},
                      MatchCase{"Laser [!5]00", "Laser 600", true}, MatchCase{"Laser [!5]00", "Laser 500", false},
                      MatchCase{"Laser [!5-7]00", "Laser 700", false},
                      MatchCase{"[a-c]x", "Bx", true}, MatchCase{"[A-C]x", "bx", true}, MatchCase{"[!a]x", "Ax", false},
                      MatchCase{"[]]", "]", true}, MatchCase{"[!]]", "]", false}, MatchCase{"[!]]", "a", true},
                      MatchCase{"[a-]", "-", true}, MatchCase{"[-a]", "-", true}, MatchCase{"[a-]", "b", false},
                      MatchCase{"[*]", "*", true}, MatchCase{"[*]", "x", false}, MatchCase{"[?]", "x", false},
                      MatchCase{"[z-a]", "m", false}, MatchCase{"[\\]]", "]", true},
                      MatchCase{"[\\!a]", "!", true}));

INSTANTIATE_TEST_SUITE_P(
    Escapes, ModelMatches,
    ::testing::Values(MatchCase{"Model \\*", "Model *", true}, MatchCase{"Model \\*", "Model 1", false},
                      MatchCase{"Model \\?", "Model ?", true}, MatchCase{"Model \\?", "Model 1", false},
                      MatchCase{"\\[1]", "[1]", true}, MatchCase{"\\[1]", "1", false},
                      MatchCase{"a\\\\b", "a\\b", true}, MatchCase{"\\A", "a", true}));

// A character is a whole UTF-8 sequence: '?' and a set take all of its
// bytes, and a stray byte is a character of its own that only it matches.
INSTANTIATE_TEST_SUITE_P(
    Utf8, ModelMatches,
    ::testing::Values(MatchCase{"Las?r", "Lasér", true}, MatchCase{"Las??r", "Lasér", false},
                      MatchCase{"Las[éè]r", "Lasèr", true}, MatchCase{"Las[éè]r", "Laser", false},
                      MatchCase{"Las[!e]r", "Lasér", true}, MatchCase{"Las[à-ê]r", "Lasér", true},
                      MatchCase{"Las[à-ê]r", "Lasör", false}, MatchCase{"HOLM ?", "HOLM 漢", true},
                      MatchCase{"HOLM ?", "HOLM 😀", true}, MatchCase{"*é", "aéé", true},
                      // A model in Latin-1, or cut inside a character.
                      MatchCase{"Las?r", "Las\xE9r", true}, MatchCase{"Lasér", "Las\xE9r", false},
                      MatchCase{"Las[é]r", "Las\xE9r", false}, MatchCase{"x?", "x\xC3", true},
                      MatchCase{"x", "x\xC3", false}));

TEST(ModelMatches, RefusedPatternsMatchNothing) {
    for (const char* pattern : {"[Laser", "", "Laser\\"}) EXPECT_FALSE(pack::model_matches(pattern, pattern)) << pattern;
    EXPECT_FALSE(pack::model_matches(std::string(128, 'a'), std::string(128, 'a')));
    EXPECT_TRUE(pack::model_matches(std::string(127, 'a'), std::string(127, 'A')));
}

struct ProblemCase {
    std::string pattern;
    const char* problem;  // the start of it; empty when the pattern is fine
};

class PatternProblem : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(PatternProblem, NamesTheFault) {
    const ProblemCase& c = GetParam();
    std::string said = pack::pattern_problem(c.pattern);
    EXPECT_EQ(said.substr(0, std::string(c.problem).size()), c.problem) << pack::shown_pattern(c.pattern);
    EXPECT_EQ(said.empty(), std::string(c.problem).empty()) << said;
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, PatternProblem,
    ::testing::Values(ProblemCase{"HOLM Laser 5*", ""}, ProblemCase{"[]]", ""}, ProblemCase{"\\[", ""},
                      ProblemCase{"]", ""}, ProblemCase{"Lasér ?", ""}, ProblemCase{std::string(127, 'x'), ""},
                      ProblemCase{"", "empty"}, ProblemCase{std::string(128, 'x'), "longer than 127 bytes"},
                      ProblemCase{std::string(63, 'x') + std::string(33, '\0') + std::string(32, '['),
                                  "longer than 127 bytes"},
                      ProblemCase{"a\tb", "control"}, ProblemCase{"a\nholm-for: *", "control"},
                      ProblemCase{"a\x7F", "control"}, ProblemCase{std::string("a\0b", 3), "control"},
                      ProblemCase{"PK\x03\x04", "control"}, ProblemCase{"Las\xE9r", "not UTF-8"},
                      ProblemCase{"\xC0\xAF", "not UTF-8"}, ProblemCase{"\xED\xA0\x80", "not UTF-8"},
                      ProblemCase{"a\xC3", "not UTF-8"}, ProblemCase{"HOLM [Laser", "a '[' that no ']' closes"},
                      ProblemCase{"[]", "a '[' that no ']' closes"}, ProblemCase{"[!]", "a '[' that no ']' closes"},
                      ProblemCase{"[a\\]", "a '[' that no ']' closes"}, ProblemCase{"a[b]c[", "a '['"},
                      ProblemCase{"Laser\\", "a lone '\\' at the end"}));

TEST(ModelsComment, RoundTrips) {
    const std::vector<std::string> patterns = {"HOLM Laser 5*", "HOLM Laser 6?", "[!x]\\*", "HOLM Laser 5*",
                                               "holm-for: x", " spaced "};
    std::string comment = pack::models_comment(patterns);
    EXPECT_EQ(comment.substr(0, 30), "holm-for: HOLM Laser 5*\nholm-f");
    EXPECT_EQ(comment.back(), '\n');
    EXPECT_EQ(pack::models_of(comment), patterns);
    EXPECT_EQ(pack::models_comment({}), "");
    EXPECT_TRUE(pack::models_of("").empty());
}

TEST(ModelsComment, OnlyItsOwnLinesCount) {
    using Patterns = std::vector<std::string>;
    EXPECT_EQ(pack::models_of("Made by zip 3.0\n"), Patterns{});
    EXPECT_EQ(pack::models_of("holm-for:x\nHOLM-FOR: x\n holm-for: x\nholm-for\n"), Patterns{});
    EXPECT_EQ(pack::models_of("release 7\nholm-for: A*\nsigned\nholm-for: B"), (Patterns{"A*", "B"}));
    EXPECT_EQ(pack::models_of("holm-for: \n"), Patterns{""});
    EXPECT_EQ(pack::models_of("holm-for: A\r\n"), Patterns{"A\r"});
    EXPECT_EQ(pack::shown_pattern("A\r"), "\"A\\x0D\"");
}

// An archive of no entries, as unzip and zipfile write it, with a comment.
std::string empty_archive(const std::string& comment) {
    std::string end = "PK\x05\x06" + std::string(16, '\0');
    end += static_cast<char>(comment.size() & 0xFF);
    end += static_cast<char>(comment.size() >> 8);
    return "stub bytes" + end + comment;
}

TEST(CentralDirectory, ReadsTheComment) {
    for (std::string comment : {std::string(), std::string("holm-for: A*\n"), std::string(300, 'c')}) {
        std::string file = empty_archive(comment);
        pack::CentralDirectory cd =
            pack::read_central_directory(reinterpret_cast<const unsigned char*>(file.data()), file.size());
        EXPECT_TRUE(cd.found);
        EXPECT_EQ(cd.problem, "");
        EXPECT_EQ(cd.comment, comment);
    }
    // Bytes after the comment are none of it.
    std::string file = empty_archive("holm-for: A*\n") + "trailing";
    pack::CentralDirectory cd =
        pack::read_central_directory(reinterpret_cast<const unsigned char*>(file.data()), file.size());
    EXPECT_EQ(cd.comment, "holm-for: A*\n");
}

}  // namespace
