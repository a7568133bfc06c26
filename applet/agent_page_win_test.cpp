// The Agent page as an administrator uses it through the real sheet: the agent's settings shown
// and applied, the enable rules, the history list following the agent's ring, the drift graph
// opened once, and the history cleared; and the page beside a product of the family.
#include <windows.h>
#include <cpl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/sheet_test_util_win.h"
#include "bench/window_bench/window_bench_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/settings.h"
#include "config/system_identity_win.h"
#include "history/drift_file_win.h"
#include "history/drift_record.h"
#include "resources/resource.h"
#include "resources/version.h"

extern "C" LONG APIENTRY CPlApplet(HWND, UINT, LPARAM, LPARAM);

namespace {

using namespace winbench;

constexpr char kRing[] = "Last Used Time Source";
constexpr char kParametersKey[] = "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters";
constexpr char kNtpClientKey[] =
    "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\NtpClient";
constexpr const char* kAgentValues[] = {"Service Installed",
                                        "Current Version",
                                        "Enabled",
                                        "SpecialPollInterval",
                                        "Reference Clock",
                                        "Alert if Unverified",
                                        "Alert if Unsynchronized",
                                        "Alert Threshhold (seconds)",
                                        "DNS Lookups Enabled",
                                        kRing};
constexpr int kOptions[] = {IDC_AGENT_REFERENCE,        IDC_AGENT_INTERVAL,
                            IDC_AGENT_ALERT_UNVERIFIED, IDC_AGENT_ALERT_OFF,
                            IDC_AGENT_REFERENCE_LABEL,  IDC_AGENT_INTERVAL_LABEL,
                            IDC_AGENT_THRESHOLD_UNIT};

// Mon 06 May 2024 12:53:20 and 13:00:00 UTC (the bench's processes run in UTC).
constexpr uint32_t kOlder = 1715000000;
constexpr uint32_t kNewer = 1715000400;

void PutSlot(std::vector<uint8_t>& ring, size_t slot, uint8_t a, uint8_t b, uint8_t c, uint8_t d,
             uint32_t time) {
    const uint8_t address[4] = {a, b, c, d};
    std::memcpy(&ring[slot * 8], address, 4);
    std::memcpy(&ring[slot * 8 + 4], &time, 4);
}

std::string FileBytes(const std::string& path) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    return bytes;
}

bool PutFile(const std::string& path, const std::string& bytes) {
    UniqueFile file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file &&
           (bytes.empty() || WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr));
}

std::string Records(uint32_t count) {
    std::string bytes(count * kDriftRecordSize, '\0');
    for (uint32_t i = 0; i < count; ++i) {
        const DriftRecord record = MakeDriftRecord(static_cast<int32_t>(i) * 10, kOlder + 60 * i, 1,
                                                   kReasonScheduled, 0x0100007F, kRoleHorologix, 0);
        EncodeDriftRecord(record, reinterpret_cast<uint8_t*>(&bytes[i * kDriftRecordSize]));
    }
    return bytes;
}

struct TitleSearch {
    std::string caption;
    int count;
};

BOOL CALLBACK CountTitled(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<TitleSearch*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
        WindowText(window) == search->caption) {
        ++search->count;
    }
    return TRUE;
}

// Top-level windows of this process with the caption.
int WindowsTitled(const std::string& caption) {
    TitleSearch search{caption, 0};
    EnumWindows(CountTitled, reinterpret_cast<LPARAM>(&search));
    return search.count;
}

class AgentPage : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN64
        if (IsWow64()) {
            GTEST_SKIP() << "a 32-bit applet on 64-bit Windows refuses to run";
        }
