// Result codes returned by every message handler; the server turns them into
// the reply the client sees.
#pragma once

constexpr int kResultSuccess = 0;           // "Success " + pending reply text
constexpr int kResultFailure = -1;          // "Failure " + failure detail
constexpr int kResultSyntaxError = -2;      // "SyntaxError " + failure detail
constexpr int kResultStartPressure = -3;    // the client becomes the pressure client; empty frame
constexpr int kResultStopPressure = -4;     // the pressure client stops its stream; no reply
constexpr int kResultRestartForUpdate = -6; // close client and listener, leave the main loop
constexpr int kResultQuit = -7;             // "QuitAcknowledged", then the connection is closed
constexpr int kResultNothingHandled = -8;   // receive handled no message
constexpr int kResultTrue = -9;             // "True"
constexpr int kResultFalse = -10;           // "False"
