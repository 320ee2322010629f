#include "updater/SimpleOpt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/updater/app/ArgumentList.h"
#include "updater/CommandLine.h"

namespace {

using testsupport::ArgumentList;
using Words = std::vector<std::string>;

struct Parsed {
  Words events;  // "id|error|text|arg", "~" for a NULL text or argument
  Words argv;    // the words after the parse
};

std::string show(const char* text) { return text != nullptr ? text : "~"; }

Parsed parseAll(const Words& words, const CSimpleOpt::SOption* table, int flags) {
  ArgumentList args(words);
  CSimpleOpt parser(args.argc(), args.argv(), table, flags);
  Parsed parsed;
  while (parser.Next()) {
    parsed.events.push_back(std::to_string(parser.OptionId()) + "|" + std::to_string(parser.LastError()) + "|" +
                            show(parser.OptionText()) + "|" + show(parser.OptionArg()));
    if (parsed.events.size() > 1000) break;  // a parser that never ends
  }
  parsed.argv = args.words();
  return parsed;
}

struct Case {
  const char* name;
  Words words;  // after the program name
  Words events;
  Words argvAfter;  // after the program name; empty: not checked
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Words withProgram(const Words& words) {
  Words all{"prog"};
  all.insert(all.end(), words.begin(), words.end());
  return all;
}

// The updater's own table, no flags: how its command lines are read.
class SystemTable : public ::testing::TestWithParam<Case> {};

TEST_P(SystemTable, ReportsOptionsAndMovesOtherWordsBehind) {
  const Case& c = GetParam();
  Parsed parsed = parseAll(withProgram(c.words), g_rgOptions, 0);
  EXPECT_EQ(parsed.events, c.events);
  if (!c.argvAfter.empty()) {
    EXPECT_EQ(parsed.argv, withProgram(c.argvAfter));
  }
}

const std::string NOT_ALLOWED = std::to_string(OPT_ERR_ARG_NOT_ALLOWED);
const std::string MISSING = std::to_string(OPT_ERR_ARG_MISSING);
const std::string IS_OPTION = std::to_string(OPT_ERR_ARG_IS_OPTION);
const std::string INVALID = std::to_string(OPT_ERR_INVALID);
const std::string AMBIGUOUS = std::to_string(OPT_ERR_AMBIGUOUS);

INSTANTIATE_TEST_SUITE_P(
    Cases, SystemTable,
    ::testing::Values(
        Case{"AbbreviationReportsWholeOption", {"-OVER"}, {"1|0|-OVERRIDE|~"}, {}},
        Case{"ShortestUniqueAbbreviation", {"-O"}, {"1|0|-OVERRIDE|~"}, {}},
        Case{"DoubleDashAbbreviation", {"--he"}, {"0|0|--help|~"}, {}},
        Case{"DashesAloneAreUnknown", {"-", "--"}, {"-1|" + INVALID + "|-|~", "-1|" + INVALID + "|--|~"}, {}},
        Case{"WordLongerThanRowIsUnknown", {"-BX"}, {"-1|" + INVALID + "|-BX|~"}, {}},
        Case{"CaseMatters", {"-h", "-H", "-b"}, {"0|0|-h|~", "0|0|-H|~", "2|" + MISSING + "|-b|~"}, {}},
        Case{"EqualsOnFlagOption", {"-B=1"}, {"1|" + NOT_ALLOWED + "|-B|1"}, {}},
        Case{"EqualsArgument", {"-d=40F5849A"}, {"2|0|-d|40F5849A"}, {"-d"}},
        Case{"EmptyEqualsArgument", {"-d="}, {"2|0|-d|"}, {}},
        Case{"UnknownWithEqualsIsCut", {"-q=5"}, {"-1|" + INVALID + "|-q|~"}, {}},
        Case{"ArgumentMissingAtEnd", {"-d"}, {"2|" + MISSING + "|-d|~"}, {}},
        Case{"ArgumentThatIsAnOptionIsNotConsumed", {"-d", "-B"}, {"2|" + IS_OPTION + "|-d|~", "1|0|-B|~"}, {}},
        Case{"ArgumentInNextWord", {"-b", "12"}, {"2|0|-b|12"}, {"-b", "12"}},
        Case{"NonOptionsMovedBehind", {"file1", "-D", "file2"}, {"1|0|-D|~"}, {"-D", "file1", "file2"}},
        Case{"NonOptionsKeepTheirOrder",
             {"a", "-d", "1", "b", "c", "-B", "d=1"},
             {"2|0|-d|1", "1|0|-B|~"},
             {"-d", "1", "-B", "a", "b", "c", "d=1"}},
        // A word moved behind the options is not an argument any more.
        Case{"EarlierWordIsNoArgument", {"x", "-d"}, {"2|" + MISSING + "|-d|~"}, {"-d", "x"}},
        Case{"ArgumentMayLookLikeANumberOrPath", {"-s", "/dev/ttyS0", "-o", "9600"},
             {"2|0|-s|/dev/ttyS0", "2|0|-o|9600"}, {}}));

TEST(SimpleOpt, ProgramNameIsScannedOnlyUnderUseAll) {
  EXPECT_TRUE(parseAll({"-D"}, g_rgOptions, 0).events.empty());
  EXPECT_EQ(parseAll({"-D"}, g_rgOptions, FLAG_USE_ALL).events, Words{"1|0|-D|~"});
}

TEST(SimpleOpt, EmptyAndNullCommandLines) {
  Parsed none = parseAll({}, g_rgOptions, 0);
  EXPECT_TRUE(none.events.empty());

  // An argv that ends before argc words: the missing words are taken as
  // plain words, never dereferenced.
  ArgumentList args({"prog", "-D"});
  char* words[] = {args.argv()[0], nullptr, args.argv()[1]};
  CSimpleOpt parser(3, words, g_rgOptions);
  ASSERT_TRUE(parser.Next());
  EXPECT_EQ(parser.OptionId(), 1);
  EXPECT_FALSE(parser.Next());
  EXPECT_EQ(words[2], nullptr);
}

// More than 50 words: the moves use a heap buffer and give the same order.
TEST(SimpleOpt, LongCommandLinesAreReorderedLikeShortOnes) {
  for (int pairs : {3, 24, 40, 200}) {
    Words words{"prog"}, expectedOptions, expectedRest;
    for (int i = 0; i < pairs; ++i) {
      words.push_back("w" + std::to_string(i));
      words.push_back("-b");
      words.push_back(std::to_string(i));
      expectedRest.push_back("w" + std::to_string(i));
      expectedOptions.push_back("-b");
      expectedOptions.push_back(std::to_string(i));
    }
    Parsed parsed = parseAll(words, g_rgOptions, 0);
    ASSERT_EQ(parsed.events.size(), static_cast<size_t>(pairs)) << pairs;
    EXPECT_EQ(parsed.events.back(), "2|0|-b|" + std::to_string(pairs - 1));
    Words expected{"prog"};
    expected.insert(expected.end(), expectedOptions.begin(), expectedOptions.end());
    expected.insert(expected.end(), expectedRest.begin(), expectedRest.end());
    EXPECT_EQ(parsed.argv, expected) << pairs;
  }
}

// A table that exercises every argument kind and the flags.
const CSimpleOpt::SOption kTable[] = {
    {1, "-a", ARG_NONE},          {2, "-b", ARG_NONE},         {3, "-c", ARG_ATTACHED},
    {4, "-o", ARG_OPTIONAL},      {5, "-s", ARG_SEPARATE},     {6, "--long", ARG_SEPARATE},
    {7, "--verbose", ARG_NONE},   {8, "word", ARG_NONE},       {9, "--list", ARG_NONE},
    {10, "--load", ARG_NONE},     {11, "-k", 7},               {-1, nullptr, ARG_NONE},
};

struct FlagCase {
  const char* name;
  int flags;
  Words words;
  Words events;
  Words argvAfter;
};

void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.name; }

class Flags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(Flags, ChangeHowWordsAreRead) {
  const FlagCase& c = GetParam();
  Parsed parsed = parseAll(withProgram(c.words), kTable, c.flags);
  EXPECT_EQ(parsed.events, c.events);
  if (!c.argvAfter.empty()) {
    EXPECT_EQ(parsed.argv, withProgram(c.argvAfter));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Flags,
    ::testing::Values(
        FlagCase{"Abbreviation", 0, {"--verb"}, {"7|0|--verbose|~"}, {}},
        FlagCase{"ExactMatchRefusesAbbreviation", FLAG_EXACT_MATCH, {"--verb", "--verbose"},
                 {"-1|" + INVALID + "|--verb|~", "7|0|--verbose|~"}, {}},
        FlagCase{"Ambiguous", 0, {"--l", "--lo", "--li", "--loa"},
                 {"-1|" + AMBIGUOUS + "|--l|~", "-1|" + AMBIGUOUS + "|--lo|~", "9|0|--list|~", "10|0|--load|~"}, {}},
        FlagCase{"SingleDashDoesNotMatchDoubleDashRow", 0, {"-verbose"}, {"-1|" + INVALID + "|-verbose|~"}, {}},
        FlagCase{"PlainWordRowAndItsAbbreviation", 0, {"word", "wo", "other"}, {"8|0|word|~", "8|0|word|~"},
                 {"word", "wo", "other"}},
        FlagCase{"AttachedNeedsItsArgument", 0, {"-c", "x"}, {"3|" + MISSING + "|-c|~"}, {"-c", "x"}},
        FlagCase{"AttachedAfterEquals", 0, {"-c=x"}, {"3|0|-c|x"}, {}},
        FlagCase{"OptionalWithAndWithout", 0, {"-o", "-o=x"}, {"4|0|-o|~", "4|0|-o|x"}, {}},
        FlagCase{"UncheckedKind", 0, {"-k", "-k=x"}, {"11|0|-k|~", "11|0|-k|x"}, {}},
        FlagCase{"SeparateWithEquals", 0, {"-s=x"}, {"5|0|-s|x"}, {}},
        FlagCase{"PedanticRefusesEquals", FLAG_PEDANTIC, {"-s=x", "-s", "y"},
                 {"5|" + std::to_string(OPT_ERR_ARG_ATTACHED) + "|-s|x", "5|0|-s|y"}, {}},
        FlagCase{"ShortArgAttached", FLAG_SHORT_ARG, {"-cVALUE", "-oX"}, {"3|0|-c|VALUE", "4|0|-o|X"}, {}},
        FlagCase{"ShortArgNotForSeparateRows", FLAG_SHORT_ARG, {"-sX"}, {"-1|" + INVALID + "|-sX|~"}, {}},
        FlagCase{"ShortArgNeedsTheFlag", 0, {"-cVALUE"}, {"-1|" + INVALID + "|-cVALUE|~"}, {}},
        FlagCase{"Clump", FLAG_CLUMP, {"x", "-ab", "y"}, {"1|0|-a|~", "2|0|-b|~"}, {"-ab", "x", "y"}},
        FlagCase{"ClumpUnknownLetter", FLAG_CLUMP, {"-azb"},
                 {"1|0|-a|~", "-1|" + INVALID + "|-z|~", "2|0|-b|~"}, {}},
        FlagCase{"ClumpAttachedTakesTheRest", FLAG_CLUMP, {"-acVAL", "-b"}, {"1|0|-a|~", "3|0|-c|VAL", "2|0|-b|~"},
                 {}},
        FlagCase{"ClumpAttachedAtEnd", FLAG_CLUMP, {"-ac"}, {"1|0|-a|~", "-1|" + MISSING + "|-c|~"}, {}},
        FlagCase{"ClumpSeparateHasNoArgument", FLAG_CLUMP, {"-as", "x"}, {"1|0|-a|~", "-1|" + MISSING + "|-s|~"},
                 {"-as", "x"}},
        // An optional argument may be left out at the end of a clump.
        FlagCase{"ClumpOptional", FLAG_CLUMP, {"-ao", "-aoX"}, {"1|0|-a|~", "4|0|-o|~", "1|0|-a|~", "4|0|-o|X"},
                 {}},
        FlagCase{"ClumpUncheckedKind", FLAG_CLUMP, {"-ka"}, {"11|0|-k|~", "1|0|-a|~"}, {}},
        FlagCase{"ClumpNoErrorSkipsUnknownLetters", FLAG_CLUMP | FLAG_NO_ERROR, {"-azb", "-az", "-b"},
                 {"1|0|-a|~", "2|0|-b|~", "1|0|-a|~", "2|0|-b|~"}, {}},
        FlagCase{"NoErrorTakesUnknownAsWord", FLAG_NO_ERROR, {"-q", "-a", "-q=1"}, {"1|0|-a|~"},
                 {"-a", "-q", "-q=1"}},
        FlagCase{"NoErrorAllowsDashArgument", FLAG_NO_ERROR, {"-s", "-x"}, {"5|0|-s|-x"}, {}},
        FlagCase{"CaseMattersByDefault", 0, {"-A", "--VERBOSE", "WORD"},
                 {"-1|" + INVALID + "|-A|~", "-1|" + INVALID + "|--VERBOSE|~"}, {}},
        FlagCase{"IcaseShort", FLAG_ICASE_SHORT, {"-A", "--VERBOSE", "WORD"},
                 {"1|0|-a|~", "-1|" + INVALID + "|--VERBOSE|~"}, {}},
        FlagCase{"IcaseLong", FLAG_ICASE_LONG, {"-A", "--VERBOSE", "--LoNg=x", "WORD"},
                 {"-1|" + INVALID + "|-A|~", "7|0|--verbose|~", "6|0|--long|x"}, {}},
        FlagCase{"IcaseWord", FLAG_ICASE_WORD, {"-A", "WORD"}, {"-1|" + INVALID + "|-A|~", "8|0|word|~"}, {}}));

TEST(SimpleOpt, MultiArgTakesFollowingWords) {
  ArgumentList args({"prog", "-a", "p", "q", "-b", "r"});
  CSimpleOpt parser(args.argc(), args.argv(), kTable);
  ASSERT_TRUE(parser.Next());
  char** taken = parser.MultiArg(2);
  ASSERT_NE(taken, nullptr);
  EXPECT_STREQ(taken[0], "p");
  EXPECT_STREQ(taken[1], "q");
  EXPECT_EQ(parser.MultiArg(1), nullptr);
  EXPECT_EQ(parser.LastError(), OPT_ERR_ARG_IS_OPTION);
  ASSERT_TRUE(parser.Next());
  EXPECT_EQ(parser.OptionId(), 2);
  EXPECT_EQ(parser.MultiArg(2), nullptr);
  EXPECT_EQ(parser.LastError(), OPT_ERR_ARG_MISSING);
  EXPECT_EQ(parser.MultiArg(-1), nullptr);
  EXPECT_FALSE(parser.Next());
}

TEST(SimpleOpt, InitStartsAFreshParse) {
  ArgumentList first({"prog", "x", "-a"});
  CSimpleOpt parser(first.argc(), first.argv(), kTable);
  ASSERT_TRUE(parser.Next());
  EXPECT_FALSE(parser.Next());

  Words many{"prog"};
  for (int i = 0; i < 60; ++i) many.push_back(i % 2 ? "-b" : "x");
  ArgumentList second(many);
  EXPECT_TRUE(parser.Init(second.argc(), second.argv(), kTable, 0));
  int found = 0;
  while (parser.Next()) ++found;
  EXPECT_EQ(found, 30);
  EXPECT_EQ(second.words()[31], "x");
}

TEST(SimpleOpt, WideCharacterForm) {
  const CSimpleOptTempl<wchar_t>::SOption table[] = {{1, L"--name", ARG_SEPARATE}, {-1, nullptr, ARG_NONE}};
  wchar_t w0[] = L"prog", w1[] = L"other", w2[] = L"--NA=v";
  wchar_t* argv[] = {w0, w1, w2};
  CSimpleOptTempl<wchar_t> parser(3, argv, table, FLAG_ICASE_LONG);
  ASSERT_TRUE(parser.Next());
  EXPECT_EQ(parser.OptionId(), 1);
  EXPECT_EQ(std::wstring(parser.OptionArg()), L"v");
  EXPECT_FALSE(parser.Next());
  EXPECT_EQ(argv[2], w1);
}

}  // namespace
