#include "core/tessera/json.h"

#include <gtest/gtest.h>

#include <string>

namespace le::tessera::json {
namespace {

std::string errorOf(const std::string& text) {
  try {
    parse(text);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(TesseraJson, ParsesEveryKindAndKeepsDuplicateKeysInOrder) {
  JVal v = parse(" {\"a\": [1, -2.5e1, true, false, null], \"s\": \"x\\ty\\u00e9z\\q\", \"a\": 7}  trailing");
  ASSERT_TRUE(v.isObj());
  ASSERT_EQ(v.obj.size(), 3u);
  const JVal& a = v.req("a");  // first occurrence wins
  ASSERT_TRUE(a.isArr());
  ASSERT_EQ(a.arr.size(), 5u);
  EXPECT_EQ(a.arr[1].number, -25.0);
  EXPECT_TRUE(a.arr[2].isBool() && a.arr[2].boolean);
  EXPECT_TRUE(a.arr[3].isBool() && !a.arr[3].boolean);
  EXPECT_TRUE(a.arr[4].isNull());
  EXPECT_EQ(v.req("s").str, "x\ty?zq");
  EXPECT_EQ(v.optStr("s", "d"), "x\ty?zq");
  EXPECT_EQ(v.optStr("a", "d"), "d");
  EXPECT_EQ(v.optStr("nope", "d"), "d");
}

TEST(TesseraJson, ReportsTheMessagesOfEachFault) {
  EXPECT_EQ(errorOf(""), "teeth: JSON truncated");
  EXPECT_EQ(errorOf("[1,"), "teeth: JSON truncated");
  EXPECT_EQ(errorOf("{\"a\" 1}"), "teeth: malformed JSON object");
  EXPECT_EQ(errorOf("{1: 2}"), "teeth: malformed JSON object");
  EXPECT_EQ(errorOf("{\"a\": 1"), "teeth: malformed JSON object");
  EXPECT_EQ(errorOf("[1 2]"), "teeth: malformed JSON array");
  EXPECT_EQ(errorOf("[tru]"), "teeth: bad JSON number");
  EXPECT_EQ(errorOf("@"), "teeth: bad JSON number");
  JVal o = parse("{\"n\": \"1\"}");
  EXPECT_THROW(o.reqNum("n"), std::runtime_error);
  try {
    o.req("missing");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "teeth: member JSON lacks key 'missing'");
  }
}

TEST(TesseraJson, NeverReadsPastTheGivenBytes) {
  // The parser gets a slice: what follows it in memory must not be consumed.
  const std::string text = "12345";
  EXPECT_EQ(JParser(text.data(), 2).parse().number, 12.0);
  const std::string str = "\"abc\"";
  EXPECT_EQ(JParser(str.data(), 3).parse().str, "ab");  // unclosed string ends with the input
  const std::string esc = "\"\\u12";
  EXPECT_EQ(JParser(esc.data(), esc.size()).parse().str, "?");
  const std::string lit = "true";
  EXPECT_THROW(JParser(lit.data(), 3).parse(), std::runtime_error);
}

TEST(TesseraJson, RefusesDeepNestingInsteadOfOverflowingTheStack) {
  std::string deep(200000, '[');
  EXPECT_NE(errorOf(deep).find("nests deeper"), std::string::npos);
  std::string ok(JParser::kMaxDepth, '[');
  ok += std::string(JParser::kMaxDepth, ']');
  EXPECT_TRUE(parse(ok).isArr());
}

}  // namespace
}  // namespace le::tessera::json
