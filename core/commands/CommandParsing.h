// Splitting a message into words and recognising command words; shared by
// every command handler.
#pragma once

#include <string>
#include <vector>

// Only a blank (U+0020) separates words; a double quote or an apostrophe opens
// a quoted stretch closed by the same character (both are dropped). An empty
// word between two blanks stays in the list; an empty word at the end does not.
std::vector<std::wstring> TokenizeCommand(const std::wstring& text);

// Case-sensitive prefix test: the token matches when it begins with the keyword.
bool IsCommand(const char* keyword, const std::wstring& token);

// True when tokenCount (the command word included) is expected + 1; otherwise
// logs "Wrong number of arguments".
bool CheckArgumentCount(size_t tokenCount, size_t expected);
