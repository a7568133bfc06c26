#include "timesrc/ntp_source.h"

#include <cstring>

const char* ProtocolDisplayName(TimeProtocol protocol) {
    static const char* const kNames[] = {
        "Quorvex II UDP",        "NTP/SNTP (RFC 1769)",    "Quorvex I",
        "Lan Manager (NetBIOS)", "TIME/ITP (RFC 868) UDP", "TIME/ITP (RFC 868) TCP",
        "Quorvex over HTTP",     "Quorvex II TCP",         "Daytime (RFC 867) UDP",
        "Daytime (RFC 867) TCP", "Quorvex II Client",      "ICMP Timestamp",
    };
    if (protocol < sizeof(kNames) / sizeof(kNames[0])) {
        return kNames[protocol];
    }
    if (protocol == 254) {
        return "N/A";
    }
    if (protocol == 255) {
        return "selected protocol";
    }
    return "specified protocol";
}

SourceTextStatus ParseSourceText(const char* text, char* host, uint16_t* port) {
    host[0] = '\0';
    *port = 0;
    if (text == nullptr || text[0] == '\0') {
        return SourceTextStatus::kEmpty;
    }
    const char* colon = std::strchr(text, ':');
    const size_t hostLength =
        colon != nullptr ? static_cast<size_t>(colon - text) : std::strlen(text);
    if (hostLength == 0) {
        return SourceTextStatus::kEmpty;
    }
    if (hostLength >= kSourceHostSize) {
        return SourceTextStatus::kTooLong;
    }

    uint32_t number = 0;
    if (colon != nullptr) {
        const char* digits = colon + 1;
        if (*digits == '\0') {
            return SourceTextStatus::kBadPort;
        }
        for (const char* c = digits; *c != '\0'; ++c) {
            // Six digits already exceed any port: stop before the number can overflow.
            if (*c < '0' || *c > '9' || c - digits >= 5) {
                return SourceTextStatus::kBadPort;
            }
            number = number * 10 + static_cast<uint32_t>(*c - '0');
        }
        if (number == 0 || number > 65535) {
            return SourceTextStatus::kBadPort;
        }
    }
    std::memcpy(host, text, hostLength);
    host[hostLength] = '\0';
    *port = static_cast<uint16_t>(number);
    return SourceTextStatus::kOk;
}

bool ParseDottedAddress(const char* text, uint32_t* address) {
    if (text == nullptr) {
        return false;
    }
    uint8_t bytes[4];
    const char* c = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*c != '.') {
                return false;
            }
            ++c;
        }
        if (*c < '0' || *c > '9') {
            return false;
        }
        // A leading zero would read as octal to some parsers: such text is not an address here.
        if (*c == '0' && c[1] >= '0' && c[1] <= '9') {
            return false;
        }
        uint32_t value = 0;
        int digits = 0;
        while (*c >= '0' && *c <= '9') {
            if (++digits > 3) {
                return false;
            }
            value = value * 10 + static_cast<uint32_t>(*c - '0');
            ++c;
        }
        if (value > 255) {
            return false;
        }
        bytes[part] = static_cast<uint8_t>(value);
    }
    if (*c != '\0') {
        return false;
    }
    std::memcpy(address, bytes, sizeof(bytes));
    return true;
}
