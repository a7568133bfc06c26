// The shared blocks against the prefix's real kernel objects: what lands in the views, the
// fallback to session names, and the agent standing aside for a family holder (family-holder.exe
// in another process, or the test itself writing the block) and taking the role back.
#include "agent/shared_blocks_win.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/agent_state_win.h"
#include "agent/agent_test_util_win.h"
#include "bench/fake_service/fake_service_win.h"
#include "bench/remote_registry/bench_remote_registry_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/system_identity_win.h"
#include "responder/status_records_win.h"

namespace {

const char kGlobalSyncMapping[] = "Global\\quorvex-sync-status-shared-memory";
const char kGlobalSyncEvent[] = "Global\\quorvex-sync-status-notify-event";
const char kGlobalActivity[] = "Global\\quorvex-activity";

// A second view of a named block, as another process of the family would have it.
struct OtherView {
    UniqueMapping mapping;
    UniqueView view;

    // Creates or joins the mapping of that name (size bytes) and maps it writable.
    bool Create(const char* name, DWORD size) {
        mapping.reset(
            CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name));
        return Map(size);
    }
    // Joins an existing mapping only.
    bool Open(const char* name, DWORD size) {
        mapping.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name));
        return Map(size);
    }
    bool Map(DWORD size) {
        if (!mapping) {
            return false;
        }
        view.reset(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, size));
        return static_cast<bool>(view);
    }
    uint8_t* bytes() const { return static_cast<uint8_t*>(view.get()); }
    volatile LONG* words() const { return static_cast<volatile LONG*>(view.get()); }
};

bool ExistsAsMapping(const char* name) {
    UniqueMapping mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, name));
    return static_cast<bool>(mapping);
}

bool ExistsAsEvent(const char* name) {
    UniqueKernelHandle event(OpenEventA(SYNCHRONIZE, FALSE, name));
    return static_cast<bool>(event);
}

// Waits on an event in a thread of its own, so a pulse can be caught while the test acts. A
// pulse reaches only a thread that already waits: the thread signals "armed" and begins its wait
// in one call, which the wineserver carries out as one step (the wait is in place before the
// signal), so once Start returns the thread is waiting.
struct PulseCatcher {
    HANDLE event = nullptr;
    UniqueKernelHandle armed{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    UniqueKernelHandle thread;
    DWORD result = WAIT_FAILED;

    static DWORD WINAPI Body(LPVOID self) {
        auto* catcher = static_cast<PulseCatcher*>(self);
        catcher->result =
            SignalObjectAndWait(catcher->armed.get(), catcher->event, kPatienceMs, FALSE);
        return 0;
    }
    void Start(HANDLE watched) {
        event = watched;
        thread.reset(CreateThread(nullptr, 0, Body, this, 0, nullptr));
        ASSERT_TRUE(thread);
        ASSERT_EQ(WaitForSingleObject(armed.get(), kPatienceMs), WAIT_OBJECT_0);
    }
    bool Caught() {
        WaitForSingleObject(thread.get(), 2 * kPatienceMs);
        return result == WAIT_OBJECT_0;
    }
};

void ExpectBlockBytes(const uint8_t* actual, const SyncStatusBlock& block) {
    uint8_t expected[kSyncStatusBlockSize];
    EncodeSyncStatusBlock(block, expected);
    for (size_t i = 0; i < kSyncStatusBlockSize; ++i) {
        EXPECT_EQ(actual[i], expected[i]) << "byte " << i;
    }
}

// family-holder.exe of the win64 build, as a Windows path; empty when it is not built.
std::string HolderPath() {
    std::string unixPath;
#ifdef FAMILY_HOLDER_EXE
    unixPath = FAMILY_HOLDER_EXE;
#else
    // A 32-bit test uses the holder of the session's win64 build.
    if (const char* build = std::getenv("HOROLOGIX_BUILD_DIR")) {
        unixPath = std::string(build) + "/win64/bench/family-holder.exe";
    }
#endif
    if (unixPath.empty()) {
        return "";
    }
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? "" : path;
}

// Starts family-holder.exe with the arguments; the process handle, or none.
UniqueKernelHandle RunHolder(const std::string& arguments) {
    const std::string path = HolderPath();
    if (path.empty()) {
        ADD_FAILURE() << "family-holder.exe is not built (build the win64 preset)";
        return UniqueKernelHandle();
    }
    std::string command = "\"" + path + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
        return UniqueKernelHandle();
    }
    CloseHandle(process.hThread);
    return UniqueKernelHandle(process.hProcess);
}

