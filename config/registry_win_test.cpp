#include "config/registry_win.h"

#include "bench/remote_registry/bench_remote_registry_win.h"
#include "common/unique_handle_win.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char* kParametersKey = "Software\\Tessaric\\Horologix\\Parameters";
constexpr const char* kProductKey = "Software\\Tessaric\\Horologix";
constexpr const char* kTestKey = "Software\\Tessaric\\Horologix\\Parameters\\RegistryTest";
// What "\RegistryTest" names: the text, backslash included, follows the product's key.
constexpr const char* kTestRootKey = "Software\\Tessaric\\Horologix\\RegistryTest";
constexpr const char* kTestValue = "RegistryTestValue";

// The tests look at the registry directly, always in the 64-bit view: that is where both builds
// of the layer must work.
struct RawValue {
    LONG code = ERROR_SUCCESS;
    DWORD type = 0;
    std::vector<BYTE> data;
};

RawValue RawRead(HKEY root, const std::string& key, const char* name) {
    RawValue value;
    UniqueKey handle;
    value.code = RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, handle.put());
    if (value.code != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    value.code = RegQueryValueExA(handle.get(), name, nullptr, &value.type, nullptr, &size);
    if (value.code == ERROR_SUCCESS) {
        value.data.resize(size);
        value.code = RegQueryValueExA(handle.get(), name, nullptr, &value.type,
                                      size != 0 ? value.data.data() : nullptr, &size);
        value.data.resize(size);
    }
    return value;
}

RawValue RawRead(const std::string& key, const char* name) {
    return RawRead(HKEY_LOCAL_MACHINE, key, name);
}

bool RawKeyExists(const std::string& key, REGSAM view = KEY_WOW64_64KEY) {
    UniqueKey handle;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, handle.put()) ==
           ERROR_SUCCESS;
}

// Plants a value the layer would not write itself (UTF-16 data given as stored).
void RawWriteWide(const std::string& key, const wchar_t* name, DWORD type, const void* data,
                  DWORD size) {
    UniqueKey handle;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                              KEY_WRITE | KEY_WOW64_64KEY, nullptr, handle.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(handle.get(), name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
}

void RawDeleteValue(const char* key, const char* name) {
    UniqueKey handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_WRITE | KEY_WOW64_64KEY, handle.put()) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(handle.get(), name);
    }
}

// Deletes the key when it holds neither values nor subkeys: what a test beside this one keeps
// there (the temporary views' list below the product's key, say) stays.
void RawDeleteIfEmpty(const char* key) {
    UniqueKey handle;
    DWORD subkeys = 0, values = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ | KEY_WOW64_64KEY, handle.put()) ==
            ERROR_SUCCESS &&
        RegQueryInfoKeyA(handle.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                         &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0 && values == 0) {
        handle.reset();
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY, 0);
    }
}

std::vector<BYTE> Bytes(const char* text, size_t size) {
    return std::vector<BYTE>(text, text + size);
}

uint32_t RawNumber(const RawValue& value) {
    uint32_t number = 0;
    if (value.data.size() == sizeof number) {
        std::memcpy(&number, value.data.data(), sizeof number);
    }
    return number;
}

std::string LocalComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = sizeof name;
    EXPECT_TRUE(GetComputerNameA(name, &length));
    return name;
}

// Counts connections and keeps the last network name, then asks the stand-in machines.
int g_connections = 0;
std::wstring g_lastNetworkName;
LONG RecordingConnector(const wchar_t* networkName, HKEY* root) {
    ++g_connections;
    g_lastNetworkName = networkName;
    return ConnectBenchMachine(networkName, root);
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        vendorKeyExisted_ = RawKeyExists("Software\\Tessaric");
        g_connections = 0;
        g_lastNetworkName.clear();
        ASSERT_TRUE(SetRegistryFocus(nullptr));
    }

    void TearDown() override {
        SetRegistryFocus(nullptr);
        SetRegistryConnector(nullptr);
        RemoveBenchMachine("REMOTE1");
        RemoveBenchMachine("REMOTE2");
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kTestKey);
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, kTestRootKey);
        RawDeleteValue(kParametersKey, kTestValue);
        RawDeleteValue(kProductKey, kTestValue);
        if (!vendorKeyExisted_) {
            for (const char* key : {kParametersKey, kProductKey, "Software\\Tessaric"}) {
                RawDeleteIfEmpty(key);
            }
        }
    }

    bool vendorKeyExisted_ = false;
};

