#include "core/commands/CommandParsing.h"

#include "core/util/Log.h"
#include "core/util/Text.h"

std::vector<std::wstring> TokenizeCommand(const std::wstring& text) {
    std::vector<std::wstring> tokens;
    std::wstring current;
    bool inQuote = false;
    wchar_t quote = 0;
    for (wchar_t c : text) {
        if (inQuote) {
            if (c == quote) {
                inQuote = false;
            } else {
                current.push_back(c);
            }
        } else if (c == L' ') {
            tokens.push_back(current);
            current.clear();
        } else if (c == L'"' || c == L'\'') {
            inQuote = true;
            quote = c;
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) tokens.push_back(current);
    return tokens;
}

bool IsCommand(const char* keyword, const std::wstring& token) { return StartsWith(Widen(keyword), token); }

bool CheckArgumentCount(size_t tokenCount, size_t expected) {
    if (tokenCount == expected + 1) return true;
    LogMessage(std::string("Wrong number of arguments"));
    return false;
}
