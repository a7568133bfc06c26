#include "responder/client/fleet_probe.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "history/drift_record.h"
#include "responder/byte_order.h"
#include "responder/client/client_session.h"
#include "responder/management_protocol.h"

namespace {

// How far back the history is searched first: the newest verification is usually recent (a
// check follows every synchronization and runs every half hour at the latest); older windows
// are searched only when a recent one holds none.
constexpr uint32_t kHistoryWindows[] = {64, 1024, 4096, 16384, 65536, 1u << 20, 0xFFFFFFFFu};
constexpr size_t kHistoryWindowCount = sizeof(kHistoryWindows) / sizeof(kHistoryWindows[0]);
// The first search starts at the last synchronization instead of a window.
constexpr size_t kAfterLastSync = ~static_cast<size_t>(0);
// The window: walking the recent history for the drift trend.
constexpr size_t kTrendWalk = kAfterLastSync - 1;
// Records walked forward to the newest, at most.
constexpr int kHistorySteps = 32;

enum Request : uint8_t { kBlock = 1, kStatus = 2, kHistory = 4 };

struct Exchange {
    double started;
    double lastSent;
    double statusAnsweredAt; // when the last of block and status came
    uint8_t waiting;         // Request bits still unanswered
    uint32_t historyAfter;   // the moment the pending history request asks after
    size_t window;           // index into kHistoryWindows
    int steps;
    bool active;
    bool done;
};

uint64_t Key(const Endpoint& e) {
    return (static_cast<uint64_t>(e.address) << 16) | e.port;
}

class Prober {
public:
    Prober(UdpSocket& socket, const std::vector<ProbeTarget>& targets, const ProbeOptions& o)
        : socket_(socket), targets_(targets), o_(o), exchanges_(targets.size(), Exchange{}),
          walks_(o.trend ? targets.size() : 0), sequence_(FreshSequenceBase()) {
        readings_.reserve(targets.size());
        for (size_t i = 0; i < targets.size(); ++i) {
            readings_.push_back(EmptyReading(targets[i].name));
            byEndpoint_.emplace(Key(targets[i].endpoint), i);
        }
    }

    std::vector<AgentReading> Run() {
        size_t next = 0;
        size_t active = 0;
        size_t finished = 0;
        uint8_t buffer[1024];
        while (finished < targets_.size()) {
            while (next < targets_.size() && active < std::max<size_t>(o_.inFlight, 1)) {
                Start(next++);
                ++active;
            }
            // Wait for the next answer, at most until the earliest resend or deadline is due.
            Endpoint from{};
            const int got = socket_.Receive(buffer, sizeof(buffer), 5, &from);
            if (got > 0) {
                Take(from, buffer, static_cast<size_t>(got));
            }
            // Drain what else has come before looking at the clock again.
            for (int more = 0; more < 256; ++more) {
                const int again = socket_.Receive(buffer, sizeof(buffer), 0, &from);
                if (again <= 0) {
                    break;
                }
                Take(from, buffer, static_cast<size_t>(again));
            }
            const double now = MonotonicMilliseconds();
            for (size_t i : activeList_) {
                Exchange& e = exchanges_[i];
                if (!e.done) {
                    Tend(i, now);
                }
            }
            // Forget the finished ones.
            size_t kept = 0;
            for (size_t i : activeList_) {
                if (exchanges_[i].done) {
                    --active;
                    ++finished;
                } else {
                    activeList_[kept++] = i;
                }
            }
            activeList_.resize(kept);
        }
        return readings_;
    }

private:
    void Send(size_t i, uint8_t code, uint32_t dataWord) {
        uint8_t data[4];
        StoreLe32(data, dataWord);
        uint8_t datagram[kMaxRequestSize];
        const size_t length = EncodeManagementRequest(++sequence_, code, data, 4, datagram);
        socket_.Send(targets_[i].endpoint, datagram, length);
    }

    void SendWaiting(size_t i) {
        Exchange& e = exchanges_[i];
        if (e.waiting & kBlock) {
            Send(i, kRequestAgentStatus, 0);
        }
        if (e.waiting & kStatus) {
            Send(i, kRequestStatusRecord, 0);
        }
        if (e.waiting & kHistory) {
            Send(i, kRequestDriftRecord, e.historyAfter);
        }
        e.lastSent = MonotonicMilliseconds();
    }

    void Start(size_t i) {
        Exchange& e = exchanges_[i];
        e.active = true;
        e.started = MonotonicMilliseconds();
        e.waiting = static_cast<uint8_t>((o_.block ? kBlock : 0) | (o_.status ? kStatus : 0));
        if (e.waiting == 0) {
            e.waiting = kStatus;
        }
        activeList_.push_back(i);
        SendWaiting(i);
    }

    void Finish(size_t i) {
        Exchange& e = exchanges_[i];
        e.done = true;
        e.waiting = 0;
        readings_[i].durationSeconds = (MonotonicMilliseconds() - e.started) / 1000.0;
    }