// --- Path notation and registry view -------------------------------------------------------

TEST_F(RegistryTest, values_land_where_the_path_notation_says) {
    const struct {
        const char* path;
        std::string key;
        const char* value;
        uint32_t number;
    } cases[] = {
        {"", kParametersKey, kTestValue, 11},
        {"RegistryTest", kTestKey, "N", 12},
        {"RegistryTest\\Deep", std::string(kTestKey) + "\\Deep", "N", 13},
        {"\\", kProductKey, kTestValue, 14},
        {"\\RegistryTest", kTestRootKey, "N", 15},
        {"\\\\Software\\Tessaric\\Horologix\\RegistryTest\\Deep",
         std::string(kTestRootKey) + "\\Deep", "N", 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(WriteNumber(c.path, c.value, c.number));
        EXPECT_EQ(GetLastError(), 0u);
        const RawValue raw = RawRead(c.key, c.value);
        ASSERT_EQ(raw.code, ERROR_SUCCESS);
        EXPECT_EQ(raw.type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(RawNumber(raw), c.number);
        EXPECT_EQ(ReadNumber(c.path, c.value, 0), c.number);
        EXPECT_TRUE(KeyExists(c.path));
    }
    EXPECT_EQ(ReadNumber(nullptr, kTestValue, 0), 11u);
}

TEST_F(RegistryTest, both_builds_work_on_the_64_bit_view_of_the_keys) {
    EXPECT_EQ(RegistryViewFlag(), sizeof(void*) == 4 ? static_cast<REGSAM>(KEY_WOW64_64KEY) : 0);
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 1));
    EXPECT_TRUE(RawKeyExists(kTestKey, KEY_WOW64_64KEY));
    EXPECT_FALSE(RawKeyExists(kTestKey, KEY_WOW64_32KEY));
    ASSERT_TRUE(DeleteKey("RegistryTest"));
    EXPECT_FALSE(RawKeyExists(kTestKey, KEY_WOW64_64KEY));
}

