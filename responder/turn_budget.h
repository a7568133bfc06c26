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
