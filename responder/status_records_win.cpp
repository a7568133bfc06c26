// The agent's status records and installation identifier.
#include "responder/status_records_win.h"

#include <cstdio>
#include <cstring>

#include "common/shared_blocks.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/settings.h"
#include "config/registry_keys.h"
#include "responder/byte_order.h"
#include "responder/installation_id.h"
#include "responder/management_protocol.h"
#include "responder/responder_win.h"
#include "timesrc/ntp_source.h"
#include "timesrc/precise_clock_win.h"
#include "timesrc/time_zone_win.h"

namespace {

void ShowActivity(uint32_t slot) {
    if (const auto show = CurrentResponderContext().showActivity) {
        show(slot);
    }
}

AgentStatus g_status;
VersionRecord g_version;
uint8_t g_versionBytes[kVersionRecordSize];
uint8_t g_statusRecord[kStatusRecordSize];
// Sequence numbers of the questions this process asks; unguarded, as only start-up asks.
uint32_t g_questionSequence = 0;

constexpr char kAgentParameters[] = ""; // Software\Tessaric\Horologix\Parameters

CalendarRecord ToCalendar(const SYSTEMTIME& time) {
    return CalendarRecord{time.wYear, time.wMonth,  time.wDayOfWeek, time.wDay,
                          time.wHour, time.wMinute, time.wSecond,    time.wMilliseconds};
}

bool ServiceInstalled(const char* key) {
    return ReadBoolean(key, kServiceInstalledValue, 0) != 0;
}

InstalledProducts ReadInstalledProducts() {
    InstalledProducts p{};
    p.server = ServiceInstalled(kFamilyServerParametersKey);
    p.set = ServiceInstalled("\\\\Software\\Tessaric\\Quorvex Set\\Parameters");
    p.manager = ServiceInstalled("\\\\Software\\Tessaric\\Quorvex II Manager\\Parameters");
    p.monitor = ServiceInstalled("\\\\Software\\Tessaric\\Quorvex II Monitor\\Parameters");
    p.updateServer =
        ServiceInstalled("\\\\Software\\Tessaric\\Quorvex II Update Server\\Parameters");
    p.auditServer = ServiceInstalled("\\\\Software\\Tessaric\\Quorvex II Audit Server\\Parameters");
    p.agent = ServiceInstalled(kAgentKeyPath);
    constexpr const char* kClient = kFamilyClientParametersKey;
    p.client = ServiceInstalled(kClient);
    p.thinClient = ReadBoolean(kClient, kThinClientValue, 0) != 0;
    p.ultraThinClient = ReadBoolean(kClient, kUltraThinClientValue, 0) != 0;
    return p;
}

// The products word read at most once a second: reading its dozen registry values takes longer
// than the rest of an answer, and the products change only when one is installed or removed.
constexpr DWORD kProductsWordLifetimeMs = 1000;
// The zone's name likewise: the system reads it from the registry and the zone's resource file
// each time, which costs more than all the rest of an answer, and it changes only with the zone
// or at a daylight-saving switch.
constexpr DWORD kZoneNameLifetimeMs = 1000;

uint16_t CurrentInstalledProductsWord() {
    static uint16_t word = 0;
    static DWORD readAt = 0;
    static bool read = false;
    const DWORD now = GetTickCount();
    if (!read || now - readAt >= kProductsWordLifetimeMs) {
        word = InstalledProductsWord(ReadInstalledProducts());
        readAt = now;
        read = true;
    }
    return word;
}

// What kernel32.dll's file adds to a candidate; zeros when it cannot be read.
void AddSystemFileFacts(CandidateSources* sources) {
    char folder[MAX_PATH] = "";
    const UINT length = GetSystemDirectoryA(folder, sizeof(folder));
    if (length == 0 || length >= sizeof(folder)) {
        return;
    }
    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof(path), "%s\\kernel32.dll", folder);
    UniqueFile file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (file && GetFileInformationByHandle(file.get(), &info)) {
        sources->volumeSerial = info.dwVolumeSerialNumber;
        sources->fileSizeLow = info.nFileSizeLow;
        sources->fileIndexHigh = info.nFileIndexHigh;
    }
}