#endif
        ASSERT_TRUE(DriftFilePath(nullptr, driftPath_, sizeof(driftPath_)));
        hadDriftFile_ = GetFileAttributesA(driftPath_) != INVALID_FILE_ATTRIBUTES;
        savedDrift_ = FileBytes(driftPath_);
        SaveSheetKeys(&keys_);
        for (const char* name : kAgentValues) {
            DeleteValue(kAgentKeyPath, name);
        }
        // An agent of this very release, so that opening the sheet upgrades nothing.
        WriteBoolean(kAgentKeyPath, "Service Installed", true);
        WriteString(kAgentKeyPath, "Current Version", HOROLOGIX_VERSION_TEXT);
        ASSERT_EQ(CPlApplet(nullptr, CPL_INIT, 0, 0), 1);
    }
    void TearDown() override {
        if (IsSkipped()) {
            return;
        }
        if (session_ != nullptr) {
            if (sheet_ != nullptr && IsWindow(sheet_)) {
                PressSheetButton(sheet_, IDCANCEL);
                PostMessageA(sheet_, WM_NULL, 0, 0);
            }
            delete session_;
        }
        keys_.Restore();
        if (hadDriftFile_) {
            PutFile(driftPath_, savedDrift_);
        } else {
            DeleteFileA(driftPath_);
        }
    }

    HWND OpenAgentPage() {
        session_ = new AppletSession;
        EXPECT_TRUE(session_->Run([] { return CPlApplet(nullptr, kCplOpenSheet, 0, 0); }));
        sheet_ = WaitForSheetOfProcess(GetCurrentProcessId(), nullptr, kPatienceMs);
        EXPECT_NE(sheet_, nullptr);
        if (sheet_ == nullptr || !SelectPage(sheet_, "Agent")) {
            return nullptr;
        }
        return CurrentPage(sheet_);
    }
    void Close(int button) {
        ASSERT_TRUE(PressSheetButton(sheet_, button));
        PostMessageA(sheet_, WM_NULL, 0, 0);
        ASSERT_TRUE(session_->Wait(kPatienceMs));
        sheet_ = nullptr;
    }
    bool ApplyEnabled() const {
        return IsWindowEnabled(GetDlgItem(sheet_, kApplyButton)) != FALSE;
    }

    RegistrySnapshot keys_;
    char driftPath_[MAX_PATH + 1] = "";
    bool hadDriftFile_ = false;
    std::string savedDrift_;
    AppletSession* session_ = nullptr;
    HWND sheet_ = nullptr;
};

