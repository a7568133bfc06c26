// Fuzz target: a sequence of management datagrams through the responder's decisions, against a
// machine and a command filter chosen by the input.
//
// Input: a header, then datagrams until the input ends.
//   header   u8 options: bit 0 Windows 2000, bit 1 no filter value stored, bit 2 a 32-byte
//            prohibition bitmap follows (bit n set stores 1 for code n), bit 3 a reply rate limit
//            (u16 below, bytes per second; otherwise none)
//            u16 rate, u32 installation identifier, u32 seconds since 1970
//   datagram u8 control: bits 0-1 source (one of four), bit 2 the send fails, bit 3 the responder
//            reopens first, bits 4-7 the clock advances that many tenths of a second (15: one
//            hour); u16 length (modulo 600); the bytes
#include <cstring>

#include "common/fuzz_support.h"
#include "responder/byte_order.h"
#include "responder/request_handler.h"

namespace {

constexpr uint32_t kSources[4] = {0x0100007F, 0x0200007F, 0x0A0A0A0A, 0xFFFFFFFF};
// A zone name filling its whole field, without a terminator.
constexpr char kZoneField[kZoneNameField + 1] = "Zone Name Of Exactly Thirty-Two!";

class RecordingHost final : public ResponderHost {
public:
    void ShowActivity(uint32_t slot) override {
        ++activity;
        lastSlot = slot;
    }
    CalendarRecord UtcTime() override { return {2024, 2, 4, 29, 23, 59, 58, 999}; }
    CalendarRecord LocalTime() override { return {2024, 3, 5, 1, 0, 59, 58, 999}; }
    uint32_t UnixNow() override { return now; }
    uint64_t MonotonicMs() override { return clockMs; }
    bool IsWindows2000() override { return windows2000; }
    void RequestDemandSync() override { ++demandSyncs; }
    void VersionRecordBytes(uint8_t out[kVersionRecordSize]) override {
        std::memset(out, 0x44, kVersionRecordSize);
        ++answers;
    }
    void TimeZoneFactsBytes(uint8_t out[kTimeZoneFactsSize]) override {
        EncodeTimeZoneFacts(1, kZoneField, out);
        ++answers;
    }
    void CurrentZoneName(char field[kZoneNameField]) override {
        std::memcpy(field, kZoneField, kZoneNameField);
    }
    uint8_t TimeServiceType() override { return 3; }
    uint32_t MaxPhaseOffset() override { return 300; }
    void DriftRecordAfter(uint32_t after, uint8_t out[kDriftAnswerSize]) override {
        std::memset(out, 0, kDriftAnswerSize);
        StoreLe32(out + 8, after + 1);
        ++driftAsks;
        lastAfter = after;
    }
    void ClearHistory() override { ++clears; }
    void StatusRecordBytes(uint8_t out[kStatusRecordSize]) override {
        std::memset(out, 0x5A, kStatusRecordSize);
        ++statusRecords;
    }
    uint32_t InstallationId() override { return id; }
    void ReportRateLimited(uint64_t dropped, uint32_t) override {
        FUZZ_CHECK(dropped > 0);
        // At most one report an hour.
        FUZZ_CHECK(reports == 0 || clockMs - lastReportMs >= kRateReportIntervalMs);
        ++reports;
        reported += dropped;
        lastReportMs = clockMs;
    }