// Asks the network whether another installation uses the candidate.
bool CandidateContested(uint32_t candidate) {
    uint8_t data[4];
    StoreLe32(data, candidate);
    UniqueSocket socket(BroadcastRequest(g_questionSequence++, kRequestStatusRecordIfOurs, data,
                                         sizeof(data), 500));
    if (!socket) {
        return false;
    }
    uint8_t answer[kStatusRecordSize];
    const int received = recv(socket.get(), reinterpret_cast<char*>(answer), sizeof(answer), 0);
    ShowActivity(kActivityRequestAccepted);
    return received > 0 && AnswerClaimsCandidate(answer, static_cast<size_t>(received), candidate);
}

} // namespace

uint32_t RecentTimeZoneName(char* field) {
    static char name[kZoneNameField];
    static uint32_t state = 0;
    static DWORD readAt = 0;
    static bool read = false;
    const DWORD now = GetTickCount();
    if (!read || now - readAt >= kZoneNameLifetimeMs) {
        state = CurrentTimeZoneName(name);
        readAt = now;
        read = true;
    }
    std::memcpy(field, name, kZoneNameField);
    return state;
}

AgentStatus& AgentStatusBlock() {
    return g_status;
}

const uint8_t* VersionRecordBytes() {
    return g_versionBytes;
}

const uint8_t* StatusRecordBytes() {
    return g_statusRecord;
}

void InitAgentStatusBlock(uint8_t role) {
    char zone[kZoneNameField];
    CurrentTimeZoneName(zone);
    InitAgentStatus(&g_status, role, UnixTimeNow(), zone);
}

void ResetAgentStatistics() {
    ResetStatistics(&g_status, UnixTimeNow());
}

void InitVersionRecord(uint8_t role) {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof(name);
    if (!GetComputerNameA(name, &size)) {
        name[0] = '\0';
    }
    uint32_t installed = ReadNumber(kAgentKeyPath, "Ephemerides", 0);
    if (installed == 0) {
        installed = UnixTimeNow();
        WriteNumber(kAgentKeyPath, "Ephemerides", installed);
    }
    g_version = MakeVersionRecord(role, installed, LocalSystemIdentity().isNT, name);
    EncodeVersionRecord(g_version, g_versionBytes);
}

void BuildStatusRecord() {
    StatusRecord r{};
    const ResponderContext& context = CurrentResponderContext();
    r.installationId = context.installationId != nullptr ? context.installationId() : 0;
    const uint32_t zoneState = RecentTimeZoneName(r.timeZoneName);
    r.flags = StatusFlagsWord(g_status.role, g_version.flags, LocalSystemIdentity(), zoneState);
    r.protocol = g_status.protocol;
    r.marker = kStatusRecordMarker;
    r.lastOffsetMs = g_status.lastOffsetMs;
    r.syncSuccesses = g_status.syncSuccesses;
    r.syncEvents = g_status.syncEvents;
    r.syncFailures = g_status.syncFailures;
    r.installTime = g_version.installTime;
    r.lastSyncTime = g_status.lastSyncTime;
    r.agentStartTime = g_status.agentStartTime;
    std::snprintf(r.versionText, sizeof(r.versionText), "%s", g_status.versionText);
    std::snprintf(r.partnerName, sizeof(r.partnerName), "%s", g_status.partnerName);
    std::snprintf(r.computerName, sizeof(r.computerName), "%s", g_version.computerName);
    r.products = CurrentInstalledProductsWord();
    // The times last, so that they are as fresh as the record can be.
    SYSTEMTIME now;
    PreciseLocalSystemTime(&now);
    r.localTime = ToCalendar(now);
    PreciseUtcSystemTime(&now);
    r.utcTime = ToCalendar(now);
    r.now = UnixTimeNow();
    EncodeStatusRecord(r, g_statusRecord);
}

