#include "common/error_text.h"

#include <cstdio>

namespace {

struct SocketErrorTexts {
    int32_t code;
    const char* longText;
    const char* shortText; // null: "Error %d"
};

constexpr SocketErrorTexts kSocketErrors[] = {
    {0, "operation successful", nullptr},
    {1901, "clock not set on server", nullptr}, // ERROR_INVALID_TIME from a source
    {10004, "operation canceled", "Op cancelled"},
    {10013, "permission denied", "Denied"},
    {10014, "invalid pointer or buffer too small", "Buffer err"},
    // Binding a socket a second time is where the program meets WSAEINVAL.
    {10022, "the port is already in use", "Port in use"},
    {10024, "Too many open sockets", "No sockets"},
    {10035, "operation would block", "Op would block"},
    {10036, "blocking operation in progress", "Blking err"},
    {10037, "operation already in progress", "Op in progress"},
    {10038, "invalid socket descriptor", "Invld sckt"},
    {10040, "UDP packet too large", "Pkt too big"},
    {10042, "unsupported protocol", "Unsupp proto"},
    {10048, "address already in use", "Addr in use"},
    {10049, "address not available", "Addr unavail"},
    {10050, "network is down", "Net down"},
    {10051, "target network unreachable", "Unreachable"},
    {10052, "keep-alive failed", "KpAlive reset"},
    {10053, "connection aborted", "Aborted"},
    {10054, "connection reset by peer", "Conn reset"},
    {10055, "no system buffer space available", "Insuff buff"},
    {10056, "socket already connected", "Alrdy conn"},
    {10057, "not connected", "Not conn"},
    {10058, "socket has been shut down", "Sock shutdown"},
    {10060, "timed out", "Timed out"},
    {10061, "connection refused by peer", "Refused"},
    {10064, "destination host down", "Dest down"},
    {10065, "no route to host", "No route"},
    {10091, "network subsystem not available", "Winsock down"},
    {10093, "winsock subsystem not initialized", "Winsock down"},
    {10101, "shutdown in progress", "Shutting down"},
    {11001, "target host not found", "Not found"},
    {11002, "non-authoritative host not found", "Need retry"},
    {11003, "unrecoverable lookup error", "Lookup failed"},
    {11004, "valid name but no data record of requested type", "Invalid name"},
    {kErrorBadResponse, "incorrect protocol response", "Protocol error"},
    {kErrorInvalidData, "invalid data or unknown request", "Invalid data"},
};

const SocketErrorTexts* FindSocketError(int32_t code) {
    for (const SocketErrorTexts& entry : kSocketErrors) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

const char* SocketErrorText(int32_t code) {
    static char text[128];
    const SocketErrorTexts* entry = FindSocketError(code);
    std::snprintf(text, sizeof(text), "Error %d: %s", static_cast<int>(code),
                  entry != nullptr ? entry->longText : "undetermined internal error");
    return text;
}

const char* ShortSocketErrorText(int32_t code) {
    static char text[32];
    const SocketErrorTexts* entry = FindSocketError(code);
    if (entry != nullptr && entry->shortText != nullptr) {
        return entry->shortText;
    }
    std::snprintf(text, sizeof(text), "Error %d", static_cast<int>(code));
    return text;
}

char* CleanSystemMessage(char* text) {
    if (text == nullptr) {
        return text;
    }
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        const char c = (*in == '\r' || *in == '\n') ? ' ' : *in;
        if (c == ' ' && out > text && out[-1] == ' ') {
            continue;
        }
        *out++ = c;
    }
    *out = '\0';
    return text;
}

char* FormatUndescribedError(uint32_t code, char* buffer, size_t size) {
    if (buffer != nullptr && size > 0) {
        std::snprintf(buffer, size, "Error %d (no description available)",
                      static_cast<int>(static_cast<int32_t>(code)));
    }
    return buffer;
}