TEST_F(AgentPage, shows_applies_follows_the_ring_opens_one_graph_and_clears_the_history) {
    WriteNumber(kAgentKeyPath, "Enabled", 1);
    WriteNumber(kAgentKeyPath, "SpecialPollInterval", 90);
    WriteNumber(kAgentKeyPath, "Alert if Unverified", 0);
    WriteNumber(kAgentKeyPath, "Alert if Unsynchronized", 1);
    WriteNumber(kAgentKeyPath, "Alert Threshhold (seconds)", 3);
    WriteBoolean(kAgentKeyPath, "DNS Lookups Enabled", true);
    std::vector<uint8_t> ring(512, 0);
    PutSlot(ring, 62, 127, 0, 0, 1, kOlder);
    PutSlot(ring, 63, 255, 255, 255, 255, kNewer);
    ASSERT_TRUE(WriteBinary(kAgentKeyPath, kRing, ring.data(), 512));
    ASSERT_TRUE(PutFile(driftPath_, Records(5)));

    HWND page = OpenAgentPage();
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(IsChecked(page, IDC_AGENT_ENABLE));
    EXPECT_TRUE(IsEnabled(page, IDC_AGENT_ENABLE));
    EXPECT_EQ(Text(page, IDC_AGENT_INTERVAL), "1"); // 90 seconds shown in whole minutes
    EXPECT_EQ(Text(page, IDC_AGENT_REFERENCE), "");
    EXPECT_FALSE(IsChecked(page, IDC_AGENT_ALERT_UNVERIFIED));
    EXPECT_TRUE(IsChecked(page, IDC_AGENT_ALERT_OFF));
    EXPECT_EQ(Text(page, IDC_AGENT_THRESHOLD), "3");
    EXPECT_EQ(Text(page, IDC_AGENT_NOTE),
              "You may override this behavior by specifying a particular time server to be used "
              "as the reference time source.");
    EXPECT_FALSE(IsVisible(page, IDC_AGENT_REMOVE));
    EXPECT_EQ(Text(page, IDC_HELP_LINK), "www.tessaric.com");
    // Newest first; the unresolvable address reads Unknown, the loopback one has its name.
    EXPECT_EQ(ListItems(page, IDC_AGENT_HISTORY),
              (std::vector<std::string>{"06 May 2024 13:00:00\tUnknown\t",
                                        "06 May 2024 12:53:20\t127.0.0.1\tlocalhost"}));
    EXPECT_TRUE(IsEnabled(page, IDC_AGENT_CLEAR_HISTORY));
    EXPECT_TRUE(IsEnabled(page, IDC_AGENT_THRESHOLD));
    EXPECT_FALSE(ApplyEnabled());

    // The enable rules follow the two boxes.
    ASSERT_TRUE(Click(page, IDC_AGENT_ALERT_OFF));
    EXPECT_TRUE(WaitUntil([&] { return !IsEnabled(page, IDC_AGENT_THRESHOLD); }, kPatienceMs));
    EXPECT_TRUE(ApplyEnabled());
    ASSERT_TRUE(Click(page, IDC_AGENT_ENABLE));
    // The rules run once the click has been handled: every option control goes grey.
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (int id : kOptions) {
                if (IsEnabled(page, id)) {
                    return false;
                }
            }
            return true;
        },
        kPatienceMs));
    ASSERT_TRUE(Click(page, IDC_AGENT_ENABLE));
    ASSERT_TRUE(WaitUntil([&] { return IsEnabled(page, IDC_AGENT_ALERT_OFF); }, kPatienceMs));
    ASSERT_TRUE(Click(page, IDC_AGENT_ALERT_OFF));
    EXPECT_TRUE(WaitUntil([&] { return IsEnabled(page, IDC_AGENT_THRESHOLD); }, kPatienceMs));
    for (int id : kOptions) {
        EXPECT_TRUE(IsEnabled(page, id)) << id;
    }
    ASSERT_TRUE(ClearAndType(page, IDC_AGENT_REFERENCE, "  ntp.example  "));
    ASSERT_TRUE(ClearAndType(page, IDC_AGENT_THRESHOLD, "5"));

    // The list keeps the user's selection while the ring stays as it is (watched for longer than
    // the page's two-second look at the ring), and is rebuilt once the agent adds a source.
    SendDlgItemMessageA(page, IDC_AGENT_HISTORY, LB_SETCURSEL, 1, 0);
    EXPECT_TRUE(StaysTrueFor(
        [&] { return SendDlgItemMessageA(page, IDC_AGENT_HISTORY, LB_GETCURSEL, 0, 0) == 1; },
        2600));
    std::memmove(ring.data(), ring.data() + 8, 504);
    PutSlot(ring, 63, 10, 1, 2, 3, kNewer + 60);
    ASSERT_TRUE(WriteBinary(kAgentKeyPath, kRing, ring.data(), 512));
    EXPECT_TRUE(
        WaitUntil([&] { return ListItems(page, IDC_AGENT_HISTORY).size() == 3; }, kPatienceMs));
    EXPECT_EQ(ListItems(page, IDC_AGENT_HISTORY)[0].rfind("06 May 2024 13:01:00\t10.1.2.3\t", 0),
              0u);
    EXPECT_EQ(SendDlgItemMessageA(page, IDC_AGENT_HISTORY, LB_GETCURSEL, 0, 0), LB_ERR);

    // One graph on the machine's own history, however often the button is pressed.
    const std::string graphTitle = std::string("Quorvex II Drift Data: ") + driftPath_;
    ASSERT_TRUE(Click(page, IDC_AGENT_SHOW_GRAPH));
    HWND graph =
        WaitForWindowOfProcess(GetCurrentProcessId(), "#32770", graphTitle.c_str(), kPatienceMs);
    ASSERT_NE(graph, nullptr);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Text(graph, IDC_GRAPH_LABEL)
                       .rfind("Variance for checks 1 through 5 (of 5)", 0) == 0;
        },
        kPatienceMs));
    ASSERT_TRUE(Click(page, IDC_AGENT_SHOW_GRAPH));
    EXPECT_TRUE(StaysTrueFor([&] { return WindowsTitled(graphTitle) == 1; }, 500));
    EXPECT_EQ(Applet().graphWindow, graph);

    // Apply writes what was edited; the interval shown as 1 minute was not, and its 90 s stay.
    ASSERT_TRUE(SelectPage(sheet_, "About"));
    ASSERT_TRUE(PressSheetButton(sheet_, kApplyButton));
    EXPECT_TRUE(WaitUntil([&] { return !ApplyEnabled(); }, kPatienceMs));
    EXPECT_EQ(ReadNumber(kAgentKeyPath, "SpecialPollInterval", 0), 90u);
    EXPECT_EQ(ReadNumber(kAgentKeyPath, "Alert Threshhold (seconds)", 0), 5u);
    EXPECT_EQ(ReadNumber(kAgentKeyPath, "Enabled", 7), 1u);
    char server[64];
    ReadString(kAgentKeyPath, "Reference Clock", server, 63, "");
    EXPECT_STREQ(server, "ntp.example");
    ASSERT_TRUE(SelectPage(sheet_, "Agent"));
    page = CurrentPage(sheet_);

    // Clear History: asked first; No keeps everything, Yes empties the file, ring and list.
    ASSERT_TRUE(Click(page, IDC_AGENT_CLEAR_HISTORY));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Horologix", kPatienceMs, &box));
    EXPECT_EQ(box.text, "Do you want to delete the synchronization history records? This will "
                        "clear the points in the graph, and clear the list of recently-used "
                        "servers.\r\n");
    ASSERT_TRUE(Answer(box, IDNO));
    EXPECT_EQ(FileBytes(driftPath_).size(), 100u);
    ASSERT_TRUE(Click(page, IDC_AGENT_CLEAR_HISTORY));
    ASSERT_TRUE(WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Horologix", kPatienceMs, &box));
    ASSERT_TRUE(Answer(box, IDYES));
    EXPECT_TRUE(WaitUntil([&] { return ListItems(page, IDC_AGENT_HISTORY).empty(); }, kPatienceMs));
    EXPECT_EQ(FileBytes(driftPath_).size(), 0u);
    uint8_t after[512];
    EXPECT_FALSE(ReadBinary(kAgentKeyPath, kRing, after, sizeof(after)));
    EXPECT_FALSE(IsEnabled(page, IDC_AGENT_CLEAR_HISTORY));
    // The graph follows its file: now empty, it waits for data.
    EXPECT_TRUE(WaitUntil([&] { return Text(graph, IDC_GRAPH_LABEL) == "Waiting for data..."; },
                          kPatienceMs));

    // The sheet closes: the graph goes with it.
    Close(IDCANCEL);
    EXPECT_FALSE(IsWindow(graph));
    EXPECT_EQ(Applet().graphWindow, nullptr);
}