TEST_F(RegistryTest, path_too_long_to_resolve_fails_with_206_and_creates_nothing) {
    const std::string name(300, 'x');
    EXPECT_FALSE(WriteNumber(name.c_str(), "N", 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_FALSE(KeyExists(name.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(ReadNumber(name.c_str(), "N", 9), 9u);
    EXPECT_FALSE(RawKeyExists(std::string(kParametersKey) + "\\" + name.substr(0, 200)));
}

// --- Keys --------------------------------------------------------------------------------------

TEST_F(RegistryTest, delete_key_removes_a_leaf_and_refuses_a_key_with_subkeys) {
    ASSERT_TRUE(WriteNumber("RegistryTest\\Leaf", "N", 1));
    EXPECT_FALSE(DeleteKey("RegistryTest"));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_TRUE(KeyExists("RegistryTest"));
    EXPECT_EQ(GetLastError(), 0u);

    EXPECT_TRUE(DeleteKey("RegistryTest\\Leaf"));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(KeyExists("RegistryTest\\Leaf"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteKey("RegistryTest\\Leaf"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(DeleteKey("RegistryTest"));

    // "\\" alone names the machine's root, which is never deleted.
    EXPECT_FALSE(DeleteKey("\\\\"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// --- Writes ------------------------------------------------------------------------------------

TEST_F(RegistryTest, strings_are_stored_with_terminator_empty_text_stays_and_null_deletes) {
    ASSERT_TRUE(WriteString("RegistryTest", "S", "abc"));
    RawValue raw = RawRead(kTestKey, "S");
    EXPECT_EQ(raw.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw.data, Bytes("abc", 4));

    ASSERT_TRUE(WriteString("RegistryTest", "S", ""));
    raw = RawRead(kTestKey, "S");
    ASSERT_EQ(raw.code, ERROR_SUCCESS);
    EXPECT_EQ(raw.data, Bytes("", 1));

    ASSERT_TRUE(WriteString("RegistryTest", "S", nullptr));
    EXPECT_EQ(RawRead(kTestKey, "S").code, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(WriteString("RegistryTest", "S", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(WriteBoolean("RegistryTest", "T", true));
    ASSERT_TRUE(WriteBoolean("RegistryTest", "F", false));
    EXPECT_EQ(RawRead(kTestKey, "T").data, Bytes("True", 5));
    EXPECT_EQ(RawRead(kTestKey, "F").data, Bytes("False", 6));
    EXPECT_EQ(RawRead(kTestKey, "F").type, static_cast<DWORD>(REG_SZ));
}

TEST_F(RegistryTest, write_value_without_data_or_with_size_zero_deletes_the_value) {
    const BYTE bytes[] = {1, 2, 3};
    ASSERT_TRUE(WriteBinary("RegistryTest", "B", bytes, sizeof bytes));
    EXPECT_EQ(RawRead(kTestKey, "B").type, static_cast<DWORD>(REG_BINARY));
    ASSERT_TRUE(WriteValue("RegistryTest", "B", kRegBinary, bytes, 0));
    EXPECT_EQ(RawRead(kTestKey, "B").code, ERROR_FILE_NOT_FOUND);

    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 5));
    ASSERT_TRUE(WriteValue("RegistryTest", "N", kRegNumber, nullptr, 4));
    EXPECT_EQ(RawRead(kTestKey, "N").code, ERROR_FILE_NOT_FOUND);

    // Deleting one value never creates its key.
    EXPECT_FALSE(DeleteValue("RegistryTest\\Missing", "N"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(RawKeyExists(std::string(kTestKey) + "\\Missing"));
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 5));
    EXPECT_TRUE(DeleteValue("RegistryTest", "N"));
    EXPECT_FALSE(DeleteValue("RegistryTest", "N"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, formatted_text_is_cut_at_32767_characters) {
    ASSERT_TRUE(WriteFormatted("RegistryTest", "F", "%s-%u", "abc", 42u));
    EXPECT_EQ(RawRead(kTestKey, "F").data, Bytes("abc-42", 7));

    const std::string longText(40000, 'z');
    ASSERT_TRUE(WriteFormatted("RegistryTest", "F", "%s", longText.c_str()));
    const RawValue raw = RawRead(kTestKey, "F");
    ASSERT_EQ(raw.data.size(), 32768u);
    EXPECT_EQ(raw.data[32766], 'z');
    EXPECT_EQ(raw.data[32767], 0);
}

// --- Reads -------------------------------------------------------------------------------------

TEST_F(RegistryTest, read_number_takes_stored_data_that_fits_four_bytes) {
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 0x12345678));
    EXPECT_EQ(ReadNumber("RegistryTest", "N", 7), 0x12345678u);
    EXPECT_EQ(GetLastError(), 0u);

    // Strings are stored in UTF-16 with their zero: "T" is 4 bytes, "AB" 6.
    ASSERT_TRUE(WriteString("RegistryTest", "S1", "T"));
    ASSERT_TRUE(WriteString("RegistryTest", "S0", ""));
    ASSERT_TRUE(WriteString("RegistryTest", "S2", "AB"));
    EXPECT_EQ(ReadNumber("RegistryTest", "S1", 7), 84u);
    EXPECT_EQ(ReadNumber("RegistryTest", "S0", 7), 0u);
    EXPECT_EQ(ReadNumber("RegistryTest", "S2", 7), 7u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));

    const BYTE one[] = {0x2A};
    const BYTE five[] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(WriteBinary("RegistryTest", "B1", one, sizeof one));
    ASSERT_TRUE(WriteBinary("RegistryTest", "B5", five, sizeof five));
    EXPECT_EQ(ReadNumber("RegistryTest", "B1", 7), 0x2Au);
    EXPECT_EQ(ReadNumber("RegistryTest", "B5", 7), 7u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));

    EXPECT_EQ(ReadNumber("RegistryTest", "Missing", 7), 7u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadNumber("RegistryTest\\Missing", "N", 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, read_boolean_accepts_stored_booleans_numbers_and_first_characters) {
    for (const char* text : {"True", "true", "T", "t", "1", "Y", "y", "yes", "12", "x"}) {
        ASSERT_TRUE(WriteString("RegistryTest", "B", text));
        EXPECT_EQ(ReadBoolean("RegistryTest", "B", 7), 1u) << text;
        EXPECT_EQ(GetLastError(), 0u);
    }
    for (const char* text : {"False", "false", "0", "F", "f", "N", "n", "no", "off", " True", ""}) {
        ASSERT_TRUE(WriteString("RegistryTest", "B", text));
        EXPECT_EQ(ReadBoolean("RegistryTest", "B", 7), 0u) << text;
    }
    for (uint32_t number : {0u, 48u}) {
        ASSERT_TRUE(WriteNumber("RegistryTest", "B", number));
        EXPECT_EQ(ReadBoolean("RegistryTest", "B", 7), 0u) << number;
    }
    for (uint32_t number : {1u, 5u, 84u}) {
        ASSERT_TRUE(WriteNumber("RegistryTest", "B", number));
        EXPECT_EQ(ReadBoolean("RegistryTest", "B", 7), 1u) << number;
    }
    ASSERT_TRUE(WriteBoolean("RegistryTest", "B", true));
    EXPECT_EQ(ReadBoolean("RegistryTest", "B", 7), 1u);
    ASSERT_TRUE(WriteBoolean("RegistryTest", "B", false));
    EXPECT_EQ(ReadBoolean("RegistryTest", "B", 7), 0u);

    EXPECT_EQ(ReadBoolean("RegistryTest", "Missing", 7), 7u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadBoolean("RegistryTest\\Missing", "B", 1), 1u);
}

TEST_F(RegistryTest, read_string_takes_up_to_limit_minus_two_characters_and_keeps_the_default) {
    const std::string fits(61, 'a');
    const std::string tooLong(62, 'b');
    ASSERT_TRUE(WriteString("RegistryTest", "S61", fits.c_str()));
    ASSERT_TRUE(WriteString("RegistryTest", "S62", tooLong.c_str()));

    // A 64-byte field (limit 63) followed by guard bytes that must stay untouched.
    char buffer[80];
    std::memset(buffer, 0x5A, sizeof buffer);
    EXPECT_TRUE(ReadString("RegistryTest", "S61", buffer, 63, "dflt"));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(std::string(buffer), fits);
    EXPECT_EQ(buffer[62], 0);
    EXPECT_EQ(std::string(buffer + 64, 16), std::string(16, 0x5A));

    std::memset(buffer, 0x5A, sizeof buffer);
    EXPECT_FALSE(ReadString("RegistryTest", "S62", buffer, 63, "dflt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(std::string(buffer, 64), std::string("dflt") + std::string(60, '\0'));
    EXPECT_EQ(std::string(buffer + 64, 16), std::string(16, 0x5A));

    // A default longer than the field is cut at limit characters and still terminated.
    const std::string longDefault(100, 'd');
    EXPECT_FALSE(ReadString("RegistryTest", "Missing", buffer, 63, longDefault.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(std::string(buffer), std::string(63, 'd'));

    EXPECT_FALSE(ReadString("RegistryTest\\Missing", "S", buffer, 63, nullptr));
    EXPECT_EQ(std::string(buffer, 64), std::string(64, '\0'));

    EXPECT_FALSE(ReadString("RegistryTest", "S61", buffer, 0, "dflt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(RegistryTest, read_string_copy_holds_the_value_or_gives_back_the_default_pointer) {
    ASSERT_TRUE(WriteString("RegistryTest", "S", "hello"));
    char* copy = ReadStringCopy("RegistryTest", "S", nullptr);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_STREQ(copy, "hello");
    EXPECT_EQ(copy[6], 0);
    FreeStringCopy(copy);

    char fallback[] = "fallback";
    EXPECT_EQ(ReadStringCopy("RegistryTest", "Missing", fallback), fallback);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ReadStringCopy("RegistryTest\\Missing", "S", nullptr), nullptr);
}

TEST_F(RegistryTest, read_binary_zero_fills_and_refuses_a_longer_value) {
    const BYTE bytes[] = {1, 2, 3};
    ASSERT_TRUE(WriteBinary("RegistryTest", "B", bytes, sizeof bytes));

    BYTE buffer[6];
    std::memset(buffer, 0xFF, sizeof buffer);
    EXPECT_TRUE(ReadBinary("RegistryTest", "B", buffer, sizeof buffer));
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 6), (std::vector<BYTE>{1, 2, 3, 0, 0, 0}));

    std::memset(buffer, 0xFF, sizeof buffer);
    EXPECT_FALSE(ReadBinary("RegistryTest", "B", buffer, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), (std::vector<BYTE>{0, 0, 0xFF}));

    EXPECT_FALSE(ReadBinary("RegistryTest", "Missing", buffer, sizeof buffer));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 6), std::vector<BYTE>(6, 0));
}

TEST_F(RegistryTest, enumeration_reports_each_value_with_terminated_texts_then_259) {
    ASSERT_TRUE(WriteString("RegistryTest", "Text", "alpha"));
    ASSERT_TRUE(WriteNumber("RegistryTest", "Number", 7));
    const wchar_t multi[] = L"x\0y\0";
    RawWriteWide(kTestKey, L"Multi", REG_MULTI_SZ, multi, sizeof multi);
    // Stored without a terminating zero: it still comes back as a terminated text.
    RawWriteWide(kTestKey, L"Bare", REG_SZ, L"abc", 3 * sizeof(wchar_t));

    std::map<std::string, std::pair<uint32_t, std::string>> seen;
    uint32_t index = 0;
    char name[32];
    char data[64];
    uint32_t type = 99;
    while (EnumerateValue("RegistryTest", name, sizeof name - 1, data, sizeof data - 1, &type,
                          index)) {
        EXPECT_EQ(GetLastError(), 0u);
        const size_t length = type == kRegNumber ? 4 : std::strlen(data);
        seen[name] = {type, std::string(data, type == kRegMultiString ? 4 : length)};
        ++index;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(type, 0u);
    EXPECT_EQ(name[0], 0);
    ASSERT_EQ(index, 4u);
    EXPECT_EQ(seen["Text"], std::make_pair(kRegString, std::string("alpha")));
    EXPECT_EQ(seen["Number"], std::make_pair(kRegNumber, std::string("\x07\0\0\0", 4)));
    EXPECT_EQ(seen["Multi"], std::make_pair(kRegMultiString, std::string("x\0y\0", 4)));
    EXPECT_EQ(seen["Bare"], std::make_pair(kRegString, std::string("abc")));

    // A name that does not fit, and a key that does not exist.
    EXPECT_FALSE(EnumerateValue("RegistryTest", name, 2, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(std::string(name, 3), std::string(3, '\0'));
    EXPECT_FALSE(
        EnumerateValue("RegistryTest\\Missing", name, sizeof name - 1, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// --- Focus -------------------------------------------------------------------------------------

TEST_F(RegistryTest, focus_on_this_computers_own_name_stays_local_without_connecting) {
    SetRegistryConnector(RecordingConnector);
    std::string name = LocalComputerName();
    std::string lower = name;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const std::string& form : {name, lower, "\\\\" + name, "\\\\" + lower}) {
        SCOPED_TRACE(form);
        EXPECT_TRUE(SetRegistryFocus(form.c_str()));
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(RegistryFocusRoot(), HKEY_LOCAL_MACHINE);
        EXPECT_STREQ(RegistryFocusMachine(), "");
    }
    EXPECT_EQ(g_connections, 0);
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 3));
    EXPECT_EQ(RawNumber(RawRead(kTestKey, "N")), 3u);
    EXPECT_TRUE(SetRegistryFocus(""));
    EXPECT_EQ(g_connections, 0);
}

TEST_F(RegistryTest, focus_on_a_stand_in_machine_works_in_that_machines_subtree) {
    ASSERT_TRUE(AddBenchMachine("REMOTE1"));
    ASSERT_TRUE(AddBenchMachine("REMOTE2"));
    SetRegistryConnector(RecordingConnector);

    ASSERT_TRUE(SetRegistryFocus("REMOTE1"));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(g_lastNetworkName, L"\\\\REMOTE1");
    EXPECT_STREQ(RegistryFocusMachine(), "REMOTE1");
    EXPECT_NE(RegistryFocusRoot(), HKEY_LOCAL_MACHINE);

    const std::string remote1 = std::string(kBenchMachinesKey) + "\\REMOTE1\\";
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 21));
    ASSERT_TRUE(
        WriteString("\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters", "Type", "NTP"));
    EXPECT_EQ(RawNumber(RawRead(remote1 + kTestKey, "N")), 21u);
    EXPECT_EQ(
        RawRead(remote1 + "System\\CurrentControlSet\\Services\\W32Time\\Parameters", "Type").data,
        Bytes("NTP", 4));
    EXPECT_FALSE(RawKeyExists(kTestKey));
    EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 21u);

    // A name given with its backslashes goes to the connection as it is; the previous machine is
    // let go.
    ASSERT_TRUE(SetRegistryFocus("\\\\REMOTE2"));
    EXPECT_EQ(g_lastNetworkName, L"\\\\REMOTE2");
    EXPECT_STREQ(RegistryFocusMachine(), "\\\\REMOTE2");
    EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 0u);
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 22));
    EXPECT_EQ(RawNumber(RawRead(std::string(kBenchMachinesKey) + "\\REMOTE2\\" + kTestKey, "N")),
              22u);
    EXPECT_EQ(RawNumber(RawRead(remote1 + kTestKey, "N")), 21u);

    ASSERT_TRUE(SetRegistryFocus(nullptr));
    EXPECT_EQ(RegistryFocusRoot(), HKEY_LOCAL_MACHINE);
    EXPECT_STREQ(RegistryFocusMachine(), "");
    EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 0u);
    EXPECT_FALSE(RawKeyExists(kTestKey));

    // Clearing a stand-in empties its registry but keeps the machine reachable.
    ASSERT_TRUE(ClearBenchMachine("REMOTE1"));
    ASSERT_TRUE(SetRegistryFocus("REMOTE1"));
    EXPECT_FALSE(KeyExists("\\\\System"));
}

TEST_F(RegistryTest, a_read_batch_reads_what_is_stored_and_what_is_written_or_focused_meanwhile) {
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 1));
    ASSERT_TRUE(AddBenchMachine("REMOTE1"));
    SetRegistryConnector(RecordingConnector);
    {
        const RegistryReadBatch batch;
        EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 1u);
        EXPECT_EQ(ReadNumber("RegistryTest\\Later", "M", 7), 7u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        // The held key shows the stored value, whoever changed it.
        const uint32_t two = 2;
        RawWriteWide(kTestKey, L"N", REG_DWORD, &two, sizeof two);
        EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 2u);
        // A key the layer creates is read, not the absence held before.
        ASSERT_TRUE(WriteNumber("RegistryTest\\Later", "M", 5));
        EXPECT_EQ(ReadNumber("RegistryTest\\Later", "M", 7), 5u);
        char text[16];
        EXPECT_FALSE(ReadString("RegistryTest\\Later", "Missing", text, sizeof text - 1, "d"));
        EXPECT_STREQ(text, "d");
        ASSERT_TRUE(DeleteKey("RegistryTest\\Later"));
        EXPECT_FALSE(KeyExists("RegistryTest\\Later"));
        // Another machine's registry is another machine's.
        ASSERT_TRUE(SetRegistryFocus("REMOTE1"));
        EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 0u);
        ASSERT_TRUE(SetRegistryFocus(nullptr));
        EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 2u);
        const RegistryReadBatch inner;
        EXPECT_EQ(ReadNumber("RegistryTest", "N", 0), 2u);
    }
    // Without a batch each read opens the key afresh.
    const uint32_t three = 3;
    RawWriteWide(std::string(kTestKey) + "\\Later", L"M", REG_DWORD, &three, sizeof three);
    EXPECT_EQ(ReadNumber("RegistryTest\\Later", "M", 7), 3u);
}

TEST_F(RegistryTest, failed_focus_leaves_the_focus_local_with_the_connections_error) {
    ASSERT_TRUE(AddBenchMachine("REMOTE1"));
    InstallBenchRemoteRegistry();
    ASSERT_TRUE(SetRegistryFocus("REMOTE1"));

    EXPECT_FALSE(SetRegistryFocus("NOSUCH"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_EQ(RegistryFocusRoot(), HKEY_LOCAL_MACHINE);
    EXPECT_STREQ(RegistryFocusMachine(), "");
    ASSERT_TRUE(WriteNumber("RegistryTest", "N", 4));
    EXPECT_EQ(RawNumber(RawRead(kTestKey, "N")), 4u);

    SetRegistryConnector([](const wchar_t*, HKEY*) -> LONG { return ERROR_ACCESS_DENIED; });
    EXPECT_FALSE(SetRegistryFocus("REMOTE1"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RegistryFocusRoot(), HKEY_LOCAL_MACHINE);

    // The real connection: no remote registry is reachable from the bench.
    SetRegistryConnector(nullptr);
    EXPECT_FALSE(SetRegistryFocus("NOSUCHHOST"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_EQ(RegistryFocusRoot(), HKEY_LOCAL_MACHINE);
}

// --- Key security ------------------------------------------------------------------------------

struct ExpectedAce {
    const char* sid;
    ACCESS_MASK access;
};

void ExpectStandardAcl(const std::string& key) {
    SCOPED_TRACE(key);
    UniqueKey handle;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, READ_CONTROL | KEY_WOW64_64KEY,
                            handle.put()),
              ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(RegGetKeySecurity(handle.get(), DACL_SECURITY_INFORMATION, nullptr, &size),
              ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> descriptor(size);
    ASSERT_EQ(RegGetKeySecurity(handle.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size),
              ERROR_SUCCESS);
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(acl, nullptr);

    const ExpectedAce expected[] = {{"S-1-1-0", GENERIC_READ},
                                    {"S-1-5-32-544", GENERIC_ALL},
                                    {"S-1-5-18", GENERIC_ALL},
                                    {"S-1-5-19", GENERIC_ALL},
                                    {"S-1-5-20", GENERIC_ALL}};
    ASSERT_EQ(acl->AceCount, 5);
    for (DWORD i = 0; i < 5; ++i) {
        SCOPED_TRACE(expected[i].sid);
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(acl, i, &entry));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(ace->Mask, expected[i].access);
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA(expected[i].sid, &sid));
        UniqueLocal sidOwner(sid);
        EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&ace->SidStart), sid));
    }
}

TEST_F(RegistryTest, secure_key_tree_gives_the_key_and_every_subkey_the_standard_list) {
    ASSERT_TRUE(WriteNumber("RegistryTest\\Secure\\A\\B", "N", 1));
    ASSERT_TRUE(WriteNumber("RegistryTest\\Secure\\C", "N", 1));
    SecureKeyTree("RegistryTest\\Secure");
    EXPECT_EQ(GetLastError(), 0u);
    const std::string secure = std::string(kTestKey) + "\\Secure";
    for (const char* sub : {"", "\\A", "\\A\\B", "\\C"}) {
        ExpectStandardAcl(secure + sub);
    }

    // A missing key is created with the list.
    SecureKeyTree("RegistryTest\\Fresh");
    EXPECT_EQ(GetLastError(), 0u);
    ExpectStandardAcl(std::string(kTestKey) + "\\Fresh");
}

// --- Process rights ----------------------------------------------------------------------------

bool PrivilegeEnabled(const char* privilege) {
    LUID luid;
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, privilege, &luid));
    UniqueKernelHandle token;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> bytes(size);
    EXPECT_TRUE(GetTokenInformation(token.get(), TokenPrivileges, bytes.data(), size, &size));
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(bytes.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart) {
            return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    return false;
}

TEST(Privileges, held_privilege_is_switched_and_unknown_one_refused) {
    const char* held = "SeSystemtimePrivilege";
    ASSERT_TRUE(SetPrivilege(held, true));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(PrivilegeEnabled(held));
    ASSERT_TRUE(SetPrivilege(held, false));
    EXPECT_FALSE(PrivilegeEnabled(held));

    EXPECT_TRUE(CanEnablePrivilege(held));
    EXPECT_FALSE(PrivilegeEnabled(held));

    EXPECT_FALSE(SetPrivilege("SeMadeUpPrivilege", true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_FALSE(CanEnablePrivilege("SeMadeUpPrivilege"));
    EXPECT_FALSE(SetPrivilege(nullptr, true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
