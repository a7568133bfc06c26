// The agent's process-wide status records, its installation identifier and the broadcast
// question that keeps the identifier unique on the network.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "responder/status_records.h"

// The registry key and value of the installation identifier (below HKEY_LOCAL_MACHINE).
constexpr char kInstallationIdKey[] = "\\\\Software\\Classes\\Mirel\\QX2\\Info";
constexpr char kInstallationIdValue[] = "Serial Number";

// The status records kept for the agent that runs the responder: the role code of the agent is 7.
void InitAgentStatusBlock(uint8_t role);
void InitVersionRecord(uint8_t role);
void BuildStatusRecord();
DWORD GetInstallationId();
void StatusSetPending(bool pending);
void StatusCountSync(bool success);
void StatusNoteSync(uint32_t lastSyncTime);
void StatusSetPartnerName(const char* name);
void StatusMarkThreadStart(uint32_t now);
// A verified variance in milliseconds: added to the sum of offsets and kept as the last one.
void StatusAddOffset(int64_t offsetMs);
// The role byte of the agent's status block (7 for the agent).
uint8_t StatusRole();
void StatusMarkThreadEnd();

// The agent's status block, written by the agent thread (and by StartAgent before it runs).
AgentStatus& AgentStatusBlock();
// The version record's 64 bytes as InitVersionRecord made them.
const uint8_t* VersionRecordBytes();
// The 302 bytes BuildStatusRecord wrote last.
const uint8_t* StatusRecordBytes();
// Zeroes the block's counters and offset sum and notes the time of the reset.
void ResetAgentStatistics();
// CurrentTimeZoneName (kZoneNameField bytes into field, the zone state returned), read again at
// most once a second: the agent thread's answers call it for every status request.
uint32_t RecentTimeZoneName(char* field);

// Sends a management request (sequence number, code, then up to 504 data bytes) as SendBroadcast
// does to the "quorvexnet" port (9909 when the service is unknown). Returns the socket for the
// replies, or INVALID_SOCKET.
SOCKET BroadcastRequest(uint32_t sequence, uint32_t code, const uint8_t* data, size_t dataLength,
                        DWORD receiveTimeoutMs);
// Sends a datagram to the service's port (defaultPort, in host order, when the service database
// does not know it) of every address in "Broadcast Addresses" of the agent's parameters, or to
// 255.255.255.255 when that list is missing or empty. The socket is bound to the service's port
// when it can be, and receives with the time-out (0: none); the caller reads the replies and
// closes it. INVALID_SOCKET when no socket could be made.
SOCKET SendBroadcast(const char* service, uint16_t defaultPort, const uint8_t* datagram,
                     size_t length, DWORD receiveTimeoutMs);

// How many questions GetInstallationId lets other installations contest before it takes its
// candidate regardless: every answer claiming every candidate is a broken or hostile peer, and
// the agent must still start.
constexpr int kMaxContestedRounds = 32;
