// The parameter parser and the escaping on their own; the writers' output is checked byte for
// byte by the end-to-end tests. Guards against values read or escaped differently from what
// clients expect.
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
  // Escaping is two ordered replacements and unescaping undoes it; backslashes are not escaped.
  for (std::string_view text : {"say \"hi\"", "\r\r\n\n", "back\\", "\"\r\n\"", "lone\r"}) {
    std::string expected(text);
    replaceAll(expected, "\"", "\\\"");
    replaceAll(expected, "\r\n", "\\r\\n");
    EXPECT_EQ(escapeText(text), expected);
    EXPECT_EQ(unescapeText(expected), text);
  }
}

TEST(MessageSyntaxTest, FaultAnywhereLeavesLineWithoutParameters) {
  for (const char* line : {"ping", "", R"(c k="v" b="open)", "c k=1 b=[1,2", "c k=1 b",
                           "c k=1 b c=2", "c k=1 b=   ", R"(c k=1 path="C:\dir\" n=2)"}) {
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

}  // namespace
}  // namespace quorvane
