#include "config/settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/text_trim.h"
#include "config/settings_changes.h"

namespace {

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// "0xH" or "0xHH" (either case of x and of the digits): the flags of the previous server.
bool ParseFlagsPiece(const char* piece, uint32_t* flags) {
    const size_t length = std::strlen(piece);
    if ((length != 3 && length != 4) || piece[0] != '0' || (piece[1] != 'x' && piece[1] != 'X')) {
        return false;
    }
    for (size_t i = 2; i < length; ++i) {
        if (!IsHexDigit(piece[i])) {
            return false;
        }
    }
    *flags = static_cast<uint32_t>(std::strtoul(piece + 2, nullptr, 16));
    return true;
}

// Copies at most size - 1 characters and a zero.
void CopyText(char* field, size_t size, const char* text) {
    const size_t length = strnlen(text, size - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
}

void EmptyServers(SettingsRecord* record) {
    for (TimeServerEntry& server : record->servers) {
        std::memset(server.name, 0, sizeof(server.name));
        server.flags = kDefaultServerFlags;
    }
    record->serverCount = 0;
}

// One piece between separators (runs of commas and spaces): where it is written (blanks at its
// ends included, so that written again it reads the same), and the text it is judged by.
struct Piece {
    const char* start;
    size_t length;
    char judged[kServerNameSize];
};

bool NextPiece(const char** cursor, Piece* piece) {
    const char* at = *cursor + std::strspn(*cursor, ", ");
    const size_t length = std::strcspn(at, ", ");
    if (length == 0) {
        return false;
    }
    // Room for a name with blanks around it; the rest of a longer piece cannot be kept.
    char text[kServerNameSize * 2];
    std::snprintf(text, sizeof(text), "%.*s",
                  static_cast<int>(length < sizeof(text) - 1 ? length : sizeof(text) - 1), at);
    TrimWhitespace(text);
    if (text[0] == '\0') {
        return false;
    }
    // A slot keeps 63 characters. Blanks can follow at the cut, and are trimmed too, before
    // the piece is judged, so that what is kept reads back the same once the list is saved.
    text[kServerNameSize - 1] = '\0';
    TrimWhitespace(text);
    CopyText(piece->judged, sizeof(piece->judged), text);
    piece->start = at;
    piece->length = length;
    *cursor = at + length;
    return true;
}

// The first six entries of a stored list; *tail receives where the entries beyond them begin.
size_t LoadStoredEntries(const char* stored, ServerListEntry (&entries)[kMaxTimeServers],
                         const char** tail) {
    const char* cursor = stored != nullptr ? stored : "";
    size_t count = 0;
    while (count < kMaxTimeServers && NextServerListEntry(&cursor, &entries[count])) {
        ++count;
    }
    *tail = cursor;
    return count;
}

// Appends to a bounded text; once something does not fit, nothing more is appended.
struct TextAppender {
    char* out;
    size_t size;
    size_t used;
    bool fits;

    void Append(const char* text, size_t length) {
        if (!fits || length >= size - used) {
            fits = false;
            return;
        }
        std::memcpy(out + used, text, length);
        used += length;
        out[used] = '\0';
    }
    void Append(const char* text) { Append(text, std::strlen(text)); }
    void Separate() {
        if (used > 0) {
            Append(" ", 1);
        }
    }
};

} // namespace

uint32_t ParseSyncType(const char* text) {
    static const struct {
        const char* name;
        uint32_t code;
    } kOrder[] = {{"Not Touched", kSyncNotTouched}, {"Disabled", kSyncDisabled},
                  {"NoSync", kSyncNoSync},          {"NT5DS", kSyncNt5ds},
                  {"AllSync", kSyncAllSync},        {"NTP", kSyncNtp}};
    if (text == nullptr) {
        return kSyncUnknown;
    }
    for (const auto& entry : kOrder) {
        if (strncasecmp(text, entry.name, 3) == 0) {
            return entry.code;
        }
    }
    return kSyncUnknown;
}

const char* SyncTypeName(uint32_t code) {
    switch (code) {
    case kSyncNotTouched:
        return "Not Touched";
    case kSyncNoSync:
        return "NoSync";
    case kSyncNt5ds:
        return "NT5DS";
    case kSyncAllSync:
        return "AllSync";
    case kSyncDisabled:
        return "Disabled";
    default:
        return "NTP";
    }
}

void ParseServerList(const char* text, SettingsRecord* record) {
    EmptyServers(record);
    if (text == nullptr) {
        return;
    }
    const char* cursor = text;
    ServerListEntry entry;
    while (record->serverCount < kMaxTimeServers && NextServerListEntry(&cursor, &entry)) {
        TimeServerEntry& server = record->servers[record->serverCount++];
        CopyText(server.name, sizeof(server.name), entry.name);
        server.flags = entry.flags;
    }
}

bool NextServerListEntry(const char** cursor, ServerListEntry* entry) {
    Piece piece;
    if (!NextPiece(cursor, &piece)) {
        return false;
    }
    CopyText(entry->name, sizeof(entry->name), piece.judged);
    entry->flags = kDefaultServerFlags;
    entry->nameText = piece.start;
    entry->nameLength = piece.length;
    entry->flagsText = nullptr;
    entry->flagsLength = 0;
    // Flags pieces that follow belong to this name, the last one counting.
    for (;;) {
        const char* peek = *cursor;
        Piece next;
        uint32_t flags = 0;
        if (!NextPiece(&peek, &next) || !ParseFlagsPiece(next.judged, &flags)) {
            return true;
        }
        entry->flags = flags;
        if (entry->flagsText == nullptr) {
            entry->flagsText = next.start;
        }
        entry->flagsLength = static_cast<size_t>(next.start + next.length - entry->flagsText);
        *cursor = peek;
    }
}

size_t CountServerListEntries(const char* stored) {
    const char* cursor = stored != nullptr ? stored : "";
    size_t count = 0;
    ServerListEntry entry;
    while (NextServerListEntry(&cursor, &entry)) {
        ++count;
    }
    return count;
}

uint32_t FlagsWithPickedMode(uint32_t flags, int modeIndex) {
    constexpr uint32_t kModeBits = 2 | 4 | 8;
    const uint32_t picked = modeIndex >= 0 && modeIndex < 4 ? 1u << modeIndex : 1u;
    return (flags & ~kModeBits) | picked;
}

void RebuildServerSlots(const ServerRow rows[kMaxTimeServers], SettingsRecord* record,
                        int origins[kMaxTimeServers]) {
    uint32_t count = 0;
    for (size_t i = 0; i < kMaxTimeServers; ++i) {
        char name[512];
        std::snprintf(name, sizeof(name), "%s", rows[i].text != nullptr ? rows[i].text : "");
        TrimWhitespace(name);
        if (name[0] == '\0') {
            continue;
        }
        TimeServerEntry& entry = record->servers[count];
        // Names longer than a slot holds are cut, as the service reads only that much.
        const size_t length = std::min(std::strlen(name), sizeof(entry.name) - 1);
        std::memset(entry.name, 0, sizeof(entry.name));
        std::memcpy(entry.name, name, length);
        // A mode picked for a stored entry changes only its mode bits; a row that showed no
        // stored entry has no other bits to keep.
        if (rows[i].pickedMode < 0) {
            entry.flags = rows[i].shownFlags;
        } else {
            entry.flags = FlagsWithPickedMode(rows[i].origin >= 0 ? rows[i].shownFlags : 0,
                                              rows[i].pickedMode);
        }
        origins[count] = rows[i].origin;
        ++count;
    }
    for (size_t i = count; i < kMaxTimeServers; ++i) {
        record->servers[i] = TimeServerEntry{};
        origins[i] = -1;
    }
    record->serverCount = count;
}

void IdentityServerOrigins(const SettingsRecord& record, int origins[kMaxTimeServers]) {
    for (size_t i = 0; i < kMaxTimeServers; ++i) {
        origins[i] = i < record.serverCount ? static_cast<int>(i) : -1;
    }
}

bool ServerSlotsChanged(const char* stored, const SettingsRecord& record,
                        const int origins[kMaxTimeServers]) {
    ServerListEntry loaded[kMaxTimeServers];
    const char* tail = nullptr;
    const size_t count = LoadStoredEntries(stored, loaded, &tail);
    if (record.serverCount != count) {
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        const TimeServerEntry& slot = record.servers[i];
        if (origins[i] != static_cast<int>(i) || std::strcmp(slot.name, loaded[i].name) != 0 ||
            slot.flags != loaded[i].flags) {
            return true;
        }
    }
    return false;
}

size_t MergedServerListSize(const char* stored) {
    // Each slot at most: a separator, 63 characters, ",0x" and eight digits.
    return (stored != nullptr ? std::strlen(stored) : 0) +
           kMaxTimeServers * (kServerNameSize + 16) + 2;
}

bool MergeServerList(const char* stored, const SettingsRecord& record,
                     const int origins[kMaxTimeServers], bool withFlags, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return false;
    }
    out[0] = '\0';
    ServerListEntry loaded[kMaxTimeServers];
    const char* tail = nullptr;
    const size_t loadedCount = LoadStoredEntries(stored, loaded, &tail);
    TextAppender text{out, size, 0, true};
    const size_t count = std::min<size_t>(record.serverCount, kMaxTimeServers);
    for (size_t i = 0; i < count; ++i) {
        const TimeServerEntry& slot = record.servers[i];
        const size_t nameLength = strnlen(slot.name, sizeof(slot.name) - 1);
        if (nameLength == 0) {
            continue;
        }
        const int origin = origins[i];
        const ServerListEntry* from =
            origin >= 0 && static_cast<size_t>(origin) < loadedCount ? &loaded[origin] : nullptr;
        text.Separate();
        if (from != nullptr && std::strcmp(slot.name, from->name) == 0) {
            text.Append(from->nameText, from->nameLength);
        } else {
            text.Append(slot.name, nameLength);
        }
        if (from != nullptr && slot.flags == from->flags) {
            if (from->flagsLength > 0) {
                text.Append(",", 1);
                text.Append(from->flagsText, from->flagsLength);
            }
        } else if (withFlags) {
            char flags[16];
            std::snprintf(flags, sizeof(flags), ",0x%x", slot.flags);
            text.Append(flags);
        }
    }
    // The entries the page does not show, exactly as they were written.
    const char* rest = tail + std::strspn(tail, ", ");
    size_t restLength = std::strlen(rest);
    while (restLength > 0 && (rest[restLength - 1] == ',' || rest[restLength - 1] == ' ')) {
        --restLength;
    }
    if (restLength > 0) {
        text.Separate();
        text.Append(rest, restLength);
    }
    if (!text.fits) {
        out[0] = '\0';
    }
    return text.fits;
}

void FormatServerList(const SettingsRecord& record, bool withFlags, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return;
    }
    std::memset(out, 0, size);
    size_t used = 0;
    const size_t count =
        record.serverCount < kMaxTimeServers ? record.serverCount : kMaxTimeServers;
    for (size_t i = 0; i < count; ++i) {
        const TimeServerEntry& server = record.servers[i];
        const size_t nameLength = strnlen(server.name, sizeof(server.name) - 1);
        if (nameLength == 0) {
            continue;
        }
        // Room for the separator, ",0x" and eight hex digits, and the terminator.
        if (nameLength + used + 8 >= size - 1 || used + nameLength + 12 >= size) {
            continue;
        }
        const int written =
            withFlags ? std::snprintf(out + used, size - used, "%s%.*s,0x%x", used ? " " : "",
                                      static_cast<int>(nameLength), server.name, server.flags)
                      : std::snprintf(out + used, size - used, "%s%.*s", used ? " " : "",
                                      static_cast<int>(nameLength), server.name);
        if (written < 0 || static_cast<size_t>(written) >= size - used) {
            out[used] = '\0';
            break;
        }
        used += static_cast<size_t>(written);
    }
}
