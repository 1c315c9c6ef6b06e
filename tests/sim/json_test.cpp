// The control interface's JSON reader and writer: exact output, escapes,
// numbers, malformed input and the nesting limit.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "board/sim/json.h"

namespace {

using sim::Json;

TEST(JsonWriter, KeepsMemberOrderAndReplacesDuplicates) {
    Json reply = Json::Object().Set("ok", true).Set("n", 3).Set("name", "x");
    reply.Set("n", 4);
    Json list = Json::Array();
    list.Push(Json::Object().Set("cause", "watchdog").Set("ms", int64_t{1500}));
    list.Push(Json());
    reply.Set("resets", std::move(list));
    EXPECT_EQ(reply.Dump(), R"({"ok":true,"n":4,"name":"x","resets":[{"cause":"watchdog","ms":1500},null]})");
}

TEST(JsonWriter, EscapesWhatJsonRequires) {
    EXPECT_EQ(Json(std::string("a\"b\\c\nd\re\tf\x01g/")).Dump(), R"("a\"b\\c\nd\re\tf\u0001g/")");
    EXPECT_EQ(Json(std::string("\xC3\xA9")).Dump(), "\"\xC3\xA9\"");  // UTF-8 passes through
}

TEST(JsonWriter, NumbersPrintWholeWhenWholeAndNeverAsInfinity) {
    EXPECT_EQ(Json(int64_t{1234567890123}).Dump(), "1234567890123");
    EXPECT_EQ(Json(-7).Dump(), "-7");
    EXPECT_EQ(Json(1.5).Dump(), "1.5");
    EXPECT_EQ(Json(std::numeric_limits<double>::infinity()).Dump(), "null");
    EXPECT_EQ(Json(std::nan("")).Dump(), "null");
    EXPECT_EQ(Json(9007199254740992.0).Dump(), "9007199254740992");  // beyond 2^53: %.17g
}

TEST(JsonReader, ReadsWhatTheWriterWrites) {
    Json original = Json::Object()
                        .Set("cmd", "log")
                        .Set("from", 42)
                        .Set("flag", false)
                        .Set("text", std::string("line\nwith \"quotes\""))
                        .Set("inner", Json::Object().Set("x", -0.25));
    std::optional<Json> back = Json::Parse(original.Dump());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->Dump(), original.Dump());
    EXPECT_EQ(back->StringAt("cmd"), "log");
    EXPECT_EQ(back->NumberAt("from"), 42);
    EXPECT_FALSE(back->BoolAt("flag", true));
    EXPECT_EQ(back->Find("inner")->NumberAt("x"), -0.25);
}

TEST(JsonReader, LookupsFallBackOnMissingOrMistypedMembers) {
    std::optional<Json> v = Json::Parse(R"({"a":"text","b":1})");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->NumberAt("a", -1), -1);
    EXPECT_EQ(v->StringAt("b", "fallback"), "fallback");
    EXPECT_EQ(v->Find("missing"), nullptr);
    EXPECT_EQ(Json(3).Find("a"), nullptr);  // not an object
}

TEST(JsonReader, DecodesUnicodeEscapesToUtf8) {
    EXPECT_EQ(Json::Parse(R"("\u00e9\u4e2d")")->AsString(), "\xC3\xA9\xE4\xB8\xAD");
    EXPECT_EQ(Json::Parse(R"("\ud83d\ude00")")->AsString(), "\xF0\x9F\x98\x80");  // surrogate pair
    EXPECT_EQ(Json::Parse(R"("\u0041\/\b\f")")->AsString(), "A/\b\f");
    EXPECT_FALSE(Json::Parse(R"("\ude00")"));        // a low surrogate alone
    EXPECT_FALSE(Json::Parse(R"("\ud83d")"));        // a high surrogate alone
    EXPECT_FALSE(Json::Parse(R"("\ud83d\u0041")"));  // a high surrogate with no low half
    EXPECT_FALSE(Json::Parse(R"("\u12G4")"));
}

TEST(JsonReader, AcceptsOnlyJsonNumbers) {
    EXPECT_EQ(Json::Parse("1e3")->AsNumber(), 1000);
    EXPECT_EQ(Json::Parse("-0.5E-1")->AsNumber(), -0.05);
    EXPECT_EQ(Json::Parse(" 0 ")->AsNumber(), 0);
    for (const char* bad : {"01", "1.", ".5", "+1", "-", "1e", "0x10", "1.e5", "--1"})
        EXPECT_FALSE(Json::Parse(bad)) << bad;
}

TEST(JsonReader, RejectsMalformedText) {
    for (const char* bad : {"", "   ", "{", "}", "[1,]", "[1 2]", R"({"a":})", R"({"a" 1})", R"({a:1})",
                            R"({"a":1,})", R"("open)", "tru", "nul", "{} x", "[]]", "\"tab\there\""}) {
        std::string error;
        EXPECT_FALSE(Json::Parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(JsonReader, LimitsNesting) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(Json::Parse(nested(Json::kMaxDepth + 1)));
    EXPECT_FALSE(Json::Parse(nested(Json::kMaxDepth + 2)));
    EXPECT_FALSE(Json::Parse(std::string(100000, '[')));  // no stack overflow on hostile input
}

}  // namespace