// Runs family-holder.exe to its end; its exit code, or 99.
DWORD RunHolderToEnd(const std::string& arguments) {
    UniqueKernelHandle process = RunHolder(arguments);
    if (!process || WaitForSingleObject(process.get(), kPatienceMs) != WAIT_OBJECT_0) {
        return 99;
    }
    DWORD code = 99;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

bool HolderAnnounced() {
    OtherView block;
    return block.Open(kGlobalSyncMapping, kSyncStatusBlockSize) &&
           block.words()[kSyncOwnerPresentWord] != 0;
}

class SharedBlocks : public ::testing::Test {
protected:
    void SetUp() override { IdentifyLocalSystem(); }
    void TearDown() override {
        CloseActivityIndicator();
        QuorvexSyncStatusShutdown(false);
        RefuseGlobalNamesForTesting(false);
    }
};

} // namespace

TEST_F(SharedBlocks, the_activity_block_is_zeroed_at_open_and_takes_slot_writes) {
    OtherView display;
    ASSERT_TRUE(display.Create(kGlobalActivity, kActivityBlockSize));
    std::memset(display.bytes(), 0xAA, kActivityBlockSize);

    SetActivityIndicator(kActivityNtpRequest); // not open yet: nothing
    EXPECT_EQ(display.words()[kActivityNtpRequest], static_cast<LONG>(0xAAAAAAAA));

    OpenActivityIndicator();
    for (size_t i = 0; i < kActivityBlockSize; ++i) {
        ASSERT_EQ(display.bytes()[i], 0) << "byte " << i;
    }
    SetActivityIndicator(kActivityNtpRequest);
    SetActivityIndicator(63);
    SetActivityIndicator(64);
    SetActivityIndicator(0xFFFFFFFFu);
    OpenActivityIndicator(); // already open: the slots are kept
    const uint8_t mark[4] = {5, 0, 0, 0};
    const uint8_t zero[4] = {};
    for (size_t slot = 0; slot < kActivitySlotCount; ++slot) {
        const bool written = slot == kActivityNtpRequest || slot == 63;
        EXPECT_EQ(std::memcmp(display.bytes() + 4 * slot, written ? mark : zero, 4), 0)
            << "slot " << slot;
    }

    CloseActivityIndicator();
    SetActivityIndicator(kActivityNtpReply);
    EXPECT_EQ(display.words()[kActivityNtpReply], 0);
}

TEST_F(SharedBlocks, a_holder_announces_and_releases_with_the_exact_words_and_pulses) {
    OtherView watcher;
    ASSERT_TRUE(watcher.Create(kGlobalSyncMapping, kSyncStatusBlockSize));
    UniqueKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, kGlobalSyncEvent));
    ASSERT_TRUE(event);

    PulseCatcher announced;
    announced.Start(event.get());
    HANDLE notify = nullptr;
    ASSERT_TRUE(OpenSyncStatusBlock(3, &notify));
    EXPECT_NE(notify, nullptr);
    EXPECT_TRUE(announced.Caught());
    ExpectBlockBytes(watcher.bytes(), AnnouncedSyncStatus(3));
    EXPECT_TRUE(SyncStatusOwnerPresent());
    // A pulse leaves a manual-reset event unsignalled.
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    PulseCatcher released;
    released.Start(event.get());
    QuorvexSyncStatusShutdown(true);
    EXPECT_TRUE(released.Caught());
    ExpectBlockBytes(watcher.bytes(), ReleasedSyncStatus(AnnouncedSyncStatus(3)));
    EXPECT_FALSE(SyncStatusMapped());
    EXPECT_EQ(SyncStatusNotifyEvent(), nullptr);
    QuorvexSyncStatusShutdown(true); // closed already: nothing
}

