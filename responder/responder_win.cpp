// The management responder: the agent's socket on the "quorvexnet" port, the command filter
// loaded at start, and the answers, which come from the portable request handler.
#include "responder/responder_win.h"

#include <ws2tcpip.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/error_text_win.h"
#include "common/system_identity.h"
#include "config/registry.h"
#include "config/settings.h"
#include "history/drift_file_win.h"
#include "responder/request_handler.h"
#include "responder/status_records_win.h"
#include "responder/turn_budget.h"
#include "timesrc/ntp_source.h"
#include "timesrc/precise_clock_win.h"
#include "timesrc/time_zone_win.h"

namespace {

constexpr char kAgentParameters[] = ""; // Software\Tessaric\Horologix\Parameters
constexpr char kTimeZoneKey[] = "\\\\System\\CurrentControlSet\\Control\\TimeZoneInformation";
constexpr int kBindAttempts = 4;
constexpr DWORD kBindRetryMs = 500;

// Responder state; only the agent thread (and StartAgent before it) touches it.
ResponderContext g_context{};
SOCKET g_ownSocket = INVALID_SOCKET; // where the socket is kept when the context names no place
uint8_t g_filter[kCommandFilterSize];
bool g_filterLoaded = false;
ResponderCore g_core;
char* g_answerAddresses = nullptr; // "Server Answer IP", kept while the responder is open

CalendarRecord ToCalendar(const SYSTEMTIME& time) {
    return CalendarRecord{time.wYear, time.wMonth,  time.wDayOfWeek, time.wDay,
                          time.wHour, time.wMinute, time.wSecond,    time.wMilliseconds};
}

// Microseconds from the performance counter, for a turn's budget.
uint64_t TurnMicroseconds() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart / frequency) * 1000000 +
           static_cast<uint64_t>(now.QuadPart % frequency) * 1000000 /
               static_cast<uint64_t>(frequency);
}

// Milliseconds from the tick count, carried past its 49.7-day wrap.
uint64_t MonotonicMilliseconds() {
    static DWORD last = 0;
    static uint64_t high = 0;
    const DWORD now = GetTickCount();
    if (now < last) {
        high += 1ull << 32;
    }
    last = now;
    return high | now;
}

SOCKET& ResponderSocket() {
    return g_context.socket != nullptr ? *g_context.socket : g_ownSocket;
}

void ShowContextActivity(uint32_t slot) {
    if (g_context.showActivity != nullptr) {
        g_context.showActivity(slot);
    }
}

SettingsRecord ContextSettings() {
    return g_context.settings != nullptr ? g_context.settings() : SettingsRecord{};
}