TEST_F(AgentPage, beside_a_family_product_the_agent_is_switched_on_and_its_options_hidden) {
    WriteNumber(kAgentKeyPath, "Enabled", 0);
    // Windows Time's client already stands aside for the family client, so that the Client page
    // has nothing to change.
    WriteNumber(kNtpClientKey, "Enabled", 0);
    WriteNumber(kNtpClientKey, "InputProvider", 0);
    WriteString(kParametersKey, "Type", "NoSync");
    WriteBoolean(kFamilyClientParametersKey, "Service Installed", true);
    DeleteFileA(driftPath_);
    HWND page = OpenAgentPage();
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(IsChecked(page, IDC_AGENT_ENABLE));
    EXPECT_FALSE(IsEnabled(page, IDC_AGENT_ENABLE));
    for (int id : kOptions) {
        EXPECT_FALSE(IsVisible(page, id)) << id;
    }
    EXPECT_FALSE(IsVisible(page, IDC_AGENT_THRESHOLD));
    EXPECT_EQ(Text(page, IDC_AGENT_NOTE),
              "NOTE: Monitoring is handled by Quorvex II when Quorvex II is installed. See the "
              "Quorvex II Control Panel applet for sync status.");
    EXPECT_TRUE(ListItems(page, IDC_AGENT_HISTORY).empty());
    EXPECT_FALSE(IsEnabled(page, IDC_AGENT_CLEAR_HISTORY));
    // The switch is saved by OK although the sheet was never told of a change.
    EXPECT_FALSE(ApplyEnabled());
    EXPECT_EQ(ReadNumber(kAgentKeyPath, "Enabled", 7), 0u);
    // Clearing a history that has no file: the ring goes, no file appears.
    ASSERT_TRUE(WriteBinary(kAgentKeyPath, kRing, std::vector<uint8_t>(512, 1).data(), 512));
    EXPECT_TRUE(WaitUntil([&] { return IsEnabled(page, IDC_AGENT_CLEAR_HISTORY); }, kPatienceMs));
    ASSERT_TRUE(Click(page, IDC_AGENT_CLEAR_HISTORY));
    MessageBoxSeen box;
    ASSERT_TRUE(WaitForMessageBoxOfProcess(GetCurrentProcessId(), "Horologix", kPatienceMs, &box));
    ASSERT_TRUE(Answer(box, IDYES));
    EXPECT_TRUE(WaitUntil([&] { return ListItems(page, IDC_AGENT_HISTORY).empty(); }, kPatienceMs));
    EXPECT_EQ(GetFileAttributesA(driftPath_), INVALID_FILE_ATTRIBUTES);
    Close(IDOK);
    EXPECT_EQ(ReadNumber(kAgentKeyPath, "Enabled", 7), 1u);
}

} // namespace
