// The history file drift.qx. Until the record file lands, opening succeeds and nothing is kept.
#include "agent/agent_interfaces_win.h"

bool OpenDriftFile(const char*) {
    return true;
}

void CloseDriftFile() {}
