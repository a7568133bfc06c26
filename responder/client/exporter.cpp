#include "responder/client/exporter.h"

#include <cstdlib>

namespace {

bool ParsePort(const std::string& text, uint16_t* port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

bool HostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

} // namespace

bool ParseProbeTarget(const std::string& text, uint16_t defaultPort, std::string* host,
                      uint16_t* port, std::string* problem) {
    std::string name = text;
    *port = defaultPort;
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
        name = text.substr(0, colon);
        uint16_t given = 0;
        if (!ParsePort(text.substr(colon + 1), &given) || given == 0) {
            *problem = "the target's port is not a number from 1 to 65535";
            return false;
        }
        *port = given;
    }
    if (name.empty()) {
        *problem = "the target names no host";
        return false;
    }
    if (name.size() > 253) {
        *problem = "the target's host name is longer than 253 characters";
        return false;
    }
    for (char c : name) {
        if (!HostCharacter(c)) {
            *problem = "the target's host holds a character no host name or IPv4 address has";
            return false;
        }
    }
    *host = name;
    return true;
}

int ProbeBudgetMs(const char* header, int maxMs) {
    if (header == nullptr || *header == '\0') {
        return maxMs;
    }
    char* end = nullptr;
    const double seconds = std::strtod(header, &end);
    if (end == header || *end != '\0' || !(seconds > 0) || seconds > 86400) {
        return maxMs;
    }
    int budget = static_cast<int>((seconds - 0.5) * 1000);
    if (budget < 100) {
        budget = 100;
    }
    return budget < maxMs ? budget : maxMs;
}

bool ParseListenAddress(const std::string& text, ExporterSettings* settings) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string host = text.substr(0, colon);
    uint16_t port = 0;
    if (!ParsePort(text.substr(colon + 1), &port)) {
        return false;
    }
    for (char c : host) {
        if (!HostCharacter(c)) {
            return false;
        }
    }
    settings->listenHost = host.empty() ? "0.0.0.0" : host;
    settings->listenPort = port;
    return true;
}
