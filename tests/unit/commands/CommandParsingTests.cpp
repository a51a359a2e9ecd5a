#include <gtest/gtest.h>

#include "core/commands/CommandParsing.h"
#include "core/util/Log.h"

using Tokens = std::vector<std::wstring>;

TEST(TokenizeCommand, BlanksSeparateAndEmptyWordsStay) {
    EXPECT_EQ(TokenizeCommand(L"checkExists C:\\x"), (Tokens{L"checkExists", L"C:\\x"}));
    EXPECT_EQ(TokenizeCommand(L"checkExists  C:\\x"), (Tokens{L"checkExists", L"", L"C:\\x"}));
    EXPECT_EQ(TokenizeCommand(L" "), (Tokens{L""}));
    EXPECT_EQ(TokenizeCommand(L"a "), (Tokens{L"a"}));
    EXPECT_EQ(TokenizeCommand(L""), Tokens{});
    // Only U+0020 separates.
    EXPECT_EQ(TokenizeCommand(L"a\tb"), (Tokens{L"a\tb"}));
}

TEST(TokenizeCommand, QuotesGroupAndAreDropped) {
    EXPECT_EQ(TokenizeCommand(L"a\"b c\"d"), (Tokens{L"ab cd"}));
    EXPECT_EQ(TokenizeCommand(L"start 'C:\\Program Files\\x.exe'"), (Tokens{L"start", L"C:\\Program Files\\x.exe"}));
    EXPECT_EQ(TokenizeCommand(L"x \"it's\""), (Tokens{L"x", L"it's"}));
    EXPECT_EQ(TokenizeCommand(L"x '\"q\"'"), (Tokens{L"x", L"\"q\""}));
    // A quoted empty string in the middle gives an empty word; at the end none.
    EXPECT_EQ(TokenizeCommand(L"a \"\" b"), (Tokens{L"a", L"", L"b"}));
    EXPECT_EQ(TokenizeCommand(L"a \"\""), (Tokens{L"a"}));
    // An unterminated quote runs to the end.
    EXPECT_EQ(TokenizeCommand(L"a \"b c"), (Tokens{L"a", L"b c"}));
}

TEST(CommandWords, PrefixMatchAndArgumentCount) {
    EXPECT_TRUE(IsCommand("exit", L"exitNow"));
    EXPECT_FALSE(IsCommand("exit", L"Exit"));
    EXPECT_FALSE(IsCommand("platform", L"plat"));
    EXPECT_TRUE(CheckArgumentCount(2, 1));
    LogMessage(std::string("before"));
    EXPECT_FALSE(CheckArgumentCount(3, 1));
    EXPECT_EQ(GetLastLogMessage(), L"Wrong number of arguments");
}
