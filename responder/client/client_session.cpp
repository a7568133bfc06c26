#include "responder/client/client_session.h"

#include <chrono>

#include "responder/management_protocol.h"

AnswerCheck AnswerOfLength(size_t length) {
    return [length](const uint8_t*, size_t got) { return got == length; };
}

uint32_t FreshSequenceBase() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const uint64_t micros =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
    return static_cast<uint32_t>(micros ^ (micros >> 32)) * 2654435761u;
}

ManagementSession::ManagementSession(UdpSocket& socket, int timeoutMs, int retries)
    : socket_(socket), timeoutMs_(timeoutMs), retries_(retries), sequence_(FreshSequenceBase()) {}

std::vector<Answer> ManagementSession::AskAll(const std::vector<Endpoint>& targets, uint32_t code,
                                              const uint8_t* data, size_t dataLength,
                                              const AnswerCheck& check) {
    std::vector<Answer> answers(targets.size(), Answer{false, std::string(), 0.0, 0.0, 0});
    std::vector<double> sentAt(targets.size(), 0.0);
    uint8_t buffer[2048];
    // Answers to an earlier request would be taken for this one's.
    while (socket_.Receive(buffer, sizeof(buffer), 0, nullptr) >= 0) {
    }
    for (int attempt = 0; attempt <= retries_; ++attempt) {
        size_t waiting = 0;
        for (size_t i = 0; i < targets.size(); ++i) {
            if (answers[i].answered) {
                continue;
            }
            uint8_t datagram[kMaxRequestSize];
            const size_t length =
                EncodeManagementRequest(NextSequence(), code, data, dataLength, datagram);
            sentAt[i] = MonotonicMilliseconds();
            ++answers[i].tries;
            if (socket_.Send(targets[i], datagram, length)) {
                ++waiting;
            }
        }
        if (waiting == 0) {
            break;
        }
        const double deadline = MonotonicMilliseconds() + timeoutMs_;
        while (waiting > 0) {
            const double left = deadline - MonotonicMilliseconds();
            if (left <= 0) {
                break;
            }
            Endpoint from{};
            const int got =
                socket_.Receive(buffer, sizeof(buffer), static_cast<int>(left) + 1, &from);
            if (got < 0) {
                continue;
            }
            const double now = MonotonicMilliseconds();
            for (size_t i = 0; i < targets.size(); ++i) {
                const bool fromTarget = targets.size() == 1 || from == targets[i];
                if (answers[i].answered || !fromTarget ||
                    !check(buffer, static_cast<size_t>(got))) {
                    continue;
                }
                answers[i].answered = true;
                answers[i].bytes.assign(reinterpret_cast<const char*>(buffer),
                                        static_cast<size_t>(got));
                answers[i].roundTripMs = now - sentAt[i];
                answers[i].receivedWall = WallSeconds();
                --waiting;
                break;
            }
        }
    }
    return answers;
}

Answer ManagementSession::Ask(const Endpoint& target, uint32_t code, const uint8_t* data,
                              size_t dataLength, const AnswerCheck& check) {
    return AskAll(std::vector<Endpoint>{target}, code, data, dataLength, check)[0];
}

bool ManagementSession::Tell(const Endpoint& target, uint32_t code, const uint8_t* data,
                             size_t dataLength) {
    uint8_t datagram[kMaxRequestSize];
    const size_t length = EncodeManagementRequest(NextSequence(), code, data, dataLength, datagram);
    return socket_.Send(target, datagram, length);
}
