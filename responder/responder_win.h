// The management responder's sockets: the bound socket it answers on and the address checks
// behind "Server Answer IP".
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "config/settings.h"

// Our value under the agent's parameters key (Software\Tessaric\Horologix\Parameters): the reply
// allowance of each source address in bytes per second (number; 0 turns the limit off), read
// when the responder opens. Without it each address gets kDefaultReplyRateLimit.
constexpr char kReplyRateLimitValue[] = "Reply Rate Limit";

// A bound IPv4 socket of type SOCK_DGRAM or SOCK_STREAM (listening, no delay). *port (host
// order) is replaced by the service's port when the service database knows the service for udp
// or tcp. localAddress, a dotted address or a host name, is used only when it is one of this
// machine's addresses; otherwise, or when null or empty, the socket binds to any address. A bind
// that finds the address in use is tried again every 500 ms, four binds in all. INVALID_SOCKET
// on failure, with the thread's socket error set.
SOCKET CreateBoundSocket(int type, uint16_t* port, const char* service, const char* localAddress);

// Whether address (IPv4, network order) is one the host name resolves to; null asks for this
// machine's own name.
bool IsLocalAddress(uint32_t address, const char* hostName);

// Requests dropped by the reply rate limit since the responder last opened.
uint64_t RateLimitedRequests();

// What the responder and the status records need of the agent that runs them, handed over by
// the agent's start-up before it calls any of them. A member left null does nothing or reads as
// zero (a null socket place: the responder keeps its socket itself).
struct ResponderContext {
    // Where the responder keeps its bound socket; the agent thread waits on it.
    SOCKET* socket;
    // Marks a slot of the activity block (common/shared_blocks.h).
    void (*showActivity)(uint32_t slot);
    // Asks the agent thread for a synchronization now.
    void (*requestDemandSync)();
    // The installation identifier the agent settled on at its start.
    uint32_t (*installationId)();
    // A copy of the settings the agent works with.
    SettingsRecord (*settings)();
    // Writes a line to the event log (type 1 error, 2 warning).
    void (*logEvent)(WORD type, const char* text);
};
void SetResponderContext(const ResponderContext& context);
// The context last handed over.
const ResponderContext& CurrentResponderContext();

// The responder's life, on the agent thread (and in its start and stop): the command filter read
// from the registry path, the socket opened and closed, the datagrams queued on it answered.
void LoadCommandFilter(const char* path);
bool OpenResponder();
void CloseResponder();
void HandleManagementRequest(SOCKET socket);
