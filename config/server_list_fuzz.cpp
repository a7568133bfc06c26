// Fuzz target: any text as the Windows Time "NTPServer" value. The list read from it must be
// well formed, and saving it and reading it again must give the same list, in both the Windows
// XP form (with flags) and the Windows 2000 form (bare names), and in any room.
#include <cstring>
#include <vector>

#include "common/fuzz_support.h"
#include "config/settings.h"
#include "config/settings_changes.h"

namespace {

constexpr size_t kListSize = 65536;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void CheckWellFormed(const SettingsRecord& record) {
    FUZZ_CHECK(record.serverCount <= kMaxTimeServers);
    for (size_t i = 0; i < kMaxTimeServers; ++i) {
        const TimeServerEntry& server = record.servers[i];
        const size_t length = strnlen(server.name, sizeof(server.name));
        FUZZ_CHECK(length < sizeof(server.name));
        if (i >= record.serverCount) {
            FUZZ_CHECK(length == 0 && server.flags == kDefaultServerFlags);
            continue;
        }
        FUZZ_CHECK(length > 0);
        FUZZ_CHECK(std::strpbrk(server.name, ", ") == nullptr);
        FUZZ_CHECK(!IsBlank(server.name[0]) && !IsBlank(server.name[length - 1]));
        FUZZ_CHECK(server.flags <= 0xFF);
    }
}

bool SameList(const SettingsRecord& a, const SettingsRecord& b, bool flags) {
    if (a.serverCount != b.serverCount) {
        return false;
    }
    for (size_t i = 0; i < a.serverCount; ++i) {
        if (std::strcmp(a.servers[i].name, b.servers[i].name) != 0) {
            return false;
        }
        if (flags ? a.servers[i].flags != b.servers[i].flags
                  : b.servers[i].flags != kDefaultServerFlags) {
            return false;
        }
    }
    return true;
}

// Whether every server of part appears in whole, in the same order (with the same flags).
bool IsSublist(const SettingsRecord& part, const SettingsRecord& whole) {
    size_t next = 0;
    for (size_t i = 0; i < part.serverCount; ++i) {
        while (next < whole.serverCount &&
               (std::strcmp(whole.servers[next].name, part.servers[i].name) != 0 ||
                whole.servers[next].flags != part.servers[i].flags)) {
            ++next;
        }
        if (next == whole.serverCount) {
            return false;
        }
        ++next;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');

    SettingsRecord record;
    std::memset(&record, 0xCC, sizeof(record));
    ParseServerList(text.data(), &record);
    CheckWellFormed(record);

    static char saved[kListSize];
    for (const bool withFlags : {true, false}) {
        FormatServerList(record, withFlags, saved, sizeof(saved));
        FUZZ_CHECK(std::memchr(saved, '\0', sizeof(saved)) != nullptr);
        SettingsRecord again;
        std::memset(&again, 0x5A, sizeof(again));
        ParseServerList(saved, &again);
        CheckWellFormed(again);
        FUZZ_CHECK(SameList(record, again, withFlags));
    }

    // A text that does not fit leaves servers out, never cuts one, and stays terminated.
    FormatServerList(record, true, saved, sizeof(saved));
    const size_t full = std::strlen(saved);
    const size_t room = full > 2 ? (size % (full + 2)) + 1 : 1;
    std::vector<char> small(room + 8, '\x7E');
    FormatServerList(record, true, small.data(), room);
    FUZZ_CHECK(std::memchr(small.data(), '\0', room) != nullptr);
    for (size_t i = room; i < small.size(); ++i) {
        FUZZ_CHECK(small[i] == '\x7E');
    }
    SettingsRecord part;
    ParseServerList(small.data(), &part);
    FUZZ_CHECK(IsSublist(part, record));

    // Merged back untouched, the list loads the same and keeps every entry; with the first slot
    // renamed and the second's mode picked, only those change.
    int origins[kMaxTimeServers];
    IdentityServerOrigins(record, origins);
    FUZZ_CHECK(!ServerSlotsChanged(text.data(), record, origins));
    std::vector<char> merged(MergedServerListSize(text.data()));
    FUZZ_CHECK(MergeServerList(text.data(), record, origins, true, merged.data(), merged.size()));
    SettingsRecord back;
    ParseServerList(merged.data(), &back);
    FUZZ_CHECK(SameList(record, back, true));
    FUZZ_CHECK(CountServerListEntries(merged.data()) == CountServerListEntries(text.data()));
    if (record.serverCount >= 2) {
        SettingsRecord edited = record;
        std::memcpy(edited.servers[0].name, "edited", sizeof("edited"));
        edited.servers[1].flags = FlagsWithPickedMode(edited.servers[1].flags, 1);
        const bool differs = std::strcmp(record.servers[0].name, "edited") != 0 ||
                             edited.servers[1].flags != record.servers[1].flags;
        FUZZ_CHECK(ServerSlotsChanged(text.data(), edited, origins) == differs);
        FUZZ_CHECK(
            MergeServerList(text.data(), edited, origins, true, merged.data(), merged.size()));
        ParseServerList(merged.data(), &back);
        FUZZ_CHECK(SameList(edited, back, true));
        FUZZ_CHECK(CountServerListEntries(merged.data()) == CountServerListEntries(text.data()));
    }
    return 0;
}
