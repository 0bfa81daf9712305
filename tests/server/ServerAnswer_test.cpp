#include "ServerAnswer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Failure messages name a table row by its name rather than dumping its bytes.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

using ServerAnswer::Tokens;

// Every token of `text` taken with `delimiters` each time, joined as "[a][b]".
std::string AllTokens(const std::string& text, const std::string& delimiters) {
    Tokens tokens(text);
    std::string joined;
    while (auto token = tokens.Next(delimiters)) joined += "[" + std::string(*token) + "]";
    return joined;
}

struct TokenCase {
    const char* name;
    std::string text;
    std::string delimiters;
    std::string tokens;
};

class TokensTest : public testing::TestWithParam<TokenCase> {};

TEST_P(TokensTest, SplitsLikeStrtok) {
    EXPECT_EQ(AllTokens(GetParam().text, GetParam().delimiters), GetParam().tokens);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokensTest,
    testing::Values(TokenCase{"Empty", "", "\n", ""},
                    TokenCase{"OnlyDelimiters", "\n\n\n", "\n", ""},
                    TokenCase{"NoDelimiter", "ok", "\n", "[ok]"},
                    TokenCase{"RunsCountAsOne", "\n\nok\n\n\nA\n", "\n", "[ok][A]"},
                    TokenCase{"CarriageReturnStaysWithLine", "ok\r\nA\r\n", "\n", "[ok\r][A\r]"},
                    TokenCase{"AnyOfSeveral", ";1;;2\r\n3", ";\r\n", "[1][2][3]"},
                    TokenCase{"NulIsAnOrdinaryByte", std::string("a\0b\nc", 5), "\n",
                              std::string("[a\0b][c]", 8)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokensTest, DelimitersMayChangeBetweenCalls) {
    // The second call starts right after the one delimiter that ended the first token.
    Tokens tokens("ok\n\r\nFW\r\n");
    EXPECT_EQ(tokens.Next("\n"), "ok");
    EXPECT_EQ(tokens.Next("\r\n"), "FW");
    EXPECT_EQ(tokens.Next("\n"), std::nullopt);
}

struct OpenCase {
    const char* name;
    std::string body;
    bool ok;
};

class OpenTest : public testing::TestWithParam<OpenCase> {};

TEST_P(OpenTest, AcceptsOnlyAFirstLineBeginningWithOk) {
    EXPECT_EQ(ServerAnswer::Open(GetParam().body).has_value(), GetParam().ok);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenTest,
    testing::Values(OpenCase{"Ok", "ok\n", true}, OpenCase{"OkWithoutLineEnd", "ok", true},
                    OpenCase{"Okay", "okay\n", true}, OpenCase{"OkCrLf", "ok\r\n", true},
                    OpenCase{"LeadingEmptyLines", "\n\nok\n", true}, OpenCase{"Empty", "", false},
                    OpenCase{"OnlyLineBreaks", "\n\n", false},
                    OpenCase{"Error", "error\nok\n", false}, OpenCase{"UpperCase", "OK\n", false},
                    OpenCase{"LeadingBlank", " ok\n", false}, OpenCase{"OneCharacter", "o", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenTest, RestStartsAfterTheFirstLine) {
    auto answer = ServerAnswer::Open("okay\n\n12\n");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->first, "okay");
    EXPECT_EQ(answer->rest.Next("\n"), "12");
}

}  // namespace
