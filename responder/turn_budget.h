// How much of the agent thread one wake-up of the management socket may take, and how many
// requests may wait for it, so that a flood is answered at the thread's capacity and its excess
// is dropped before anything is done with it.
#pragma once

#include <cstdint>

// A wake-up serves the datagrams already queued, one after another (a wait and a re-selection
// for each would cost more than most answers do), but at most this many ...
constexpr int kMaxDatagramsPerTurn = 128;
// ... and none more once the turn has taken this long, so that the thread's other duties (its
// once-a-second poll, a demand sync, shutdown) wait at most about this long behind a flood.
constexpr uint64_t kMaxTurnMicroseconds = 10000;

// Whether a turn that has served `served` datagrams in `elapsedMicroseconds` reads another one.
bool ServeAnotherDatagram(int served, uint64_t elapsedMicroseconds);

// The receive queue the responder asks for (SO_RCVBUF, bytes). What does not fit is dropped by
// the system as it arrives, which costs the agent nothing; what does fit is answered while it
// is still fresh. About 150 small requests where the system charges each datagram's whole buffer
// (Wine on Linux doubles the value and charges some 830 bytes per datagram), a little over half
// of Linux's default: at the agent's capacity of a few thousand answers a second a request
// waits a few tens of milliseconds at most, and a burst of 120 requests, or a pause of the thread
// of 25 ms at 5,000 requests a second, loses nothing.
constexpr int kReceiveQueueBytes = 64 * 1024;