    uint32_t now = 0;
    uint64_t clockMs = 0;
    bool windows2000 = false;
    uint32_t id = 0;
    int activity = 0;
    uint32_t lastSlot = 0;
    int demandSyncs = 0;
    int answers = 0;
    int driftAsks = 0;
    uint32_t lastAfter = 0;
    int clears = 0;
    int statusRecords = 0;
    int reports = 0;
    uint64_t reported = 0;
    uint64_t lastReportMs = 0;
};

// Every field of the block as sent, texts up to their terminators.
bool SameBlock(const AgentStatus& a, const AgentStatus& b) {
    bool same =
        a.role == b.role && a.snapshotTime == b.snapshotTime &&
        a.statisticsResetTime == b.statisticsResetTime && a.lastSyncTime == b.lastSyncTime &&
        a.agentStartTime == b.agentStartTime && a.lastOffsetMs == b.lastOffsetMs &&
        a.offsetSumMs == b.offsetSumMs && std::strcmp(a.timeZoneName, b.timeZoneName) == 0 &&
        std::strcmp(a.versionText, b.versionText) == 0 && a.statusFlags == b.statusFlags &&
        a.timeServiceType == b.timeServiceType && std::strcmp(a.partnerName, b.partnerName) == 0 &&
        a.protocol == b.protocol && a.bytesReceived == b.bytesReceived &&
        a.bytesSent == b.bytesSent && a.syncSuccesses == b.syncSuccesses &&
        a.syncEvents == b.syncEvents && a.syncFailures == b.syncFailures;
    for (size_t i = 0; i < kCounterSlots; ++i) {
        same = same && a.lastReplyTime[i] == b.lastReplyTime[i] &&
               a.repliesSent[i] == b.repliesSent[i] && a.receiveErrors[i] == b.receiveErrors[i];
    }
    return same;
}

// What each source has spent of its allowance since it was first seen.
struct Spending {
    bool seen;
    uint64_t firstMs;
    uint64_t costs;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    const uint8_t options = input.U8();
    const uint16_t rateField = input.U16();
    const uint32_t rate = (options & 8) != 0 ? rateField : 0;

    RecordingHost host;
    host.windows2000 = (options & 1) != 0;
    host.id = input.U32();
    host.now = input.U32();
    host.clockMs = 1000;

    uint8_t stored[kCommandFilterSize] = {};
    if ((options & 4) != 0) {
        uint8_t bitmap[kCommandFilterSize / 8] = {};
        input.Bytes(bitmap, sizeof(bitmap));
        for (size_t code = 0; code < kCommandFilterSize; ++code) {
            stored[code] = (bitmap[code / 8] >> (code % 8)) & 1;
        }
    }
    uint8_t filter[kCommandFilterSize];
    BuildCommandFilter(stored, sizeof(stored), (options & 2) == 0, filter);

    static ResponderCore core; // large: kept out of the stack
    ResetResponderCore(&core, filter, rate);
    AgentStatus status{};
    InitAgentStatus(&status, kAgentRole, host.now, "Initial Zone");

    bool haveLast = false;
    size_t lastLength = 0;
    static uint8_t last[kMaxRequestSize];
    Spending spent[4] = {};