void LogContextEvent(WORD type, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogContextEvent(WORD type, const char* format, ...) {
    if (g_context.logEvent == nullptr) {
        return;
    }
    char text[510];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    g_context.logEvent(type, text);
}

class AgentResponderHost final : public ResponderHost {
public:
    void ShowActivity(uint32_t slot) override { ShowContextActivity(slot); }
    CalendarRecord UtcTime() override {
        SYSTEMTIME now;
        PreciseUtcSystemTime(&now);
        return ToCalendar(now);
    }
    CalendarRecord LocalTime() override {
        SYSTEMTIME now;
        PreciseLocalSystemTime(&now);
        return ToCalendar(now);
    }
    uint32_t UnixNow() override { return UnixTimeNow(); }
    uint64_t MonotonicMs() override { return MonotonicMilliseconds(); }
    bool IsWindows2000() override { return LocalSystemIdentity().os == kOsWin2000; }
    void RequestDemandSync() override {
        if (g_context.requestDemandSync != nullptr) {
            g_context.requestDemandSync();
        }
    }
    void VersionRecordBytes(uint8_t out[kVersionRecordSize]) override {
        std::memcpy(out, ::VersionRecordBytes(), kVersionRecordSize);
    }
    void TimeZoneFactsBytes(uint8_t out[kTimeZoneFactsSize]) override {
        const uint32_t disable = ReadNumber(kTimeZoneKey, "DisableAutoDaylightTimeSet", 0);
        char* name = ReadStringCopy(kTimeZoneKey, "StandardName", nullptr);
        EncodeTimeZoneFacts(disable, name != nullptr ? name : "", out);
        FreeStringCopy(name);
    }
    void CurrentZoneName(char field[kZoneNameField]) override { RecentTimeZoneName(field); }
    uint8_t TimeServiceType() override { return static_cast<uint8_t>(ContextSettings().syncType); }
    uint32_t MaxPhaseOffset() override { return ContextSettings().maxPhaseOffset; }
    void DriftRecordAfter(uint32_t after, uint8_t out[kDriftAnswerSize]) override {
        DriftRecord record{};
        if (FindDriftRecordAfter(after, &record)) {
            EncodeDriftRecord(record, out);
        } else {
            std::memset(out, 0, kDriftAnswerSize);
        }
    }
    void ClearHistory() override {
        ClearDriftFile();
        DeleteValue(kAgentKeyPath, kLastUsedTimeSourceValue);
    }
    void StatusRecordBytes(uint8_t out[kStatusRecordSize]) override {
        BuildStatusRecord();
        std::memcpy(out, ::StatusRecordBytes(), kStatusRecordSize);
    }
    uint32_t InstallationId() override {
        return g_context.installationId != nullptr ? g_context.installationId() : 0;
    }
    void ReportRateLimited(uint64_t dropped, uint32_t bytesPerSecond) override {
        LogContextEvent(EVENTLOG_WARNING_TYPE,
                        "Dropped %llu management requests from addresses that exceeded the "
                        "reply limit of %u bytes per second",
                        static_cast<unsigned long long>(dropped), bytesPerSecond);
    }
};

// The first IPv4 address of a dotted text or a host name; 0 when there is none.
uint32_t ResolveAddress(const char* text) {
    uint32_t address = 0;
    if (ParseDottedAddress(text, &address)) {
        return address;
    }
    const hostent* host = gethostbyname(text);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 ||
        host->h_addr_list[0] == nullptr) {
        return 0;
    }
    std::memcpy(&address, host->h_addr_list[0], 4);
    return address;
}

// Whether a datagram waits on the socket. Asking costs less than a receive that finds nothing
// (under Wine a system call against a round trip to the server). A zero-length datagram counts
// as none here; the socket's event brings it at the next wake-up.
bool DatagramQueued(SOCKET socket) {
    u_long queued = 0;
    return ioctlsocket(socket, FIONREAD, &queued) != 0 || queued > 0;
}

void CloseSocket(SOCKET socket) {
    shutdown(socket, SD_BOTH);
    closesocket(socket);
}

} // namespace

void SetResponderContext(const ResponderContext& context) {
    g_context = context;
}

const ResponderContext& CurrentResponderContext() {
    return g_context;
}

void LoadCommandFilter(const char* path) {
    uint8_t value[kCommandFilterSize];
    const bool read = ReadBinary(path, "Prohibited QX2 Commands", value, sizeof(value));
    BuildCommandFilter(value, sizeof(value), read, g_filter);
    g_filterLoaded = true;
}

bool OpenResponder() {
    SOCKET& socket = ResponderSocket();
    ForgetLastDatagram(&g_core);
    if (socket != INVALID_SOCKET) {
        CloseResponder();
    }
    if (!g_filterLoaded) {
        BuildCommandFilter(nullptr, 0, false, g_filter);
        g_filterLoaded = true;
    }
    ResetResponderCore(&g_core, g_filter,
                       ReadNumber(kAgentParameters, kReplyRateLimitValue, kDefaultReplyRateLimit));
    uint16_t port = kManagementPort;
    g_answerAddresses = ReadStringCopy(kAgentParameters, "Server Answer IP", nullptr);
    socket = CreateBoundSocket(SOCK_DGRAM, &port, kManagementService, g_answerAddresses);
    if (socket == INVALID_SOCKET) {
        LogContextEvent(EVENTLOG_ERROR_TYPE, "Could not create listen socket; %s",
                        LastSocketErrorText());
        return false;
    }
    // The receive queue stays the system's: a queue cut short (64 KiB) lost datagrams under Wine
    // even when the sender waited for an answer after every tenth.
    return true;
}

void CloseResponder() {
    SOCKET& socket = ResponderSocket();
    if (socket != INVALID_SOCKET) {
        CloseSocket(socket);
        socket = INVALID_SOCKET;
    }
    FreeStringCopy(g_answerAddresses);
    g_answerAddresses = nullptr;
}

uint64_t RateLimitedRequests() {
    return g_core.droppedTotal;
}