TEST_F(SharedBlocks, a_watcher_follows_a_holder_in_another_process_and_never_writes) {
    HANDLE notify = nullptr;
    ASSERT_TRUE(OpenSyncStatusBlock(0, &notify));
    ASSERT_NE(notify, nullptr);
    EXPECT_FALSE(SyncStatusOwnerPresent()); // a fresh block: nobody holds the role

    PulseCatcher announced;
    announced.Start(notify);
    UniqueKernelHandle holder = RunHolder("announce --owner 5 --seconds 60");
    ASSERT_TRUE(holder);
    EXPECT_TRUE(announced.Caught());
    EXPECT_TRUE(WaitFor([] { return SyncStatusOwnerPresent(); }, kPatienceMs));

    PulseCatcher released;
    released.Start(notify);
    EXPECT_EQ(RunHolderToEnd("release"), 0u);
    EXPECT_TRUE(released.Caught());
    EXPECT_FALSE(SyncStatusOwnerPresent());
    EXPECT_EQ(WaitForSingleObject(holder.get(), kPatienceMs), WAIT_OBJECT_0);

    // Announcing on a watcher's shut-down writes nothing into the block.
    OtherView block;
    ASSERT_TRUE(block.Open(kGlobalSyncMapping, kSyncStatusBlockSize));
    InterlockedExchange(block.words() + kSyncOwnerPresentWord, 1);
    QuorvexSyncStatusShutdown(true);
    EXPECT_EQ(block.words()[kSyncOwnerPresentWord], 1);
}

TEST_F(SharedBlocks, refused_global_names_fall_back_to_the_sessions_names) {
    RefuseGlobalNamesForTesting(true);
    OpenActivityIndicator();
    HANDLE notify = nullptr;
    EXPECT_TRUE(OpenSyncStatusBlock(0, &notify));
    EXPECT_NE(notify, nullptr);
    UniqueKernelHandle other(CreateGlobalEvent(nullptr, FALSE, FALSE, "horologix-test-event"));
    EXPECT_TRUE(other);

    EXPECT_FALSE(ExistsAsMapping(kGlobalActivity));
    EXPECT_FALSE(ExistsAsMapping(kGlobalSyncMapping));
    EXPECT_FALSE(ExistsAsEvent(kGlobalSyncEvent));
    EXPECT_FALSE(ExistsAsEvent("Global\\horologix-test-event"));
    EXPECT_TRUE(ExistsAsMapping(kActivityMappingName));
    EXPECT_TRUE(ExistsAsMapping(kSyncStatusMappingName));
    EXPECT_TRUE(ExistsAsEvent(kSyncStatusEventName));
    EXPECT_TRUE(ExistsAsEvent("horologix-test-event"));

    OtherView display;
    ASSERT_TRUE(display.Open(kActivityMappingName, kActivityBlockSize));
    SetActivityIndicator(kActivityRequestAccepted);
    EXPECT_EQ(display.words()[kActivityRequestAccepted], 5);

    // Without the refusal the same calls use the machine-wide names.
    CloseActivityIndicator();
    QuorvexSyncStatusShutdown(false);
    RefuseGlobalNamesForTesting(false);
    OpenActivityIndicator();
    EXPECT_TRUE(OpenSyncStatusBlock(0));
    EXPECT_TRUE(ExistsAsMapping(kGlobalActivity));
    EXPECT_TRUE(ExistsAsMapping(kGlobalSyncMapping));
    EXPECT_TRUE(ExistsAsEvent(kGlobalSyncEvent));
}

