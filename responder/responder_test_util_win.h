// Helpers of the responder's tests under Wine: a management client on a loopback socket, peers
// that listen on the management port, and a view of the activity block.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_test_util_win.h"
#include "common/unique_handle_win.h"
#include "responder/byte_order.h"
#include "responder/management_protocol.h"

// The management port as the prefix's services file gives it (the bench's port), else 9909.
inline uint16_t ManagementPort() {
    const servent* entry = getservbyname(kManagementService, "udp");
    return entry != nullptr ? ntohs(entry->s_port) : kManagementPort;
}

inline uint32_t LoopbackAddress(const char* dotted) {
    return inet_addr(dotted);
}

// A UDP socket bound to address (network order) and port (host order); invalid on failure.
inline SOCKET BindUdp(uint32_t address, uint16_t port) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(port);
    if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Receives one datagram within waitMs; nullopt on time-out.
inline std::optional<std::string> ReceiveFrom(SOCKET s, DWORD waitMs, sockaddr_in* from = nullptr) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &limit) != 1) {
        return std::nullopt;
    }
    char buffer[65536];
    sockaddr_in sender{};
    int senderSize = sizeof(sender);
    const int got =
        recvfrom(s, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&sender), &senderSize);
    if (got < 0) {
        return std::nullopt;
    }
    if (from != nullptr) {
        *from = sender;
    }
    return std::string(buffer, static_cast<size_t>(got));
}

// Asks the agent's responder from a socket of its own, each request with a new sequence number.
// Waits for answers that should come are kPatienceMs; a check that nothing comes names its own
// short wait.
class QxClient {
public:
    explicit QxClient(const char* target = "127.0.0.1", const char* local = "127.0.0.1")
        : socket_(BindUdp(LoopbackAddress(local), 0)) {
        to_.sin_family = AF_INET;
        to_.sin_addr.s_addr = LoopbackAddress(target);
        to_.sin_port = htons(ManagementPort());
    }

    std::string Request(uint32_t code, uint32_t data = 0) {
        uint8_t word[4];
        StoreLe32(word, data);
        uint8_t datagram[kMaxRequestSize];
        const size_t length = EncodeManagementRequest(NextSequence(), code, word, 4, datagram);
        return std::string(reinterpret_cast<char*>(datagram), length);
    }
    std::optional<std::string> Ask(uint32_t code, uint32_t data = 0, DWORD waitMs = kPatienceMs) {
        return SendRaw(Request(code, data), waitMs);
    }
    std::optional<std::string> SendRaw(const std::string& datagram, DWORD waitMs = kPatienceMs) {
        Drain();
        SendRawNoWait(datagram);
        return Receive(waitMs);
    }
    void SendRawNoWait(const std::string& datagram) {
        sendto(socket_.get(), datagram.data(), static_cast<int>(datagram.size()), 0,
               reinterpret_cast<const sockaddr*>(&to_), sizeof(to_));
    }
    std::optional<std::string> Receive(DWORD waitMs) { return ReceiveFrom(socket_.get(), waitMs); }
    void Drain() {
        while (Receive(0).has_value()) {
        }
    }
    // Waits until the responder has handled everything sent before: sends a request whose
    // answer nothing else sent can have (by its length), and reads answers until it comes back.
    bool Sync(uint32_t code, uint32_t data, size_t answerLength, DWORD waitMs = kPatienceMs) {
        SendRawNoWait(Request(code, data));
        while (const auto answer = Receive(waitMs)) {
            if (answer->size() == answerLength) {
                return true;
            }
        }
        return false;
    }
    // Sends the request, then a ping: true when the first answer to come back is the ping's,
    // so the request was dropped (the responder handles datagrams in order).
    bool ExpectDropped(uint32_t code, uint32_t data = 0) {
        Drain();
        SendRawNoWait(Request(code, data));
        const auto first = Ask(0);
        return first.has_value() && *first == std::string("ACK", 4) && !Receive(100).has_value();
    }

private:
    static uint32_t NextSequence() {
        // Process-wide, so two clients never send the same bytes twice in a row.
        static std::atomic<uint32_t> sequence{GetTickCount() * 1000u};
        return ++sequence;
    }

    UniqueSocket socket_;
    sockaddr_in to_{};
};

// Peers on the management port of this machine's loopback addresses. Wine binds a UDP socket
// aimed at a loopback address to every address of the loopback interface, so one socket on any
// address stands for all of them and tells them apart by each datagram's destination. Each
// datagram is recorded, and answered when the answer function gives a non-empty answer. With
// closeAfter, the listener closes its socket as soon as it has that many datagrams, leaving the
// port at once to whoever binds it next.
struct ReceivedQuestion {
    std::string destination; // dotted
    std::string bytes;
};

