// Text and encoding helpers. Wide text is UTF-16 as Windows uses it; incoming
// data and the log are UTF-8; everything sent on the sockets is Latin-1.
// None of them throws: a failed conversion yields a fixed placeholder text.
#pragma once

#include <string>

std::string WideToUtf8(const std::wstring& text);   // "<Widestring to UTF-8 conversion failed>" on failure or empty input
std::wstring Utf8ToWide(const std::string& text);   // stops at the first NUL byte
// The same decoding into out (its earlier content replaced), reusing its memory.
void Utf8ToWideInto(const std::string& text, std::wstring& out);
// Appends UTF-8 bytes as Latin-1, exactly as Narrow(Utf8ToWide(bytes)) would
// give them (a character above U+00FF, or a bad byte, becomes '?'), without
// a UTF-16 copy of the whole: long runs are converted in bounded pieces cut
// only where a character begins. The bytes hold no NUL.
void AppendUtf8AsLatin1(std::string& out, const char* bytes, size_t size);
std::wstring Widen(const std::string& text);        // byte b -> code unit b (Latin-1)
std::string Narrow(const std::wstring& text);       // code unit <= 0xFF -> that byte, else '?'
// The Latin-1 byte of one code unit, as Narrow gives it.
inline char ToLatin1(wchar_t c) { return static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?'; }
std::wstring EscapePercent(const std::wstring& text);
bool StartsWith(const std::wstring& prefix, const std::wstring& text);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);  // only A-Z fold to a-z
bool IsBlank(const std::wstring& text);
// Returns the part after the last backslash and leaves the part before it in path.
std::wstring SplitFileName(std::wstring& path);
std::wstring Quote(const std::wstring& text);
std::wstring ToWideString(int value);
std::string ToNarrowString(int value);
std::wstring CrtErrorText();  // the C runtime's text for errno, "Unknown error." when there is none
