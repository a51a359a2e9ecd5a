#include "core/protocol/CommandParsing.h"

#include "core/util/FailureDetail.h"
#include "core/util/Text.h"

namespace {

// Finds the words of text in order and hands each to add(span); stops and
// returns true once maxWords have been found and a further one is known.
template <typename Text, typename Add>
bool ScanWords(const Text& text, size_t maxWords, Add add) {
    size_t found = 0;
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
            if (found == maxWords) return true;
            add(WordSpan{begin, i, quoted});
            ++found;
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
        if (filled && found == maxWords) return true;
    }
    if (filled) add(WordSpan{begin, text.size(), quoted});
    return false;
}

template <typename Text>
WordSplit SplitWordsOf(const Text& text, size_t maxWords) {
    WordSplit split;
    split.more = ScanWords(text, maxWords, [&split](const WordSpan& word) { split.words.push_back(word); });
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

bool FirstWord(const std::wstring& text, WordSpan& word) {
    bool found = false;
    ScanWords(text, 1, [&](const WordSpan& first) {
        word = first;
        found = true;
    });
    return found;
}

std::vector<std::wstring> TokenizeCommand(const std::wstring& text) {
    std::vector<std::wstring> tokens;
    for (const WordSpan& word : SplitWords(text, std::wstring::npos).words) tokens.push_back(WordText(text, word));
    return tokens;
}

bool IsCommand(const char* keyword, const std::wstring& token) {
    return IsCommand(keyword, token, WordSpan{0, token.size(), false});
}

bool IsCommand(const char* keyword, const std::wstring& text, const WordSpan& word) {
    if (!word.quoted) {
        // The word is the text where it stands.
        const size_t length = word.end - word.begin;
        for (size_t i = 0; keyword[i] != '\0'; ++i) {
            if (i >= length || text[word.begin + i] != static_cast<wchar_t>(static_cast<unsigned char>(keyword[i])))
                return false;
        }
        return true;
    }
    size_t i = 0;
    ForEachWordChar(text, word, [&](wchar_t c) {
        if (keyword[i] == '\0') return false;  // the keyword is all there
        if (c != static_cast<wchar_t>(static_cast<unsigned char>(keyword[i]))) return false;
        ++i;
        return true;
    });
    return keyword[i] == '\0';
}

bool CheckArgumentCount(size_t tokenCount, size_t expected) {
    if (tokenCount == expected + 1) return true;
    LogFailureDetail(std::string("Wrong number of arguments"));
    return false;
}
