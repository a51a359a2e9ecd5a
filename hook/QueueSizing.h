// The driver's packet queue of the context the hook library opens, made
// larger where the driver allows it. Kept apart from the hook so that its
// rules can be tried against any driver behaviour.
#pragma once

#include "core/tablet/WinTab.h"

namespace queuesizing {

// Packet queue sizes asked for, largest first. A driver's default queue holds
// a handful of packets: at 1000 packets per second a stall of the service's
// tablet thread (or of the dock's) longer than that loses packets. 256 holds a
// quarter of a second at that rate.
constexpr int kSizesToTry[] = {512, 256, 128, 64, 32};

// Asks for the largest size of kSizesToTry above the driver's current one.
// A refused WTQueueSizeSet may leave the context without a queue, so the
// size reported before is set back when no larger one is granted; a driver
// that reports no size (or none of the two entry points) keeps its own queue
// untouched, since nothing could be set back.
void EnlargeQueue(wintab::HCTX context, wintab::WTQueueSizeGetFn getSize, wintab::WTQueueSizeSetFn setSize);

}  // namespace queuesizing
