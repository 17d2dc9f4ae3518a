// The parameter parser and writers on their own. Guards against values read or escaped differently
// from what clients expect.
#include "protocol/MessageSyntax.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

ParamMap parsed(std::string_view line) {
  ParamMap map;
  EXPECT_TRUE(parseParams(line, map)) << line;
  return map;
}

TEST(MessageSyntaxTest, ParserQuirksClientsDependOn) {
  EXPECT_EQ(parsed(R"(login  nick = "a b"  ver=[3,7,12] id=5)"),
            (ParamMap{{"nick", "a b"}, {"ver", "3,7,12"}, {"id", "5"}}));
  // The character after a closing mark is skipped, so "xk=1" loses its "x" and "b=2" its key.
  EXPECT_EQ(parsed(R"(c a="1"xk=1 c=[2]b=2)"),
            (ParamMap{{"a", "1"}, {"k", "1"}, {"c", "2"}, {"", "2"}}));
  EXPECT_EQ(parsed(R"(c q="say \"hi\"" bare=a\"b)"),
            (ParamMap{{"q", R"(say "hi")"}, {"bare", R"(a"b)"}}));
  EXPECT_EQ(parsed("c a=1 a=2 t=\tx\ty=z"), (ParamMap{{"a", "2"}, {"t", "\tx\ty=z"}}));
  EXPECT_EQ(parsed("ping "), ParamMap{});
  EXPECT_EQ(parsed(R"(c e="" f="x")"), (ParamMap{{"e", ""}, {"f", "x"}}));
}

TEST(MessageSyntaxTest, FaultAnywhereLeavesLineWithoutParameters) {
  for (const char* line : {"ping", "", R"(c k="v" b="open)", "c k=1 b=[1,2", "c k=1 b",
                           "c k=1 b=   ", R"(c k=1 path="C:\dir\" n=2)"}) {
    const LineParams params(line);
    std::string text = "untouched";
    int number = 7;
    EXPECT_FALSE(params.valid()) << line;
    EXPECT_FALSE(params.getStringParam("k", text)) << line;
    EXPECT_FALSE(params.getIntParam("k", number)) << line;
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(number, 7);
  }
}

TEST(MessageSyntaxTest, IntegerParamsAcceptOnlyPlainDecimalsInRange) {
  const LineParams params(
      R"(c q="12" m=- lo=-2147483648 hi=2147483647 z=007 e="" p=+1 d=1.5 a=1a big=2147483648)"
      R"( small=-2147483649 long=99999999999999999999 neg=--1)");
  const std::pair<const char*, int> good[] = {
      {"q", 12}, {"m", 0}, {"lo", -2147483647 - 1}, {"hi", 2147483647}, {"z", 7}};
  for (const auto& [key, expected] : good) {
    int value = 1;
    EXPECT_TRUE(params.getIntParam(key, value)) << key;
    EXPECT_EQ(value, expected) << key;
  }
  for (const char* key : {"e", "p", "d", "a", "big", "small", "long", "neg", "absent"}) {
    int value = 1;
    EXPECT_FALSE(params.getIntParam(key, value)) << key;
    EXPECT_EQ(value, 1) << key;
  }
  EXPECT_TRUE(isIntegerText("2147483648"));  // the text check alone knows no range
}

TEST(MessageSyntaxTest, EscapingMatchesOrderedReplacementsAndRoundTrips) {
  for (std::string_view text :
       {"plain", "say \"hi\"", "a\r\nb", "lone\r and\n", "\r\r\n\n", "back\\", "a\\\"",
        "\"\r\n\""}) {
    std::string expected(text);
    replaceAll(expected, "\"", "\\\"");
    replaceAll(expected, "\r\n", "\\r\\n");
    EXPECT_EQ(escapeText(text), expected);
    EXPECT_EQ(unescapeText(escapeText(text)), text);
  }
  EXPECT_EQ(escapeText("a\r\nb\rc\n"), "a\\r\\nb\rc\n");
  // Backslashes are not escaped, so text that already looks escaped does not survive the trip.
  EXPECT_EQ(unescapeText(escapeText(R"(\r\n)")), "\r\n");
  EXPECT_EQ(unescapeText(R"(\\" \x)"), R"(\" \x)");
  std::string grows = "aXa";
  replaceAll(grows, "a", "aa");
  EXPECT_EQ(grows, "aaXaa");
}

TEST(MessageSyntaxTest, WrittenParametersReadBack) {
  std::string message = "welcome";
  appendStringParam(message, "name", "Jo \"J\"\r\nx");
  appendIntParam(message, "n", -5);
  appendIntParam(message, "min", -2147483647 - 1);
  appendBoolParam(message, "on", true);
  appendBoolParam(message, "off", false);
  appendListParam(message, "ids", {12, 3, 7});
  appendListParam(message, "none", {});
  EXPECT_EQ(message, R"(welcome name="Jo \"J\"\r\nx" n=-5 min=-2147483648 on=1 off=0)"
                     R"( ids=[3,7,12] none=[])");
  EXPECT_EQ(parsed(message),
            (ParamMap{{"name", "Jo \"J\"\r\nx"}, {"n", "-5"}, {"min", "-2147483648"}, {"on", "1"},
                      {"off", "0"}, {"ids", "3,7,12"}, {"none", ""}}));
}

}  // namespace
}  // namespace quorvane
