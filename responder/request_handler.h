// The responder's decisions on one management datagram, free of sockets: the filter, the repeat
// test, the reply rate limit, the dispatch table and the counters. The agent's shell supplies
// the facts and carries out the actions through ResponderHost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shared_blocks.h"
#include "responder/management_protocol.h"
#include "responder/rate_limiter.h"
#include "responder/status_records.h"

// What the dispatch needs from the agent around it.
class ResponderHost {
public:
    virtual ~ResponderHost() = default;
    // Flashes a slot of the activity block.
    virtual void ShowActivity(uint32_t slot) = 0;
    // Now, as the Windows calendar record, in UTC or local time.
    virtual CalendarRecord UtcTime() = 0;
    virtual CalendarRecord LocalTime() = 0;
    // Seconds since 1970 UTC.
    virtual uint32_t UnixNow() = 0;
    // A monotonic clock in milliseconds, for the rate limit.
    virtual uint64_t MonotonicMs() = 0;
    // Whether this machine runs Windows 2000, whose service cannot be asked to synchronize.
    virtual bool IsWindows2000() = 0;
    // Signals the agent thread to ask the Windows Time service for a synchronization.
    virtual void RequestDemandSync() = 0;
    virtual void VersionRecordBytes(uint8_t out[kVersionRecordSize]) = 0;
    virtual void TimeZoneFactsBytes(uint8_t out[kTimeZoneFactsSize]) = 0;
    // Writes the local zone's name into a 32-byte field.
    virtual void CurrentZoneName(char field[kZoneNameField]) = 0;
    // The Windows Time service's "Type" code.
    virtual uint8_t TimeServiceType() = 0;
    // "MaxAllowedPhaseOffset" in seconds.
    virtual uint32_t MaxPhaseOffset() = 0;
    // The 20 bytes of the oldest history record checked after the moment (seconds since 1970),
    // or zeros when there is none.
    virtual void DriftRecordAfter(uint32_t after, uint8_t out[kDriftAnswerSize]) = 0;
    // Empties the history and forgets the last used time sources.
    virtual void ClearHistory() = 0;
    virtual void StatusRecordBytes(uint8_t out[kStatusRecordSize]) = 0;
    virtual uint32_t InstallationId() = 0;
    // Reports requests dropped by the rate limit since the last report.
    virtual void ReportRateLimited(uint64_t dropped, uint32_t bytesPerSecond) = 0;
};

// How long a rate-limit report covers, at least.
constexpr uint64_t kRateReportIntervalMs = 3600ull * 1000;

// The responder's memory between datagrams.
struct ResponderCore {
    uint8_t filter[kCommandFilterSize];
    bool haveLast;
    size_t lastLength;
    uint8_t last[kMaxRequestSize];
    ReplyRateLimiter limiter;
    uint64_t droppedTotal; // requests the rate limit dropped since the responder opened
    uint64_t droppedUnreported;
    bool everReported;
    uint64_t lastReportMs;
};

// Filter from BuildCommandFilter, the rate in reply bytes per second per source (0: no limit);
// no datagram remembered.
void ResetResponderCore(ResponderCore* core, const uint8_t filter[kCommandFilterSize],
                        uint32_t bytesPerSecond);
// Forgets the last accepted datagram (the responder reopens).
void ForgetLastDatagram(ResponderCore* core);

enum class RequestOutcome {
    kTooShort,    // no request code: dropped, nothing counted
    kFiltered,    // prohibited or not implemented: dropped, nothing counted
    kRepeated,    // identical to the last accepted datagram
    kRateLimited, // over the source's allowance: dropped and counted in the core
    kNoAnswer,    // handled; the code has no answer
    kAnswer,      // handled; send reply to the sender
};

struct Reply {
    size_t length;
    uint8_t bytes[kMaxReplySize];
};

// Handles one received datagram of any length (only the first kMaxRequestSize bytes count) from
// the IPv4 source address, updating status (bytes received, and the block for 128 and 129) and
// core. On kAnswer reply holds the bytes to send; the caller then sends them and calls
// NoteReplySent.
RequestOutcome HandleDatagram(ResponderCore* core, AgentStatus* status, ResponderHost& host,
                              const uint8_t* bytes, size_t length, uint32_t sourceAddress,
                              Reply* reply);

// After a send attempt: bytes sent when sent is not negative; the reply is counted either way.
void NoteReplySent(AgentStatus* status, int64_t sent, uint32_t now);
// A failed receive on the management socket.
void NoteReceiveError(AgentStatus* status);
