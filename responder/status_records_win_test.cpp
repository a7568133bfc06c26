// The installation identifier and its uniqueness question against peers on loopback addresses
// of the bench (the question goes to the prefix's "quorvexnet" port).
#include "responder/status_records_win.h"

#include <gtest/gtest.h>

#include <string>

#include "agent/agent_interfaces_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "config/registry.h"
#include "responder/byte_order.h"
#include "responder/responder_test_util_win.h"

namespace {

class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};
const auto* const g_winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

// Two loopback addresses stand for the hosts of the local network.
const char kTwoPeers[] = "127.0.0.2\0"
                         "127.0.0.3\0";

// A question as it must look: sequence number, code 201, the candidate.
void ExpectQuestion(const std::string& datagram, uint32_t* candidate, uint32_t* sequence) {
    ASSERT_EQ(datagram.size(), 12u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(datagram.data());
    EXPECT_EQ(LoadLe32(bytes + 4), 201u);
    *sequence = LoadLe32(bytes);
    *candidate = LoadLe32(bytes + 8);
}

// A status record claiming the identifier.
std::string ClaimOf(uint32_t id, size_t size = kStatusRecordSize) {
    std::string record(size, '\0');
    StoreLe32(reinterpret_cast<uint8_t*>(&record[0]), id);
    return record;
}

uint32_t StoredId() {
    return ReadNumber(kInstallationIdKey, kInstallationIdValue, 0);
}

// Until the peers have recorded at least `count` datagrams.
bool PeersHeard(PortListener& peers, size_t count) {
    return WaitFor([&] { return peers.Received().size() >= count; }, kPatienceMs);
}

class InstallationId : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteValue(kInstallationIdKey, kInstallationIdValue);
        WriteValue("", "Broadcast Addresses", kRegMultiString, kTwoPeers, sizeof(kTwoPeers));
    }
    // Put back as they were after each test.
    SavedRegistryKeys saved_{kProductParametersKey, kInstallationIdRegistryKey};
};

} // namespace

uint32_t CandidateIn(const ReceivedQuestion& question) {
    return question.bytes.size() >= 12
               ? LoadLe32(reinterpret_cast<const uint8_t*>(question.bytes.data()) + 8)
               : 0;
}

TEST_F(InstallationId, a_fresh_machine_asks_once_per_address_and_keeps_a_number_value) {
    PortListener peers;
    ASSERT_TRUE(peers.ok());
    const DWORD id = GetInstallationId();
    EXPECT_NE(id, 0u);
    EXPECT_EQ(StoredId(), id);
    HKEY key;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\Mirel\\QX2\\Info", 0, KEY_READ, &key),
        0);
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Serial Number", nullptr, &type, nullptr, nullptr), 0);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_TRUE(PeersHeard(peers, 2));
    const auto questions = peers.Received();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].destination, "127.0.0.2");
    EXPECT_EQ(questions[1].destination, "127.0.0.3");
    EXPECT_EQ(questions[0].bytes, questions[1].bytes);
    uint32_t candidate = 0, sequence = 0;
    ExpectQuestion(questions[0].bytes, &candidate, &sequence);
    EXPECT_EQ(candidate, id);

    // The next start reads it and asks nobody.
    EXPECT_EQ(GetInstallationId(), id);
    EXPECT_TRUE(StaysTrueFor([&] { return peers.Received().size() == 2; }, 200));
}

TEST_F(InstallationId, a_peer_that_has_the_candidate_forces_a_new_one) {
    // The installation at 127.0.0.2 has the first candidate; 127.0.0.3 never answers.
    PortListener peers([](const ReceivedQuestion& question, int index) {
        return index == 0 && question.destination == "127.0.0.2" ? ClaimOf(CandidateIn(question))
                                                                 : std::string();
    });
    ASSERT_TRUE(peers.ok());
    const DWORD id = GetInstallationId();
    EXPECT_TRUE(PeersHeard(peers, 4));
    const auto owner = peers.ReceivedAt("127.0.0.2");
    ASSERT_EQ(owner.size(), 2u);
    EXPECT_EQ(peers.ReceivedAt("127.0.0.3"), owner);
    uint32_t first = 0, second = 0, firstSequence = 0, secondSequence = 0;
    ExpectQuestion(owner[0], &first, &firstSequence);
    ExpectQuestion(owner[1], &second, &secondSequence);
    EXPECT_NE(first, second);
    EXPECT_EQ(secondSequence, firstSequence + 1);
    EXPECT_EQ(id, second);
    EXPECT_EQ(StoredId(), second);
}

TEST_F(InstallationId, answers_with_another_identifier_or_of_another_size_claim_nothing) {
    PortListener peers([](const ReceivedQuestion& question, int) {
        return question.destination == "127.0.0.2"
                   ? ClaimOf(CandidateIn(question) + 1)
                   : ClaimOf(CandidateIn(question), kStatusRecordSize - 1);
    });
    ASSERT_TRUE(peers.ok());
    const DWORD id = GetInstallationId();
    EXPECT_TRUE(PeersHeard(peers, 2));
    const auto questions = peers.Received();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(id, CandidateIn(questions[0]));
}

TEST_F(InstallationId, a_peer_claiming_every_candidate_cannot_keep_the_agent_from_starting) {
    WriteValue("", "Broadcast Addresses", kRegMultiString, "127.0.0.2\0", 11);
    PortListener liar(
        [](const ReceivedQuestion& question, int) { return ClaimOf(CandidateIn(question)); });
    ASSERT_TRUE(liar.ok());
    const DWORD id = GetInstallationId();
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(PeersHeard(liar, kMaxContestedRounds));
    EXPECT_EQ(liar.Received().size(), static_cast<size_t>(kMaxContestedRounds));
}

TEST(SendBroadcast, goes_to_the_service_port_of_each_listed_address_and_returns_the_socket) {
    SavedRegistryKeys saved{kProductParametersKey};
    WriteValue("", "Broadcast Addresses", kRegMultiString, kTwoPeers, sizeof(kTwoPeers));
    PortListener peers([](const ReceivedQuestion& question, int) {
        return question.destination == "127.0.0.2" ? std::string("ok") : std::string();
    });
    ASSERT_TRUE(peers.ok());
    const uint8_t datagram[] = {1, 2, 3};
    UniqueSocket socket(SendBroadcast("quorvexnet", 1, datagram, sizeof(datagram), kPatienceMs));
    ASSERT_TRUE(socket);
    EXPECT_EQ(ReceiveFrom(socket.get(), kPatienceMs).value_or(""), "ok");
    // The peer may have answered the first datagram before it read the second.
    EXPECT_TRUE(PeersHeard(peers, 2));
    EXPECT_EQ(peers.ReceivedAt("127.0.0.2"), std::vector<std::string>{"\x01\x02\x03"});
    EXPECT_EQ(peers.ReceivedAt("127.0.0.3"), std::vector<std::string>{"\x01\x02\x03"});

    // A service nobody knows goes to the default port.
    UniqueSocket fallback(SendBroadcast("no-such-service", ManagementPort(), datagram, 2, 0));
    ASSERT_TRUE(fallback);
    EXPECT_TRUE(PeersHeard(peers, 4));
    EXPECT_EQ(peers.ReceivedAt("127.0.0.3"),
              (std::vector<std::string>{"\x01\x02\x03", "\x01\x02"}));
}
