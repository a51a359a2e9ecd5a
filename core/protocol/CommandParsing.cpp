#include "core/protocol/CommandParsing.h"

#include "core/util/FailureDetail.h"
#include "core/util/Text.h"

namespace {

template <typename Text>
WordSplit SplitWordsOf(const Text& text, size_t maxWords) {
    WordSplit split;
    size_t begin = 0;
    bool filled = false;  // the current word holds a character (its quotes do not count)
    bool quoted = false;  // the current word holds a quote character
    typename Text::value_type quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const typename Text::value_type c = text[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                filled = true;
            }
        } else if (c == ' ') {
            if (split.words.size() == maxWords) {
                split.more = true;
                return split;
            }
            split.words.push_back({begin, i, quoted});
            begin = i + 1;
            filled = false;
            quoted = false;
        } else if (c == '"' || c == '\'') {
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

}  // namespace

WordSplit SplitWords(const std::wstring& text, size_t maxWords) { return SplitWordsOf(text, maxWords); }

WordSplit SplitWords(const std::string& text, size_t maxWords) { return SplitWordsOf(text, maxWords); }

std::wstring WordText(const std::wstring& text, const WordSpan& word, size_t maxChars) {
    std::wstring out;
    if (maxChars == 0) return out;
    ForEachWordChar(text, word, [&out, maxChars](wchar_t c) {
        out.push_back(c);
        return out.size() < maxChars;
    });
    return out;
}

std::wstring WordText(const std::string& utf8, const WordSpan& word, size_t maxChars) {
    // A UTF-16 unit takes at least one byte and a character at most four:
    // this many bytes, cut where a character begins, decode to at least
    // maxChars units, the same as those of the whole word.
    const size_t enough = maxChars >= std::string::npos / 4 - 1 ? std::string::npos : maxChars * 4 + 4;
    std::string bytes;
    ForEachWordChar(utf8, word, [&bytes, enough](char c) {
        bytes.push_back(c);
        return bytes.size() < enough;
    });
    if (bytes.size() >= enough) {
        size_t cut = bytes.size() - 1;
        while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
        bytes.resize(cut);
    }
    std::wstring text = Utf8ToWide(bytes);
    if (text.size() > maxChars) text.resize(maxChars);
    return text;
}

std::vector<std::wstring> TokenizeCommand(const std::wstring& text) {
    std::vector<std::wstring> tokens;
    for (const WordSpan& word : SplitWords(text, std::wstring::npos).words) tokens.push_back(WordText(text, word));
    return tokens;
}

// Runs for every message against every keyword: compared in place, without
// a widened copy of the keyword.
bool IsCommand(const char* keyword, const std::wstring& token) {
    for (size_t i = 0; keyword[i] != '\0'; ++i) {
        if (i >= token.size() || token[i] != static_cast<wchar_t>(static_cast<unsigned char>(keyword[i]))) return false;
    }
    return true;
}

bool CheckArgumentCount(size_t tokenCount, size_t expected) {
    if (tokenCount == expected + 1) return true;
    LogFailureDetail(std::string("Wrong number of arguments"));
    return false;
}