    while (input.remaining() != 0) {
        const uint8_t control = input.U8();
        uint8_t datagram[600];
        const size_t length = input.Bytes(datagram, input.U16() % sizeof(datagram));
        const size_t source = control & 3;
        const uint32_t advance = control >> 4;
        host.clockMs += advance == 15 ? kRateReportIntervalMs : advance * 100;
        host.now += advance == 15 ? 3600 : advance / 10;
        if ((control & 8) != 0) {
            ForgetLastDatagram(&core);
            haveLast = false;
        }

        const AgentStatus before = status;
        const RecordingHost hostBefore = host;
        const uint64_t droppedBefore = core.droppedTotal;
        Reply reply;
        std::memset(&reply, 0xEE, sizeof(reply));
        const RequestOutcome outcome =
            HandleDatagram(&core, &status, host, datagram, length, kSources[source], &reply);

        const size_t used = length < kMaxRequestSize ? length : kMaxRequestSize;
        ManagementRequest request{};
        const bool parsed = ParseManagementRequest(datagram, used, &request);
        const bool handled =
            outcome == RequestOutcome::kAnswer || outcome == RequestOutcome::kNoAnswer;

        FUZZ_CHECK(reply.length <= kMaxReplySize);
        FUZZ_CHECK((outcome == RequestOutcome::kAnswer) == (reply.length != 0));
        FUZZ_CHECK(parsed == (outcome != RequestOutcome::kTooShort));
        FUZZ_CHECK(parsed == (used >= 5));
        if (parsed) {
            FUZZ_CHECK((outcome == RequestOutcome::kFiltered) == (filter[request.code] != 0));
        }
        // Codes outside the implemented set never get through, whatever the stored value says.
        FUZZ_CHECK(!handled || (IsImplementedCode(request.code) && filter[request.code] == 0));
        const bool repeat = parsed && filter[request.code] == 0 && haveLast && lastLength == used &&
                            std::memcmp(last, datagram, used) == 0;
        FUZZ_CHECK(repeat == (outcome == RequestOutcome::kRepeated));
        FUZZ_CHECK((outcome == RequestOutcome::kRateLimited) ==
                   (core.droppedTotal == droppedBefore + 1));
        FUZZ_CHECK(outcome != RequestOutcome::kRateLimited || rate != 0);
        FUZZ_CHECK(core.droppedTotal >= droppedBefore && core.droppedTotal <= droppedBefore + 1);
        FUZZ_CHECK(host.reported + core.droppedUnreported == core.droppedTotal);
        // Dropped before the filter let it through: nothing flashed, nothing done.
        if (!parsed || outcome == RequestOutcome::kFiltered) {
            FUZZ_CHECK(host.activity == hostBefore.activity);
        }

        if (!handled) {
            FUZZ_CHECK(SameBlock(before, status));
            FUZZ_CHECK(host.demandSyncs == hostBefore.demandSyncs);
            FUZZ_CHECK(host.clears == hostBefore.clears);
            FUZZ_CHECK(host.answers == hostBefore.answers &&
                       host.driftAsks == hostBefore.driftAsks &&
                       host.statusRecords == hostBefore.statusRecords);
            continue;
        }

        haveLast = true;
        lastLength = used;
        std::memcpy(last, datagram, used);
        FUZZ_CHECK(reply.length == ReplyLength(request.code, request.dataWord, host.id));

        // Each source gets at most its burst and then its rate.
        Spending& spending = spent[source];
        if (!spending.seen) {
            spending = Spending{true, host.clockMs, 0};
        }
        spending.costs += ReplyCost(reply.length);
        if (rate != 0) {
            FUZZ_CHECK(spending.costs * 1000 <= uint64_t{rate} * kReplyBurstSeconds * 1000 +
                                                    (host.clockMs - spending.firstMs) * rate);
        }

        // The counters change only as the code allows: the bytes received, and for 128 and 129
        // the refreshed fields; 129 first resets the statistics.
        AgentStatus expected = before;
        expected.bytesReceived += used;
        const bool sync =
            request.code == kRequestDemandSync || request.code == kRequestDemandSync204;
        if (request.code == kRequestClearStatistics) {
            ResetStatistics(&expected, host.now);
        }
        if (request.code == kRequestAgentStatus || request.code == kRequestClearStatistics) {
            LoadTextField(reinterpret_cast<const uint8_t*>(kZoneField), kZoneNameField,
                          expected.timeZoneName);
            expected.role = kAgentRole;
            expected.timeServiceType = host.TimeServiceType();
            expected.snapshotTime = host.now;
            uint8_t block[kAgentStatusBlockSize];
            EncodeAgentStatusBlock(status, block);
            FUZZ_CHECK(reply.length == kAgentStatusBlockSize);
            FUZZ_CHECK(std::memcmp(reply.bytes, block, sizeof(block)) == 0);
        }
        FUZZ_CHECK(SameBlock(expected, status));
        FUZZ_CHECK(host.clears == hostBefore.clears + (request.code == kRequestClearStatistics));
        FUZZ_CHECK(host.demandSyncs == hostBefore.demandSyncs + (sync && !host.windows2000));
        if (sync) {
            FUZZ_CHECK(std::memcmp(reply.bytes, host.windows2000 ? kNak : kAck, kAckSize) == 0);
        }
        if (request.code == kRequestDriftRecord) {
            FUZZ_CHECK(host.driftAsks == hostBefore.driftAsks + 1 &&
                       host.lastAfter == request.dataWord);
        } else {
            FUZZ_CHECK(host.driftAsks == hostBefore.driftAsks);
        }
        FUZZ_CHECK((host.statusRecords != hostBefore.statusRecords) ==
                   (reply.length == kStatusRecordSize));

        if (outcome == RequestOutcome::kAnswer) {
            const AgentStatus unsent = status;
            const int64_t sent = (control & 4) != 0 ? -1 : static_cast<int64_t>(reply.length);
            NoteReplySent(&status, sent, host.now);
            FUZZ_CHECK(status.repliesSent[0] == unsent.repliesSent[0] + 1);
            FUZZ_CHECK(status.bytesSent == unsent.bytesSent + (sent < 0 ? 0 : reply.length));
            FUZZ_CHECK(status.lastReplyTime[0] == host.now);
        }
    }
    return 0;
}