    // The agent's clock now, from whichever record came.
    uint32_t AgentNow(size_t i) const {
        const AgentReading& r = readings_[i];
        return r.haveStatus ? r.status.now : r.block.snapshotTime;
    }

    void AskHistory(size_t i, uint32_t after) {
        Exchange& e = exchanges_[i];
        e.historyAfter = after;
        e.waiting |= kHistory;
        Send(i, kRequestDriftRecord, after);
        e.lastSent = MonotonicMilliseconds();
    }

    void StatusComplete(size_t i) {
        Exchange& e = exchanges_[i];
        e.statusAnsweredAt = MonotonicMilliseconds();
        if (!o_.history) {
            Finish(i);
            return;
        }
        // A verification follows every synchronization: one after the last one the agent saw is
        // the likely newest. Without one, recent windows first.
        const AgentReading& r = readings_[i];
        const uint32_t now = AgentNow(i);
        if (o_.trend) {
            e.window = kTrendWalk;
            AskHistory(i, now > o_.trendWindowSeconds ? now - o_.trendWindowSeconds : 0);
            return;
        }
        const uint32_t lastSync = r.haveStatus ? r.status.lastSyncTime : r.block.lastSyncTime;
        if (lastSync != 0 && lastSync <= now) {
            e.window = kAfterLastSync;
            AskHistory(i, lastSync - 1);
            return;
        }
        e.window = 0;
        AskHistory(i, now > kHistoryWindows[0] ? now - kHistoryWindows[0] : 0);
    }

    void TakeHistory(size_t i, const uint8_t* bytes) {
        Exchange& e = exchanges_[i];
        AgentReading& r = readings_[i];
        e.waiting &= static_cast<uint8_t>(~kHistory);
        r.historyAnswered = true;
        DriftRecord record;
        DecodeDriftRecord(bytes, &record);
        const bool found = record.checkTime > e.historyAfter;
        if (e.window == kTrendWalk) {
            TakeTrendStep(i, record, found);
            return;
        }
        if (found) {
            r.haveVerification = true;
            r.lastVerification = std::max(r.lastVerification, record.checkTime);
            if (++e.steps < kHistorySteps) {
                AskHistory(i, record.checkTime);
                return;
            }
            Finish(i);
            return;
        }
        if (r.haveVerification || e.historyAfter == 0) {
            Finish(i);
            return;
        }
        // Nothing in this window: search a wider one.
        const uint32_t now = AgentNow(i);
        e.window = e.window == kAfterLastSync ? 0 : e.window + 1;
        const uint32_t span = e.window < kHistoryWindowCount ? kHistoryWindows[e.window] : ~0u;
        AskHistory(i, now > span ? now - span : 0);
    }

    // One record of the walk through the recent history: the next step, or the trend once the
    // newest has come. A window without records goes on as the search for the newest one.
    void TakeTrendStep(size_t i, const DriftRecord& record, bool found) {
        Exchange& e = exchanges_[i];
        AgentReading& r = readings_[i];
        std::vector<DriftRecord>& walk = walks_[i];
        if (found) {
            walk.push_back(record);
            r.haveVerification = true;
            r.lastVerification = std::max(r.lastVerification, record.checkTime);
            if (static_cast<int>(walk.size()) < o_.trendSteps) {
                AskHistory(i, record.checkTime);
                return;
            }
        }
        if (!walk.empty()) {
            DriftTrendOptions options;
            options.windowSeconds = o_.trendWindowSeconds;
            options.thresholdMs = o_.thresholdMs;
            r.trend = AnalyzeDriftTrend(walk.data(), walk.size(), options);
            r.haveTrend = true;
            walk = std::vector<DriftRecord>();
            Finish(i);
            return;
        }
        const uint32_t now = AgentNow(i);
        e.window = 0;
        while (e.window < kHistoryWindowCount &&
               kHistoryWindows[e.window] <= o_.trendWindowSeconds) {
            ++e.window;
        }
        const uint32_t span = e.window < kHistoryWindowCount ? kHistoryWindows[e.window] : ~0u;
        AskHistory(i, now > span ? now - span : 0);
    }

    void Take(const Endpoint& from, const uint8_t* bytes, size_t length) {
        size_t i = 0;
        if (targets_.size() == 1) {
            // An agent with several addresses may answer from another one.
            i = 0;
        } else {
            const auto found = byEndpoint_.find(Key(from));
            if (found == byEndpoint_.end()) {
                return;
            }
            i = found->second;
        }
        Exchange& e = exchanges_[i];
        if (!e.active || e.done) {
            return;
        }
        AgentReading& r = readings_[i];
        if (length == kAgentStatusBlockSize && (e.waiting & kBlock)) {
            DecodeAgentStatusBlock(bytes, &r.block);
            r.haveBlock = true;
            e.waiting &= static_cast<uint8_t>(~kBlock);
            if ((e.waiting & (kBlock | kStatus)) == 0) {
                StatusComplete(i);
            }
        } else if (length == kStatusRecordSize && (e.waiting & kStatus)) {
            DecodeStatusRecord(bytes, &r.status);
            r.haveStatus = true;
            e.waiting &= static_cast<uint8_t>(~kStatus);
            if ((e.waiting & (kBlock | kStatus)) == 0) {
                StatusComplete(i);
            }
        } else if (length == kDriftAnswerSize && (e.waiting & kHistory)) {
            // A late answer to an earlier step names a record at or before the moment asked
            // after: it is not this step's answer (a record of zeros is "none after").
            const uint32_t checked = LoadLe32(bytes + 8);
            const bool none = std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
            if (none || checked > e.historyAfter) {
                TakeHistory(i, bytes);
            }
        }
    }