class PortListener {
public:
    using Answer = std::function<std::string(const ReceivedQuestion& question, int index)>;

    explicit PortListener(Answer answer = nullptr, size_t closeAfter = 0)
        : socket_(BindUdp(INADDR_ANY, ManagementPort())), answer_(answer), closeAfter_(closeAfter) {
        DWORD on = 1;
        GUID id = WSAID_WSARECVMSG;
        DWORD size = 0;
        if (socket_ &&
            setsockopt(socket_.get(), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<char*>(&on),
                       sizeof(on)) == 0 &&
            WSAIoctl(socket_.get(), SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof(id), &receive_,
                     sizeof(receive_), &size, nullptr, nullptr) == 0) {
            thread_ = std::thread([this] { Run(); });
        }
    }
    ~PortListener() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool ok() const { return thread_.joinable(); }
    std::vector<ReceivedQuestion> Received() {
        std::lock_guard<std::mutex> hold(lock_);
        return received_;
    }
    // The datagrams that went to one address.
    std::vector<std::string> ReceivedAt(const char* destination) {
        std::vector<std::string> bytes;
        for (const auto& question : Received()) {
            if (question.destination == destination) {
                bytes.push_back(question.bytes);
            }
        }
        return bytes;
    }

private:
    void Run() {
        while (!stop_) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket_.get(), &readable);
            timeval limit{0, 50000};
            if (select(0, &readable, nullptr, nullptr, &limit) != 1) {
                continue;
            }
            char buffer[2048];
            char control[256];
            sockaddr_in from{};
            WSABUF data{sizeof(buffer), buffer};
            WSAMSG message{};
            message.name = reinterpret_cast<sockaddr*>(&from);
            message.namelen = sizeof(from);
            message.lpBuffers = &data;
            message.dwBufferCount = 1;
            message.Control = WSABUF{sizeof(control), control};
            DWORD got = 0;
            if (receive_(socket_.get(), &message, &got, nullptr, nullptr) != 0) {
                continue;
            }
            ReceivedQuestion question;
            question.bytes.assign(buffer, got);
            for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
                 header = WSA_CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                    const auto* info = reinterpret_cast<const IN_PKTINFO*>(WSA_CMSG_DATA(header));
                    question.destination = inet_ntoa(info->ipi_addr);
                }
            }
            int index;
            {
                std::lock_guard<std::mutex> hold(lock_);
                received_.push_back(question);
                index = static_cast<int>(received_.size()) - 1;
            }
            if (answer_) {
                const std::string reply = answer_(question, index);
                if (!reply.empty()) {
                    sendto(socket_.get(), reply.data(), static_cast<int>(reply.size()), 0,
                           reinterpret_cast<const sockaddr*>(&from), sizeof(from));
                }
            }
            if (closeAfter_ != 0 && static_cast<size_t>(index) + 1 >= closeAfter_) {
                socket_.reset();
                return;
            }
        }
    }

    UniqueSocket socket_;
    Answer answer_;
    size_t closeAfter_;
    LPFN_WSARECVMSG receive_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<ReceivedQuestion> received_;
};

// The activity block as a family display sees it.
class ActivityView {
public:
    bool Open() {
        mapping_.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "Global\\quorvex-activity"));
        if (!mapping_) {
            mapping_.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, "quorvex-activity"));
        }
        if (!mapping_) {
            return false;
        }
        view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 256));
        return static_cast<bool>(view_);
    }
    void Clear() { std::memset(view_.get(), 0, 256); }
    // The slots holding the mark, in order.
    std::vector<int> Marked() const {
        std::vector<int> slots;
        const auto* bytes = static_cast<const uint8_t*>(view_.get());
        for (int slot = 0; slot < 64; ++slot) {
            if (LoadLe32(bytes + 4 * slot) != 0) {
                slots.push_back(slot);
            }
        }
        return slots;
    }
    // The marked slots once they equal expected, or as they stand after kPatienceMs: the agent
    // marks a reply as sent after sendto returns, so the client may read the reply first.
    std::vector<int> MarkedOnceSettled(const std::vector<int>& expected) const {
        std::vector<int> slots;
        WaitFor(
            [&] {
                slots = Marked();
                return slots == expected;
            },
            kPatienceMs);
        return slots;
    }

private:
    UniqueMapping mapping_;
    UniqueView view_;
};