DWORD GetInstallationId() {
    SecureKeyTree(kInstallationIdKey);
    uint32_t id = ReadNumber(kInstallationIdKey, kInstallationIdValue, 0);
    int contested = 0;
    while (id == 0) {
        CandidateSources sources{};
        sources.tickCount = GetTickCount();
        sources.unixNow = UnixTimeNow();
        CandidateRandom random(sources.tickCount);
        sources.randomValue = random.Next();
        AddSystemFileFacts(&sources);
        uint32_t candidate = FormCandidate(sources);
        if (candidate == 0) {
            Sleep(1);
            continue;
        }
        if (contested < kMaxContestedRounds && CandidateContested(candidate)) {
            ++contested;
            // The next candidate starts from a later tick count, or it would be the same.
            Sleep(20);
            continue;
        }
        WriteNumber(kInstallationIdKey, kInstallationIdValue, candidate);
        id = candidate;
    }
    return id;
}

SOCKET BroadcastRequest(uint32_t sequence, uint32_t code, const uint8_t* data, size_t dataLength,
                        DWORD receiveTimeoutMs) {
    uint8_t datagram[kMaxRequestSize];
    const size_t length = EncodeManagementRequest(sequence, code, data, dataLength, datagram);
    return SendBroadcast(kManagementService, kManagementPort, datagram, length, receiveTimeoutMs);
}

SOCKET SendBroadcast(const char* service, uint16_t defaultPort, const uint8_t* datagram,
                     size_t length, DWORD receiveTimeoutMs) {
    const servent* entry = service != nullptr ? getservbyname(service, "udp") : nullptr;
    const u_short servicePort = entry != nullptr ? entry->s_port : 0; // network order
    UniqueSocket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!socket) {
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    setsockopt(socket.get(), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
               sizeof(on));
    if (receiveTimeoutMs != 0) {
        setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&receiveTimeoutMs), sizeof(receiveTimeoutMs));
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = servicePort;
    // A port already taken (by a responder of this machine) is no reason not to ask.
    bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local));

    char* list = ReadStringCopy(kAgentParameters, "Broadcast Addresses", nullptr);
    const size_t listSize = list != nullptr ? LocalSize(list) : 0;
    uint32_t destinations[64];
    const size_t count = PlanBroadcastDestinations(list, listSize, destinations, 64);
    FreeStringCopy(list);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = servicePort != 0 ? servicePort : htons(defaultPort);
    const int size = length < kMaxRequestSize ? static_cast<int>(length) : kMaxRequestSize;
    for (size_t i = 0; i < count; ++i) {
        to.sin_addr.s_addr = destinations[i];
        ShowActivity(kActivityBroadcast);
        sendto(socket.get(), reinterpret_cast<const char*>(datagram), size, 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    return socket.release();
}

void StatusSetPending(bool pending) {
    if (pending) {
        g_status.statusFlags |= kStatusPending;
    } else {
        g_status.statusFlags &= static_cast<uint8_t>(~kStatusPending);
    }
}

void StatusCountSync(bool success) {
    ++g_status.syncEvents;
    ++(success ? g_status.syncSuccesses : g_status.syncFailures);
}

void StatusNoteSync(uint32_t lastSyncTime) {
    g_status.lastSyncTime = lastSyncTime;
    g_status.protocol = kProtocolNtp;
}

void StatusSetPartnerName(const char* name) {
    SetPartnerName(&g_status, name);
}

void StatusMarkThreadStart(uint32_t now) {
    StatusSetPending(true);
    g_status.agentStartTime = now;
    g_status.protocol = kProtocolNone;
}

void StatusMarkThreadEnd() {
    StatusSetPending(false);
    g_status.agentStartTime = 0;
    g_status.snapshotTime = 0;
}

void StatusAddOffset(int64_t offsetMs) {
    g_status.offsetSumMs += offsetMs;
    g_status.lastOffsetMs = offsetMs;
}

uint8_t StatusRole() {
    return static_cast<uint8_t>(g_status.role);
}
