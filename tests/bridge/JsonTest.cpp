// The bridge's JSON reader and string writer.
#include <gtest/gtest.h>

#include <string>

#include "bridge/Json.h"

namespace sablewick {
namespace {

TEST(Json, ReadsNestedValuesKeepingMemberOrderAndRepeats) {
  std::string error;
  const auto v = ParseJson(
      " {\"b\": [1, -2.5e3, true, false, null], \"a\": {\"x\": \"\\u00e9\\ud83d\\ude00\\n\"},"
      " \"b\": \"again\"} ",
      &error);
  ASSERT_TRUE(v) << error;
  ASSERT_EQ(v->members.size(), 3u);
  EXPECT_EQ(v->members[0].first, "b");
  EXPECT_EQ(v->members[1].first, "a");
  const JsonValue* b = v->Find("B", /*ignoreCase=*/true);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->kind, JsonValue::Kind::Array);  // the first of the repeated names
  ASSERT_EQ(b->elements.size(), 5u);
  EXPECT_EQ(b->elements[1].text, "-2.5e3");
  EXPECT_TRUE(b->elements[2].boolean);
  EXPECT_EQ(b->elements[4].kind, JsonValue::Kind::Null);
  EXPECT_EQ(v->Find("B"), nullptr);
  EXPECT_EQ(v->Find("a")->Find("x")->text, "\xc3\xa9\xf0\x9f\x98\x80\n");
}

TEST(Json, RefusesMalformedTextsSayingWhyAndWhere) {
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "unexpected end at byte 0"},
      {"{\"a\": 1,}", "expected a member name at byte 8"},
      {"{\"a\" 1}", "expected ':' at byte 5"},
      {"[1 2]", "expected ',' or ']' at byte 3"},
      {"{\"a\": 01}", "expected ',' or '}' at byte 7"},
      {"\"abc", "unterminated string at byte 4"},
      {"\"a\tb\"", "control character in a string at byte 2"},
      {"\"\\x\"", "unknown escape at byte 2"},
      {"\"\\ud800\"", "lone high surrogate at byte 7"},
      {"\"\\udc00\"", "lone low surrogate at byte 7"},
      {"\"\\u12g4\"", "bad \\u escape at byte 6"},
      {"tru", "unknown word at byte 0"},
      {"-", "unexpected character at byte 1"},
      {"1.", "expected a digit at byte 2"},
      {"{} x", "text after the end of the value at byte 3"},
      {std::string(kJsonMaxDepth + 1, '['), "nested too deeply at byte 32"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseJson(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
  std::string deep = std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']');
  std::string error;
  EXPECT_TRUE(ParseJson(deep, &error)) << error;
}

TEST(Json, WritesStringsAsValidJsonWhateverTheBytes) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\s/", "\"q\\\"b\\\\s/\""},
      {"\n\r\t\x01\x7f", "\"\\n\\r\\t\\u0001\\u007f\""},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xf0\x9f\x98\x80\""},  // UTF-8 as it is
      {"caf\xe9", "\"caf\xc3\xa9\""},                // a Latin-1 byte becomes its character
      {"\xc3", "\"\xc3\x83\""},                      // a sequence cut short
      {"\xed\xa0\x80", "\"\xc3\xad\xc2\xa0\xc2\x80\""},  // an encoded surrogate is not UTF-8
      {"\xe0\x80\xaf", "\"\xc3\xa0\xc2\x80\xc2\xaf\""},  // nor is an overlong form
  };
  for (const Case& c : cases) {
    std::string out;
    AppendJsonString(out, c.in);
    EXPECT_EQ(out, c.out);
    std::string error;
    const auto back = ParseJson(out, &error);
    ASSERT_TRUE(back) << error;
  }
}

}  // namespace
}  // namespace sablewick
