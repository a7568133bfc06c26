#include "config/settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "common/text_trim.h"

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

void CopyText(char* field, size_t size, const char* text) {
    std::snprintf(field, size, "%s", text);
}

void EmptyServers(SettingsRecord* record) {
    for (TimeServerEntry& server : record->servers) {
        std::memset(server.name, 0, sizeof(server.name));
        server.flags = kDefaultServerFlags;
    }
    record->serverCount = 0;
}

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
    while (record->serverCount < kMaxTimeServers) {
        cursor += std::strspn(cursor, ", ");
        const size_t length = std::strcspn(cursor, ", ");
        if (length == 0) {
            break;
        }
        // Room for a name with blanks around it; the rest of a longer piece cannot be kept.
        char piece[kServerNameSize * 2];
        std::snprintf(piece, sizeof(piece), "%.*s",
                      static_cast<int>(length < sizeof(piece) - 1 ? length : sizeof(piece) - 1),
                      cursor);
        cursor += length;
        TrimWhitespace(piece);
        if (piece[0] == '\0') {
            break;
        }
        // A slot keeps 63 characters. Blanks can follow at the cut, and are trimmed too, before
        // the piece is judged, so that what is kept reads back the same once the list is saved.
        piece[kServerNameSize - 1] = '\0';
        TrimWhitespace(piece);
        uint32_t flags = 0;
        if (record->serverCount > 0 && ParseFlagsPiece(piece, &flags)) {
            record->servers[record->serverCount - 1].flags = flags;
            continue;
        }
        TimeServerEntry& server = record->servers[record->serverCount++];
        CopyText(server.name, sizeof(server.name), piece);
        server.flags = kDefaultServerFlags;
    }
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
