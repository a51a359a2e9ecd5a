#include "core/commands/CommandParsing.h"

#include "core/util/Log.h"
#include "core/util/Text.h"

WordSplit SplitWords(const std::wstring& text, size_t maxWords) {
    WordSplit split;
    size_t begin = 0;
    bool filled = false;  // the current word holds a character (its quotes do not count)
    bool quoted = false;  // the current word holds a quote character
    wchar_t quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                filled = true;
            }
        } else if (c == L' ') {
            if (split.words.size() == maxWords) {
                split.more = true;
                return split;
            }
            split.words.push_back({begin, i, quoted});
            begin = i + 1;
            filled = false;
            quoted = false;
        } else if (c == L'"' || c == L'\'') {
            quote = c;
            quoted = true;
        } else {
            filled = true;
        }
        // A word that holds a character is a word, at the next blank or at the end.
        if (filled && split.words.size() == maxWords) {
            split.more = true;
            return split;
        }
    }
    if (filled) split.words.push_back({begin, text.size(), quoted});
    return split;
}

std::wstring WordText(const std::wstring& text, const WordSpan& word, size_t maxChars) {
    std::wstring out;
    if (maxChars == 0) return out;
    ForEachWordChar(text, word, [&out, maxChars](wchar_t c) {
        out.push_back(c);
        return out.size() < maxChars;
    });
    return out;
}

std::vector<std::wstring> TokenizeCommand(const std::wstring& text) {
    std::vector<std::wstring> tokens;
    for (const WordSpan& word : SplitWords(text, std::wstring::npos).words) tokens.push_back(WordText(text, word));
    return tokens;
}

bool IsCommand(const char* keyword, const std::wstring& token) { return StartsWith(Widen(keyword), token); }

bool CheckArgumentCount(size_t tokenCount, size_t expected) {
    if (tokenCount == expected + 1) return true;
    LogMessage(std::string("Wrong number of arguments"));
    return false;
}
