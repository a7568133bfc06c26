// Management responder. Until it lands the agent owns the role without a socket: it runs its
// checks, and there is nothing to answer.
#include "agent/agent_interfaces_win.h"

void LoadCommandFilter(const char*) {}

bool OpenResponder() {
    return true;
}

void CloseResponder() {}

void HandleManagementRequest(SOCKET) {}
