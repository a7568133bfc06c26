#include "responder/turn_budget.h"

bool ServeAnotherDatagram(int served, uint64_t elapsedMicroseconds) {
    return served < kMaxDatagramsPerTurn && elapsedMicroseconds < kMaxTurnMicroseconds;
}
