// A handler's result code turned into the reply the client sees, and the
// reply framing: Latin-1 (a code unit above 0xFF becomes '?'), up to the
// text's first NUL, and the delimiter '|'.
#pragma once

#include <string>

namespace reply {

std::string FrameOf(const std::wstring& text);
// "Failure " + the failure detail + " - " + the runtime's error text.
std::wstring FailureText();
// The frame of a result that is answered with one (success, failure,
// syntax error, true, false); false for every other code, which the read
// turn acts on itself or answers with nothing.
bool FrameFor(int result, std::string& frame);

}  // namespace reply
