#include "responder/request_handler.h"

#include <cstring>

#include "responder/byte_order.h"

namespace {

void PutAck(Reply* reply, const char (&text)[kAckSize]) {
    std::memcpy(reply->bytes, text, kAckSize);
    reply->length = kAckSize;
}

// 128 and 129: the block as it stands now, with the fields refreshed at each send.
void PutAgentStatus(AgentStatus* status, ResponderHost& host, Reply* reply) {
    char zone[kZoneNameField] = {};
    host.CurrentZoneName(zone);
    LoadTextField(reinterpret_cast<const uint8_t*>(zone), kZoneNameField, status->timeZoneName);
    status->role = kAgentRole;
    status->timeServiceType = host.TimeServiceType();
    status->snapshotTime = host.UnixNow();
    EncodeAgentStatusBlock(*status, reply->bytes);
    reply->length = kAgentStatusBlockSize;
}

void NoteRateLimited(ResponderCore* core) {
    ++core->droppedTotal;
    ++core->droppedUnreported;
}

// At most one report an hour, and only of a non-zero count.
void MaybeReport(ResponderCore* core, ResponderHost& host) {
    if (core->droppedUnreported == 0) {
        return;
    }
    const uint64_t now = host.MonotonicMs();
    if (core->everReported && now - core->lastReportMs < kRateReportIntervalMs) {
        return;
    }
    host.ReportRateLimited(core->droppedUnreported, core->limiter.rate());
    core->droppedUnreported = 0;
    core->everReported = true;
    core->lastReportMs = now;
}

} // namespace

void ResetResponderCore(ResponderCore* core, const uint8_t filter[kCommandFilterSize],
                        uint32_t bytesPerSecond) {
    std::memcpy(core->filter, filter, kCommandFilterSize);
    ForgetLastDatagram(core);
    core->limiter.SetRate(bytesPerSecond);
    core->droppedTotal = 0;
    core->droppedUnreported = 0;
    core->everReported = false;
    core->lastReportMs = 0;
}

void ForgetLastDatagram(ResponderCore* core) {
    core->haveLast = false;
    core->lastLength = 0;
}

RequestOutcome HandleDatagram(ResponderCore* core, AgentStatus* status, ResponderHost& host,
                              const uint8_t* bytes, size_t length, uint32_t sourceAddress,
                              Reply* reply) {
    reply->length = 0;
    if (length > kMaxRequestSize) {
        length = kMaxRequestSize;
    }
    ManagementRequest request;
    if (!ParseManagementRequest(bytes, length, &request)) {
        return RequestOutcome::kTooShort;
    }
    if (core->filter[request.code] != 0) {
        return RequestOutcome::kFiltered;
    }
    host.ShowActivity(kActivityRequestAccepted);

    if (core->haveLast && core->lastLength == length &&
        std::memcmp(core->last, bytes, length) == 0) {
        MaybeReport(core, host);
        return RequestOutcome::kRepeated;
    }
    const uint32_t installationId = host.InstallationId();
    const size_t answerLength = ReplyLength(request.code, request.dataWord, installationId);
    if (!core->limiter.Allow(sourceAddress, ReplyCost(answerLength), host.MonotonicMs())) {
        NoteRateLimited(core);
        MaybeReport(core, host);
        return RequestOutcome::kRateLimited;
    }
    MaybeReport(core, host);
    core->haveLast = true;
    core->lastLength = length;
    std::memcpy(core->last, bytes, length);
    status->bytesReceived += length;

    switch (request.code) {
    case kRequestPing:
        PutAck(reply, kAck);
        break;
    case kRequestUtcTime:
        EncodeCalendarRecord(host.UtcTime(), reply->bytes);
        reply->length = kCalendarRecordSize;
        break;
    case kRequestLocalTime:
        EncodeCalendarRecord(host.LocalTime(), reply->bytes);
        reply->length = kCalendarRecordSize;
        break;
    case kRequestDemandSync:
    case kRequestDemandSync204:
        if (host.IsWindows2000()) {
            PutAck(reply, kNak);
        } else {
            host.RequestDemandSync();
            PutAck(reply, kAck);
        }
        break;
    case kRequestVersion:
        host.VersionRecordBytes(reply->bytes);
        reply->length = kVersionRecordSize;
        break;
    case kRequestRefused:
    case kRequestRefused132:
        PutAck(reply, kNak);
        break;
    case kRequestTimeZone:
        host.TimeZoneFactsBytes(reply->bytes);
        reply->length = kTimeZoneFactsSize;
        break;
    case kRequestFlash81:
        host.ShowActivity(kActivityRequest81);
        break;
    case kRequestFlash82:
        host.ShowActivity(kActivityRequest82);
        break;
    case kRequestFlash83:
        host.ShowActivity(kActivityRequest83);
        break;
    case kRequestFlash100:
        host.ShowActivity(kActivityRequest100);
        break;
    case kRequestFlash101:
        host.ShowActivity(kActivityRequest101);
        break;
    case kRequestClearStatistics:
        host.ClearHistory();
        ResetStatistics(status, host.UnixNow());
        PutAgentStatus(status, host, reply);
        break;
    case kRequestAgentStatus:
        PutAgentStatus(status, host, reply);
        break;
    case kRequestZeroWord:
        std::memset(reply->bytes, 0, kAckSize);
        reply->length = kAckSize;
        break;
    case kRequestPhaseLimits:
        EncodePhaseLimits(host.MaxPhaseOffset(), reply->bytes);
        reply->length = kPhaseLimitsSize;
        break;
    case kRequestDriftRecord:
        host.DriftRecordAfter(request.dataWord, reply->bytes);
        reply->length = kDriftAnswerSize;
        break;
    case kRequestStatusRecord:
        host.StatusRecordBytes(reply->bytes);
        reply->length = kStatusRecordSize;
        break;
    case kRequestStatusRecordIfOurs:
        if (request.dataWord == installationId) {
            host.StatusRecordBytes(reply->bytes);
            reply->length = kStatusRecordSize;
        }
        break;
    default:
        // Implemented codes without an answer: 1, 10-14, 80, 102, 130, 131, 140, 180, 202, 203.
        break;
    }
    return reply->length != 0 ? RequestOutcome::kAnswer : RequestOutcome::kNoAnswer;
}

void NoteReplySent(AgentStatus* status, int64_t sent, uint32_t now) {
    if (sent >= 0) {
        status->bytesSent += static_cast<uint64_t>(sent);
    }
    ++status->repliesSent[0];
    status->lastReplyTime[0] = now;
}

void NoteReceiveError(AgentStatus* status) {
    ++status->receiveErrors[0];
}
