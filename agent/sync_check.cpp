#include "agent/sync_check.h"

#include <cstdio>
#include <cstring>

namespace {

void AddSource(CheckSourceList* out, const char* name) {
    if (out->count < kMaxCheckSources) {
        std::snprintf(out->names[out->count++], sizeof(out->names[0]), "%s", name);
    }
}

// Strict dotted quad: four decimal parts of 0-255, nothing else.
bool ParseDottedQuad(const char* text, uint32_t* address) {
    uint8_t bytes[4];
    const char* cursor = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*cursor != '.') {
                return false;
            }
            ++cursor;
        }
        unsigned value = 0;
        int digits = 0;
        while (*cursor >= '0' && *cursor <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(*cursor - '0');
            ++cursor;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        bytes[part] = static_cast<uint8_t>(value);
    }
    if (*cursor != '\0') {
        return false;
    }
    std::memcpy(address, bytes, sizeof(bytes));
    return true;
}

} // namespace

void PlanCheckSources(const char* referenceClock, const uint8_t ring[kSourceRingSize],
                      const SettingsRecord& settings, CheckSourceList* out) {
    out->count = 0;
    if (referenceClock != nullptr && referenceClock[0] != '\0') {
        AddSource(out, referenceClock);
    }
    uint32_t asked[kSourceRingEntries];
    size_t askedCount = 0;
    for (size_t entry = kSourceRingEntries; entry-- > 0;) {
        uint32_t refId;
        uint32_t time;
        std::memcpy(&refId, ring + entry * 8, 4);
        std::memcpy(&time, ring + entry * 8 + 4, 4);
        if (refId == 0 || time == 0) {
            continue;
        }
        bool seen = false;
        for (size_t i = 0; i < askedCount && !seen; ++i) {
            seen = asked[i] == refId;
        }
        if (seen) {
            continue;
        }
        asked[askedCount++] = refId;
        uint8_t bytes[4];
        std::memcpy(bytes, &refId, sizeof(bytes));
        char dotted[16];
        std::snprintf(dotted, sizeof(dotted), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2],
                      bytes[3]);
        AddSource(out, dotted);
    }
    const size_t servers =
        settings.serverCount < kMaxTimeServers ? settings.serverCount : kMaxTimeServers;
    for (size_t i = 0; i < servers; ++i) {
        if (settings.servers[i].name[0] != '\0') {
            AddSource(out, settings.servers[i].name);
        }
    }
}

int64_t OffsetToMilliseconds(int64_t offset) {
    return offset / 10000;
}

bool ExceedsAlertThreshold(int64_t varianceMs, uint32_t alertIfUnsynchronized,
                           uint32_t thresholdSeconds) {
    if (alertIfUnsynchronized == 0 || thresholdSeconds == 0) {
        return false;
    }
    const int64_t limit = static_cast<int64_t>(thresholdSeconds) * 1000;
    return varianceMs > limit || varianceMs < -limit;
}

uint32_t AlertThresholdMs(const SettingsRecord& settings) {
    if (settings.alertIfUnsynchronized == 0 || settings.alertThreshold == 0) {
        return 0;
    }
    // Thresholds beyond 49 days read as the largest that fits.
    return settings.alertThreshold > 0xFFFFFFFFu / 1000 ? 0xFFFFFFFFu
                                                        : settings.alertThreshold * 1000;
}

const char* UnverifiedReason(bool anySourceTried) {
    return anySourceTried ? "all specified or auto-discovered time sources failed"
                          : "no time sources specified in the Windows Time Control Panel applet, "
                            "and none discovered by the Windows Time Service";
}

uint32_t SampleReferenceId(const char* source) {
    uint32_t address;
    return source != nullptr && ParseDottedQuad(source, &address) ? address : 0xFFFFFFFFu;
}

uint64_t SampleDelay(uint32_t delayMs) {
    return static_cast<uint32_t>(delayMs * 10000u);
}