void HandleManagementRequest(SOCKET socket) {
    AgentStatus& status = AgentStatusBlock();
    AgentResponderHost host;
    // Every datagram already queued is served in this turn, within the turn's budget: a wait and
    // a re-selection per datagram would cost more than most answers do. The socket is
    // event-selected, so non-blocking: the turn ends when nothing more is queued.
    const uint64_t begin = TurnMicroseconds();
    for (int served = 0; ServeAnotherDatagram(served, TurnMicroseconds() - begin); ++served) {
        if (served > 0 && !DatagramQueued(socket)) {
            break;
        }
        if (served == 1) {
            // A backlog: the socket's readiness is of no use until the turn ends (the agent
            // thread selects it again then), and under Wine every datagram read while it is
            // selected wakes the server once more to signal it.
            WSAEventSelect(socket, nullptr, 0);
        }
        uint8_t datagram[kMaxRequestSize];
        sockaddr_in from{};
        int fromLength = sizeof(from);
        const int received = recvfrom(socket, reinterpret_cast<char*>(datagram), sizeof(datagram),
                                      0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            // Nothing (more) to read is no failed receive.
            if (error == WSAEWOULDBLOCK) {
                break;
            }
            NoteReceiveError(&status);
            // A datagram longer than 512 bytes (10040) was consumed: its answer would be to a
            // request not read whole. An unreachable earlier sender (10054) concerns no datagram.
            if (error == WSAEMSGSIZE || error == WSAECONNRESET) {
                continue;
            }
            break;
        }
        if (from.sin_family != AF_INET) {
            continue;
        }
        Reply reply;
        const RequestOutcome outcome =
            HandleDatagram(&g_core, &status, host, datagram, static_cast<size_t>(received),
                           from.sin_addr.s_addr, &reply);
        if (outcome != RequestOutcome::kAnswer) {
            continue;
        }
        const int sent = sendto(socket, reinterpret_cast<const char*>(reply.bytes),
                                static_cast<int>(reply.length), 0,
                                reinterpret_cast<const sockaddr*>(&from), fromLength);
        NoteReplySent(&status, sent == SOCKET_ERROR ? -1 : sent, UnixTimeNow());
        ShowContextActivity(kActivityReplySent);
    }
}

SOCKET CreateBoundSocket(int type, uint16_t* port, const char* service, const char* localAddress) {
    const bool stream = type == SOCK_STREAM;
    SOCKET socket = ::socket(AF_INET, type, stream ? IPPROTO_TCP : IPPROTO_UDP);
    if (socket == INVALID_SOCKET) {
        return INVALID_SOCKET;
    }
    if (service != nullptr) {
        if (const servent* entry = getservbyname(service, stream ? "tcp" : "udp")) {
            *port = ntohs(entry->s_port);
        }
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(*port);
    local.sin_addr.s_addr = INADDR_ANY;
    if (localAddress != nullptr && localAddress[0] != '\0') {
        const uint32_t address = ResolveAddress(localAddress);
        if (address != 0 && address != INADDR_NONE && IsLocalAddress(address, nullptr)) {
            local.sin_addr.s_addr = address;
        }
    }

    int error = 0;
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        if (attempt != 0) {
            Sleep(kBindRetryMs);
        }
        if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0) {
            error = 0;
            break;
        }
        error = WSAGetLastError();
        if (error != WSAEADDRINUSE) {
            break;
        }
    }
    if (error == 0 && stream) {
        if (listen(socket, SOMAXCONN) != 0) {
            error = WSAGetLastError();
        } else {
            const BOOL on = TRUE;
            setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                       sizeof(on));
        }
    }
    if (error != 0) {
        CloseSocket(socket);
        WSASetLastError(error);
        return INVALID_SOCKET;
    }
    return socket;
}

bool IsLocalAddress(uint32_t address, const char* hostName) {
    char name[256];
    if (hostName == nullptr) {
        if (gethostname(name, sizeof(name)) != 0) {
            return false;
        }
        name[sizeof(name) - 1] = '\0';
        hostName = name;
    }
    const hostent* host = gethostbyname(hostName);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4) {
        return false;
    }
    for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
        uint32_t candidate;
        std::memcpy(&candidate, *entry, 4);
        if (candidate == address) {
            return true;
        }
    }
    return false;
}