    void Tend(size_t i, double now) {
        Exchange& e = exchanges_[i];
        const bool statusDone = (e.waiting & (kBlock | kStatus)) == 0;
        if (now - e.started >= o_.timeoutMs) {
            Finish(i);
            return;
        }
        if (statusDone && !readings_[i].historyAnswered) {
            // The filter of most agents prohibits history requests: give up on it after a
            // few round trips.
            const double roundTrip = e.statusAnsweredAt - e.started;
            const double grace = std::max<double>(o_.historyGraceMs, 4 * roundTrip);
            if (now - e.statusAnsweredAt >= grace) {
                Finish(i);
                return;
            }
        }
        if (now - e.lastSent >= o_.resendMs) {
            SendWaiting(i);
        }
    }

    UdpSocket& socket_;
    const std::vector<ProbeTarget>& targets_;
    const ProbeOptions& o_;
    std::vector<Exchange> exchanges_;
    std::vector<AgentReading> readings_;
    std::vector<std::vector<DriftRecord>> walks_; // records walked for the trend, per target
    std::unordered_map<uint64_t, size_t> byEndpoint_;
    std::vector<size_t> activeList_;
    uint32_t sequence_;
};

} // namespace

std::vector<AgentReading> ProbeAgents(UdpSocket& socket, const std::vector<ProbeTarget>& targets,
                                      const ProbeOptions& options) {
    Prober prober(socket, targets, options);
    return prober.Run();
}

std::vector<Endpoint> DiscoverAgents(UdpSocket& socket, const std::vector<Endpoint>& broadcasts,
                                     int waitMs) {
    std::vector<Endpoint> found;
    uint32_t sequence = FreshSequenceBase();
    for (const Endpoint& to : broadcasts) {
        uint8_t datagram[kMaxRequestSize];
        const uint8_t zero[4] = {0, 0, 0, 0};
        const size_t length = EncodeManagementRequest(++sequence, kRequestPing, zero, 4, datagram);
        socket.Send(to, datagram, length);
    }
    const double deadline = MonotonicMilliseconds() + waitMs;
    uint8_t buffer[1024];
    for (;;) {
        const double left = deadline - MonotonicMilliseconds();
        if (left <= 0) {
            break;
        }
        Endpoint from{};
        const int got = socket.Receive(buffer, sizeof(buffer), static_cast<int>(left) + 1, &from);
        if (got != static_cast<int>(kAckSize) || std::memcmp(buffer, kAck, kAckSize) != 0) {
            continue;
        }
        if (std::find(found.begin(), found.end(), from) == found.end()) {
            found.push_back(from);
        }
    }
    return found;
}

bool ExpandRange(const std::string& text, std::vector<uint32_t>* addresses) {
    unsigned parts[4] = {0, 0, 0, 0};
    unsigned prefix = 32;
    size_t at = 0;
    for (int p = 0; p < 4; ++p) {
        if (at >= text.size() || text[at] < '0' || text[at] > '9') {
            return false;
        }
        unsigned value = 0;
        int digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
            ++digits;
        }
        if (value > 255 || digits > 3) {
            return false;
        }
        parts[p] = value;
        if (p < 3) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
    }
    if (at < text.size()) {
        if (text[at] != '/' || at + 1 >= text.size() || text.size() - at > 3) {
            return false;
        }
        prefix = 0;
        for (size_t k = at + 1; k < text.size(); ++k) {
            if (text[k] < '0' || text[k] > '9') {
                return false;
            }
            prefix = prefix * 10 + static_cast<unsigned>(text[k] - '0');
        }
        if (prefix < 16 || prefix > 32) {
            return false;
        }
    }
    const uint32_t host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
    const uint32_t mask = prefix == 32 ? 0xFFFFFFFFu : ~((1u << (32 - prefix)) - 1);
    uint32_t first = host & mask;
    uint32_t last = first | ~mask;
    if (prefix < 31) {
        ++first;
        --last;
    }
    for (uint64_t a = first; a <= last; ++a) {
        uint8_t bytes[4] = {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                            static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
        uint32_t network;
        std::memcpy(&network, bytes, 4);
        addresses->push_back(network);
    }
    return true;
}
