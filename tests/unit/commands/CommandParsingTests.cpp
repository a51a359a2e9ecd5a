#include <gtest/gtest.h>

#include <algorithm>

#include "core/protocol/CommandParsing.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"

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
    EXPECT_EQ(RecordedFailureDetail(), L"Wrong number of arguments");
}

// A handler that takes a few words splits only those, and tells whether more
// would follow: every count up to the bound, and every word, is what
// TokenizeCommand gives; a flood of blanks stops at the first one past it.
TEST(SplitWords, TheFirstWordsAndWhetherMoreFollowAsTokenizeCommandGivesThem) {
    for (const std::wstring text :
         {L"", L" ", L"a", L"a ", L"a  ", L"a b c d", L"a b c d ", L"a b c d  ", L"a b c d ''", L"a b c d ' '",
          L"a b c d e", L"a 'b c' \"d e\" f", L"a '' b", L"a \"b c", L"'a b' c d e f g", L"a b c d \"\"\"\"x"}) {
        const Tokens all = TokenizeCommand(text);
        for (size_t max : {size_t{1}, size_t{2}, size_t{4}}) {
            const WordSplit split = SplitWords(text, max);
            EXPECT_EQ(split.count(), std::min(all.size(), max + 1)) << max;
            for (size_t i = 0; i < split.words.size(); ++i) EXPECT_EQ(WordText(text, split.words[i]), all[i]);
        }
    }
    const std::wstring blanks = L"sendDataToChannel a b c" + std::wstring(1 << 20, L' ');
    const WordSplit split = SplitWords(blanks, 4);
    EXPECT_TRUE(split.more);
    EXPECT_EQ(split.words[3].end, 23u);
    EXPECT_EQ(WordText(L"x 'ab cd'", SplitWords(L"x 'ab cd'", 4).words[1], 3), L"ab ");
}

// A command that reads no words is chosen by its first word where it lies in
// the message: the same choice as the prefix test on TokenizeCommand's first
// word, quotes and empty words included.
TEST(FirstWord, ChoosesAsTheFirstTokenDoes) {
    for (const std::wstring text : {L"", L" ", L"  exit", L"exit", L"exitNow x", L"ex", L"e'xi't", L"'exit", L"\"\"exit",
                                    L"\"ex it\"", L"platform", L"plat form"}) {
        const Tokens all = TokenizeCommand(text);
        WordSpan first;
        ASSERT_EQ(FirstWord(text, first), !all.empty()) << text;
        if (all.empty()) continue;
        for (const char* keyword : {"exit", "platform", "e"})
            EXPECT_EQ(IsCommand(keyword, text, first), IsCommand(keyword, all[0])) << keyword << " in " << text;
    }
}
