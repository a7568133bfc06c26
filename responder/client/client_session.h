// Asking agents over the management port: one request to one or several hosts at once, each try
// with a new sequence number (an agent ignores an exact repeat), with a time-out and retries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "responder/client/udp_socket.h"

struct Answer {
    bool answered;
    std::string bytes;
    double roundTripMs;  // of the try that was answered
    double receivedWall; // seconds since 1970 on this machine's clock when it arrived
    int tries;           // requests sent
};

// Whether a datagram is the answer looked for (the right size, a record after the one asked
// for): anything else, such as a late answer to an earlier request, is ignored.
using AnswerCheck = std::function<bool(const uint8_t* bytes, size_t length)>;

// An answer of exactly length bytes.
AnswerCheck AnswerOfLength(size_t length);

class ManagementSession {
public:
    // timeoutMs per try; retries further tries after the first.
    ManagementSession(UdpSocket& socket, int timeoutMs, int retries);

    // Sends the request (code, data) to every target and collects their answers; targets still
    // silent after a try are asked again. An answer counts when it comes from the target's
    // address and port, or from anywhere when only one target is asked (an agent with several
    // addresses may answer from another one).
    std::vector<Answer> AskAll(const std::vector<Endpoint>& targets, uint32_t code,
                               const uint8_t* data, size_t dataLength, const AnswerCheck& check);
    Answer Ask(const Endpoint& target, uint32_t code, const uint8_t* data, size_t dataLength,
               const AnswerCheck& check);
    // Sends the request once and waits for nothing (requests that have no answer).
    bool Tell(const Endpoint& target, uint32_t code, const uint8_t* data, size_t dataLength);

    uint32_t NextSequence() { return fixedSequence_ ? sequence_ : ++sequence_; }
    // Every request, retries included, carries this sequence number (to show the repeat rule).
    void FixSequence(uint32_t sequence) {
        sequence_ = sequence;
        fixedSequence_ = true;
    }

private:
    UdpSocket& socket_;
    int timeoutMs_;
    int retries_;
    uint32_t sequence_;
    bool fixedSequence_ = false;
};

// A sequence number no earlier run is likely to have used.
uint32_t FreshSequenceBase();
