// Asking many agents at once: each target gets the requests a reading needs (status block,
// status record, then its newest verification from the history), a bounded number of targets
// in flight, lost datagrams sent again with a new sequence number, and every target's exchange
// bounded in time. One socket serves all targets; answers are told apart by their sender and
// their size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "responder/client/exposition.h"
#include "responder/client/udp_socket.h"

struct ProbeTarget {
    std::string name; // as given, "HOST[:PORT]"
    Endpoint endpoint;
};

struct ProbeOptions {
    bool block = true;    // ask for the running status block (128)
    bool status = true;   // ask for the status record (200)
    bool history = true;  // look for the newest verification (160)
    int timeoutMs = 2000; // a target's whole exchange
    int resendMs = 500;   // unanswered requests go again after this long
    size_t inFlight = 256;
    // When the history request goes unanswered this long after the status answers came (the
    // agent's filter prohibits it), the reading is complete without it: several round trips,
    // at least this.
    int historyGraceMs = 150;
    // Walk the history of the last trendWindowSeconds record by record (at most trendSteps) and
    // fit the drift trend, its crossing of thresholdMs included: the exporter and metrics files.
    bool trend = false;
    uint32_t trendWindowSeconds = 86400;
    uint32_t thresholdMs = 2000;
    int trendSteps = 1024;
};

// Reads every target; the readings come in the targets' order. The socket must be open.
std::vector<AgentReading> ProbeAgents(UdpSocket& socket, const std::vector<ProbeTarget>& targets,
                                      const ProbeOptions& options);

// Sends a ping (request 0) to each broadcast address and collects the agents that answer within
// waitMs: their addresses, each once, in the order they answered. The socket must allow
// broadcasts (EnableBroadcast).
std::vector<Endpoint> DiscoverAgents(UdpSocket& socket, const std::vector<Endpoint>& broadcasts,
                                     int waitMs);

// Reads "A.B.C.D/N" (N 16 to 32) into its host addresses in order, network and broadcast
// addresses left out below /31; "A.B.C.D" alone is one address. False for anything else.
bool ExpandRange(const std::string& text, std::vector<uint32_t>* addresses);
