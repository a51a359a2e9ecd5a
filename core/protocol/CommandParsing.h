// Splitting a message into words and recognising command words; shared by
// every command handler.
#pragma once

#include <string>
#include <vector>

// Only a blank (U+0020) separates words; a double quote or an apostrophe opens
// a quoted stretch closed by the same character (both are dropped). An empty
// word between two blanks stays in the list; an empty word at the end does not.
std::vector<std::wstring> TokenizeCommand(const std::wstring& text);

// Where a word lies in its message: text[begin, end), its quote characters
// included. A word always begins outside a quoted stretch, so it can be read
// on its own (WordText, ForEachWordChar).
struct WordSpan {
    size_t begin = 0;
    size_t end = 0;
    bool quoted = false;  // holds a quote character: the word is not simply text[begin, end)
};

// The first maxWords words of TokenizeCommand, as spans, without copying any
// of them; more tells that TokenizeCommand would find further words. The scan
// stops as soon as that is known, so a message of millions of blanks costs
// maxWords + 1 steps, and a handler that takes a few words never pays for a
// long last one.
struct WordSplit {
    std::vector<WordSpan> words;
    bool more = false;
    // The word count a handler checks; any count past maxWords reads as maxWords + 1.
    size_t count() const { return words.size() + (more ? 1 : 0); }
};
WordSplit SplitWords(const std::wstring& text, size_t maxWords);
// The same words in a message as it arrived (UTF-8): blanks and quotes are
// single bytes there and never part of a longer character.
WordSplit SplitWords(const std::string& text, size_t maxWords);

// Calls take(c) for each character of the word, quotes dropped, in order,
// until take answers false.
template <typename Text, typename Take>
void ForEachWordChar(const Text& text, const WordSpan& word, Take take) {
    if (!word.quoted) {
        for (size_t i = word.begin; i < word.end; ++i)
            if (!take(text[i])) return;
        return;
    }
    typename Text::value_type quote = 0;
    for (size_t i = word.begin; i < word.end; ++i) {
        const typename Text::value_type c = text[i];
        if (quote != 0 && c == quote) {
            quote = 0;
        } else if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else if (!take(c)) {
            return;
        }
    }
}

// The word as TokenizeCommand gives it, cut after maxChars characters.
std::wstring WordText(const std::wstring& text, const WordSpan& word, size_t maxChars = std::wstring::npos);
// The same for a word of a message as it arrived (UTF-8): only the bytes the
// first maxChars characters can take are decoded.
std::wstring WordText(const std::string& utf8, const WordSpan& word, size_t maxChars = std::wstring::npos);

// The first word of TokenizeCommand, found without any copy; false when
// the message has none.
bool FirstWord(const std::wstring& text, WordSpan& word);

// Case-sensitive prefix test: the token matches when it begins with the keyword.
bool IsCommand(const char* keyword, const std::wstring& token);
// The same test on a word where it lies in its message (FirstWord).
bool IsCommand(const char* keyword, const std::wstring& text, const WordSpan& word);

// True when tokenCount (the command word included) is expected + 1; otherwise
// logs "Wrong number of arguments".
bool CheckArgumentCount(size_t tokenCount, size_t expected);
