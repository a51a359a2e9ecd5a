#include <gtest/gtest.h>

#include "core/util/ReusedBuffer.h"
#include "core/util/Text.h"

TEST(Text, Utf8ConversionsAndPlaceholders) {
    EXPECT_EQ(WideToUtf8(L""), "<Widestring to UTF-8 conversion failed>");
    EXPECT_EQ(WideToUtf8(L"a\u00e9"), "a\xC3\xA9");
    EXPECT_EQ(Utf8ToWide("\xC3\xA9"), L"\u00e9");
    EXPECT_EQ(Utf8ToWide(""), L"");
    // Decoding stops at the first NUL byte.
    EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
    // Invalid sequences are replaced, not refused.
    EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFD" L"b");
}

TEST(Text, Latin1WideningAndNarrowing) {
    EXPECT_EQ(Widen("\xE9"), L"\u00e9");
    EXPECT_EQ(Widen("\xC3\xA9"), std::wstring(L"\u00c3\u00a9"));
    EXPECT_EQ(Narrow(L"\u00e9"), "\xE9");
    EXPECT_EQ(Narrow(L"x\u20acy"), "x?y");
    EXPECT_EQ(Narrow(L"\u00ff\u0100"), "\xFF?");
}

TEST(Text, EscapePercentDoublesEachOnce) {
    EXPECT_EQ(EscapePercent(L"%%"), L"%%%%");
    EXPECT_EQ(EscapePercent(L"Done 100%"), L"Done 100%%");
    EXPECT_EQ(EscapePercent(L"none"), L"none");
}

TEST(Text, PrefixTestIsCaseSensitive) {
    EXPECT_TRUE(StartsWith(L"exit", L"exit"));
    EXPECT_TRUE(StartsWith(L"exit", L"exitNow"));
    EXPECT_FALSE(StartsWith(L"exit", L"exi"));
    EXPECT_FALSE(StartsWith(L"exit", L"Exit"));
    EXPECT_TRUE(StartsWith(L"", L""));
}

TEST(Text, EqualsNoCaseFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsNoCase(L"MarlinCore.EXE", L"marlincore.exe"));
    EXPECT_FALSE(EqualsNoCase(L"\u00c9", L"\u00e9"));
    EXPECT_FALSE(EqualsNoCase(L"ab", L"abc"));
}

TEST(Text, BlankMeansOnlySpaces) {
    EXPECT_TRUE(IsBlank(L""));
    EXPECT_TRUE(IsBlank(L"   "));
    EXPECT_FALSE(IsBlank(L"\t"));
    EXPECT_FALSE(IsBlank(L" a "));
    EXPECT_TRUE(IsBlank(std::wstring(L"  \0x", 4)));
}

TEST(Text, SplitFileName) {
    std::wstring path = L"C:\\a\\b.exe";
    EXPECT_EQ(SplitFileName(path), L"b.exe");
    EXPECT_EQ(path, L"C:\\a");
    path = L"b.exe";
    EXPECT_EQ(SplitFileName(path), L"b.exe");
    EXPECT_EQ(path, L"");
    path = L"C:\\a\\";
    EXPECT_EQ(SplitFileName(path), L"");
    EXPECT_EQ(path, L"C:\\a");
}

TEST(Text, NumbersQuotesAndErrorText) {
    EXPECT_EQ(ToWideString(-42), L"-42");
    EXPECT_EQ(ToNarrowString(1234567), "1234567");
    EXPECT_EQ(Quote(L"C:\\a b\\x.exe"), L"\"C:\\a b\\x.exe\"");
    errno = 2;
    EXPECT_FALSE(CrtErrorText().empty());
    EXPECT_LE(CrtErrorText().size(), 512u);
}

// A forward's data goes from UTF-8 straight to Latin-1; what arrives must be
// what the UTF-16 route gives, also where a long run is converted in pieces.
TEST(Text, Utf8ToLatin1MatchesTheUtf16Route) {
    std::string mixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF\x80\x80\xC3" "b\xE2\x82";
    std::string longRun;
    while (longRun.size() < 200000) longRun += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x80";
    for (const std::string& text : {mixed, longRun, std::string(70000, '\x80') + "\xE2\x82\xAC"}) {
        std::string out = "x";
        AppendUtf8AsLatin1(out, text.data(), text.size());
        EXPECT_EQ(out, "x" + Narrow(Utf8ToWide(text)));
    }
}

// A buffer kept between messages: each loan starts empty (nothing of the last
// message shows through), a nested loan never hands out the outer one's
// bytes, and a buffer grown by one long message is not kept.
TEST(ReusedBuffer, EachLoanStartsEmptyAndALongOneIsLetGo) {
    ReusedBuffer<std::wstring> buffer;
    {
        auto loan = buffer.borrow();
        Utf8ToWideInto("getCoreVersion", loan.text());
        Utf8ToWideInto("ok", loan.text());
        EXPECT_EQ(loan.text(), L"ok") << "decoding replaces what the buffer held";
        loan.text() = L"a longer message than the next";
    }
    EXPECT_GE(buffer.keptCapacity(), 30u) << "kept for the next message";
    {
        auto outer = buffer.borrow();
        EXPECT_EQ(outer.text(), L"");
        outer.text() = L"outer";
        {
            auto inner = buffer.borrow();
            EXPECT_EQ(inner.text(), L"");
            inner.text() = L"inner";
        }
        EXPECT_EQ(outer.text(), L"outer");
        outer.text().assign(ReusedBuffer<std::wstring>::kKeptCapacity + 1, L'x');
    }
    EXPECT_LE(buffer.keptCapacity(), ReusedBuffer<std::wstring>::kKeptCapacity);
    EXPECT_EQ(buffer.borrow().text(), L"");
}
