// Every limit of the connection layer, in one place. Any local process can
// connect to the three loopback ports, so each thing a client can make the
// service hold (connections, unfinished input, unsent output, time before
// authorizing) is bounded here. Past a limit the client concerned gets a
// clear answer or is closed with a log line; no other client notices.
#pragma once

#include <winsock2.h>

#include <cstddef>

namespace netlimits {

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * kKiB;

// One read event reads at most this much; what does not fit comes with the
// next event, so one busy client cannot keep the thread from the others.
// Copying 64 KiB takes microseconds, while every read is a round trip to the
// system (tens of microseconds under Wine): a 16 MiB widget message arrives
// in 256 reads rather than 2048, and a read of short commands still leaves
// its messages to be handled kMaxFramesPerReadEvent per turn.
constexpr size_t kMaxReadPerEvent = 64 * kKiB;

// Frames one turn of a client (one read event, or the turn the service gives
// it afterwards) may queue before the rest of its messages wait for its next
// turn, behind the other clients' events. A turn also costs a send and a
// posted message (round trips to the system, tens of microseconds under
// Wine), so it must carry enough replies to make that small per reply: 256
// short replies take a few tenths of a millisecond. A registration announced
// to hundreds of channels is spread over turns, and its sends are bounded
// per turn on their own (kMaxSendsPerTurn), so the dock is answered within a
// few milliseconds while another client floods.
constexpr size_t kMaxFramesPerReadEvent = 256;

// Clients one turn sends to; the others' output leaves in a later turn,
// behind the events that came meanwhile, each client's share still in one
// send. Under Wine every send is a round trip to the wineserver (tens of
// microseconds or more), so a broadcast to hundreds of channels would
// otherwise hold the thread for tens of milliseconds.
constexpr size_t kMaxSendsPerTurn = 8;

// Longest complete message (in bytes, the delimiter not counted). The apps
// port carries widget data (images, documents), so it takes 16 MiB; the
// command and pressure ports carry short commands and paths, 1 MiB is far
// beyond any of them. A longer message gets a failure reply naming the
// limit, the rest of it is skipped up to its delimiter, the client stays.
constexpr size_t kMaxAppsMessage = 16 * kMiB;
constexpr size_t kMaxMessage = 1 * kMiB;

// Before it authorizes, a command-port client may send one short line: the
// "auth" message is under 50 bytes, 1 KiB leaves room for quoting. More
// unfinished input than this closes it.
constexpr size_t kMaxUnauthorizedInput = 1 * kKiB;

// An authorization attempt on a port where authorizing is optional ("auth"
// and the key) is under 50 bytes. One longer than this is refused by its
// first bytes, before it is decoded or split into words.
constexpr size_t kMaxAuthorizationMessage = 1 * kKiB;

// A command-port client must authorize this soon after connecting: the dock
// sends its key at once, a few seconds cover a loaded machine.
constexpr DWORD kAuthorizeWithinMs = 5000;
// How often the listener windows' timers look for clients that are late to
// authorize or have stopped taking their output.
constexpr UINT kAuthorizationCheckMs = 1000;

// Command-port connections waiting to authorize. The dock needs one; when a
// new one comes past this bound the oldest waiting is closed, so a flood of
// strangers can never keep the dock out.
constexpr size_t kMaxAwaitingAuthorization = 16;

// Connections per port; one more is accepted and closed at once, with a log
// line. The apps port must hold one per widget (hundreds at most); each
// connection costs the service a few KiB and a host descriptor under Wine.
constexpr size_t kMaxConnectionsPerPort = 512;

// Output a client may leave waiting behind the frame it is taking now. Past
// it the client is not closed: its own replies are still queued, but nothing
// more of its input is read until the output drains (back-pressure), and
// frames from elsewhere (channel forwards, broadcasts, pen tokens) are
// refused. The frame at the head of the queue does not count, so one frame
// of any length (a forwarded 16 MiB message) and what follows it fit while
// the client reads. 4 MiB is seconds of pen stream or thousands of replies.
constexpr size_t kMaxUnsentOutput = 4 * kMiB;
// The same bound for a client that has not authorized on a port with a key:
// anyone may connect, so a stranger's share of the cap is small. One frame of
// any length still fits at the head of its queue, so a widget that reads
// gets a forwarded 16 MiB message as an authorized one does.
constexpr size_t kMaxKeylessUnsentOutput = 1 * kMiB;
// A frame at least this long is remembered as one, so the queue knows where
// it ends; shorter frames are counted as waiting, which errs by less than it.
constexpr size_t kLargeFrame = 64 * kKiB;

// A client that has taken no byte for this long while output waits for it is
// closed (by the service's timer, or as soon as a frame is refused for it or
// its held input is looked at): a reader that is merely slow takes something within seconds,
// one that stopped reading would otherwise hold its buffers for good. What it
// holds meanwhile is bounded by kMaxUnsentOutput and the service-wide cap.
constexpr DWORD kStalledOutputMs = 60000;

// The "Received" log line of an apps-port message, and so the failure detail
// of its reply, keeps at most this much of the message: widget data can be
// 16 MiB, and the log is a diagnostic, not a copy of it.
constexpr size_t kMaxLoggedAppsMessage = 1 * kKiB;

// Unfinished input plus unsent output over all clients of the service. Past
// it the client holding the most is closed first. The ports without a key
// let anyone hold large unfinished messages, so this, not the per-message
// limit, bounds the service's memory. It must hold one longest apps message
// on its way in and out (2 x 16 MiB) with room for everyone else.
constexpr size_t kServiceBufferCap = 64 * kMiB;
// The pressure server runs on its own thread and closes only its own
// clients, so it has its own share of the cap (its messages are at most
// kMaxMessage); the command and apps servers share the rest.
constexpr size_t kPressureBufferShare = 8 * kMiB;
constexpr size_t kMainBufferShare = kServiceBufferCap - kPressureBufferShare;

// Pending connections the system keeps for a listener: the most it allows,
// so a burst of connections is queued, not reset.
constexpr int kListenBacklog = SOMAXCONN;

}  // namespace netlimits
