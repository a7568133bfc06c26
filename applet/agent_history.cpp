#include "applet/agent_history.h"

#include <cstdio>
#include <cstring>

const char kAgentFamilyNote[] =
    "NOTE: Monitoring is handled by Quorvex II when Quorvex II is installed. See the Quorvex II "
    "Control Panel applet for sync status.";
const char kAgentOverrideNote[] =
    "You may override this behavior by specifying a particular time server to be used as the "
    "reference time source.";

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

uint32_t LoadLe32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

} // namespace

bool ReadRingSlot(const uint8_t ring[kRingBytes], size_t slot, RingSlot* out) {
    if (slot >= kRingSlots) {
        return false;
    }
    RingSlot value{};
    std::memcpy(&value.address, ring + slot * 8, 4); // kept in the order the service gave it
    value.time = LoadLe32(ring + slot * 8 + 4);
    if (value.address == 0 || value.time == 0) {
        return false;
    }
    *out = value;
    return true;
}

void FormatHistoryLine(const CalendarTime& local, uint32_t address, const char* hostName, char* out,
                       size_t size) {
    char dotted[kAddressTextSize];
    FormatAddress(address, dotted);
    const char* month = local.month >= 1 && local.month <= 12 ? kMonths[local.month - 1] : "???";
    std::snprintf(out, size, "%02d %s %04lld %02d:%02d:%02d\t%s\t%s", local.day, month,
                  static_cast<long long>(local.year), local.hour, local.minute, local.second,
                  dotted, hostName != nullptr ? hostName : "");
}

uint32_t IntervalMinutes(uint32_t seconds) {
    return seconds / 60;
}

uint32_t IntervalSeconds(uint32_t minutes) {
    constexpr uint32_t kLargest = 0xFFFFFFFFu / 60;
    return (minutes > kLargest ? kLargest : minutes) * 60;
}

AgentEnableRules AgentControlsEnabled(bool agentTicked, bool alertTicked, size_t listLines) {
    return AgentEnableRules{agentTicked, agentTicked && alertTicked, listLines > 0};
}