namespace {

const char kAgentPath[] = "System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix";

class AgentHandover : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentPath);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, "Software\\Tessaric\\Quorvex Client");
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, "Software\\Tessaric\\Quorvex Server");
        // A known identifier: no start asks the network whether it is taken.
        WriteNumber(kInstallationIdKey, kInstallationIdValue, 0x5EED9ABC);
        fake_service::Reset(); // a service that never synchronizes
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            TimeProvClose(handle_);
        }
        if (holder_) {
            RunHolderToEnd("release");
            if (WaitForSingleObject(holder_.get(), kPatienceMs) != WAIT_OBJECT_0) {
                TerminateProcess(holder_.get(), 1);
            }
        }
        DeleteTestDriftFile();
    }
    void OpenAgent() {
        handle_ = fake_service::OpenAgent();
        ASSERT_EQ(handle_, reinterpret_cast<TimeProvHandle>(1));
    }
    static bool Active() { return Agent().active != 0; }

    TimeProvHandle handle_ = nullptr;
    UniqueKernelHandle holder_;
    // Put back as they were after each test.
    SavedRegistryKeys saved_{kAgentProviderKey, kFamilyClientKey, kFamilyServerKey,
                             kInstallationIdRegistryKey};
};

} // namespace

TEST_F(AgentHandover, a_holder_announcing_makes_the_agent_stand_aside_until_it_releases) {
    OpenAgent();
    EXPECT_TRUE(Active()); // no family service: the agent holds the role
    holder_ = RunHolder("announce --seconds 60");
    ASSERT_TRUE(holder_);
    ASSERT_TRUE(WaitFor(HolderAnnounced, kPatienceMs));
    // The pulse reaches the agent thread in its wait; one that comes while the thread is busy
    // is lost, and then the thread's next one-second look at the block notices the change.
    EXPECT_TRUE(WaitFor([] { return !Active(); }, kPatienceMs));
    EXPECT_EQ(RunHolderToEnd("release"), 0u);
    EXPECT_TRUE(WaitFor([] { return Active(); }, kPatienceMs));
    EXPECT_EQ(WaitForSingleObject(holder_.get(), kPatienceMs), WAIT_OBJECT_0);
}

TEST_F(AgentHandover, an_agent_started_under_a_holder_starts_inactive_and_takes_the_role_later) {
    holder_ = RunHolder("announce --owner 1 --seconds 60");
    ASSERT_TRUE(holder_);
    ASSERT_TRUE(WaitFor(HolderAnnounced, kPatienceMs));
    // A reachable source: were the agent checking, it would record a verification.
    DeleteTestDriftFile();
    WriteString("\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\Horologix",
                "Reference Clock", "localhost");
    OpenAgent();
    EXPECT_FALSE(Active());
    // Its polls see the holder still there, and an agent standing aside checks nothing.
    EXPECT_TRUE(StaysTrueFor([] { return !Active() && TestDriftFileSize() == 0; }, 1500));
    EXPECT_FALSE(Active());
    EXPECT_EQ(TestDriftFileSize(), 0u);
    EXPECT_EQ(RunHolderToEnd("release"), 0u);
    EXPECT_TRUE(WaitFor([] { return Active(); }, kPatienceMs));
}

TEST_F(AgentHandover, a_holder_whose_pulse_was_missed_is_noticed_at_the_next_poll) {
    OpenAgent();
    ASSERT_TRUE(Active());
    OtherView holder;
    ASSERT_TRUE(holder.Open(kGlobalSyncMapping, kSyncStatusBlockSize));
    InterlockedExchange(holder.words() + kSyncOwnerPresentWord, 1); // and no pulse
    EXPECT_TRUE(WaitFor([] { return !Active(); }, kPatienceMs));
    InterlockedExchange(holder.words() + kSyncOwnerPresentWord, 0);
    EXPECT_TRUE(WaitFor([] { return Active(); }, kPatienceMs));
}
