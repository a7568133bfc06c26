#include "config/registry_win.h"

#include "common/unique_handle_win.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

// The keys a read batch holds on its thread: each key's outcome as first opened (found with its
// handle, or the error), so that the next read of the same key asks nothing.
struct HeldKeys {
    static constexpr size_t kMost = 16;
    struct Entry {
        HKEY root;
        char path[kResolvedPathSize];
        LONG code;
        HKEY key;
    };
    size_t count = 0;
    Entry keys[kMost];
};

namespace {

// Value names are at most 16383 characters; subkey names 255, the enumeration allows 260.
constexpr size_t kValueNameChars = 16383;
constexpr DWORD kSubkeyNameChars = 260;
// The connection takes the UTF-16 network name, at most 256 characters.
constexpr int kWideNetworkNameChars = 256;
constexpr size_t kFormattedChars = 32767;
constexpr DWORD kAclSize = 16000;

constexpr REGSAM kReadAccess = KEY_READ;
constexpr REGSAM kWriteAccess = KEY_READ | KEY_WRITE;

LONG ConnectRemoteRegistry(const wchar_t* networkName, HKEY* root) {
    return RegConnectRegistryW(networkName, HKEY_LOCAL_MACHINE, root);
}

// The focus. Changed only by the applet's user-interface thread while no other thread of the
// process works on the registry, so it needs no lock.
HKEY g_root = HKEY_LOCAL_MACHINE;
char g_machine[kMachineNameChars + 1] = "";
RegistryConnector g_connector = ConnectRemoteRegistry;

// Leaves code as the thread's last error; true when it is 0.
bool Report(LONG code) {
    SetLastError(static_cast<DWORD>(code));
    return code == ERROR_SUCCESS;
}

// Looks up an export that older releases lack, so that the library still loads there.
template <typename Function> Function FindExport(const char* module, const char* name) {
    const HMODULE handle = GetModuleHandleA(module);
    if (handle == nullptr) {
        return nullptr;
    }
    // Through void (*)(), which converts to any function type without a cast warning.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)));
}

REGSAM DetectViewFlag() {
#ifdef _WIN64
    return 0;
#else
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64Process =
        FindExport<IsWow64ProcessFunction>("kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    if (isWow64Process != nullptr && isWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        return KEY_WOW64_64KEY;
    }
    return 0;
#endif
}

LONG ResolveOrFail(const char* path, char* resolved) {
    return ResolveKeyPath(path, resolved) != nullptr ? ERROR_SUCCESS : ERROR_FILENAME_EXCED_RANGE;
}

thread_local HeldKeys* t_heldKeys = nullptr;

void ForgetHeldKeys() {
    HeldKeys* held = t_heldKeys;
    if (held == nullptr) {
        return;
    }
    for (size_t i = 0; i < held->count; ++i) {
        if (held->keys[i].key != nullptr) {
            RegCloseKey(held->keys[i].key);
        }
    }
    held->count = 0;
}

LONG OpenKey(const char* path, REGSAM access, UniqueKey& key) {
    if (access != kReadAccess) {
        ForgetHeldKeys(); // what it changes is read again from the registry
    }
    char resolved[kResolvedPathSize];
    const LONG code = ResolveOrFail(path, resolved);
    if (code != ERROR_SUCCESS) {
        return code;
    }
    return RegOpenKeyExA(g_root, resolved, 0, access | RegistryViewFlag(), key.put());
}

// A key opened for reading: the read batch's own handle, or one this read opened and closes.
class ReadKey {
public:
    HKEY get() const { return held_ != nullptr ? held_ : owned_.get(); }

private:
    friend LONG OpenForReading(const char* path, ReadKey& key);
    UniqueKey owned_;
    HKEY held_ = nullptr;
};

LONG OpenForReading(const char* path, ReadKey& key) {
    HeldKeys* held = t_heldKeys;
    if (held == nullptr) {
        return OpenKey(path, kReadAccess, key.owned_);
    }
    char resolved[kResolvedPathSize];
    LONG code = ResolveOrFail(path, resolved);
    if (code != ERROR_SUCCESS) {
        return code;
    }
    for (size_t i = 0; i < held->count; ++i) {
        const HeldKeys::Entry& entry = held->keys[i];
        if (entry.root == g_root && lstrcmpiA(entry.path, resolved) == 0) {
            key.held_ = entry.key;
            return entry.code;
        }
    }
    code = RegOpenKeyExA(g_root, resolved, 0, kReadAccess | RegistryViewFlag(), key.owned_.put());
    if (held->count < HeldKeys::kMost) {
        HeldKeys::Entry& entry = held->keys[held->count++];
        entry.root = g_root;
        std::memcpy(entry.path, resolved, sizeof(entry.path));
        entry.code = code;
        entry.key = code == ERROR_SUCCESS ? key.owned_.release() : nullptr;
        key.held_ = entry.key;
    }
    return code;
}

// Opens the key for reading and writing, creating it and missing parents.
LONG CreateKey(const char* path, UniqueKey& key) {
    ForgetHeldKeys();
    char resolved[kResolvedPathSize];
    const LONG code = ResolveOrFail(path, resolved);
    if (code != ERROR_SUCCESS) {
        return code;
    }
    return RegCreateKeyExA(g_root, resolved, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           kWriteAccess | RegistryViewFlag(), nullptr, key.put(), nullptr);
}

// An 8-bit value name in UTF-16, for the one read that needs the stored bytes as they are.
class WideValueName {
public:
    // Null stays null: the key's default value.
    LONG Convert(const char* name) {
        if (name == nullptr) {
            pointer_ = nullptr;
            return ERROR_SUCCESS;
        }
        if (MultiByteToWideChar(CP_ACP, 0, name, -1, text_,
                                static_cast<int>(kValueNameChars + 1)) == 0) {
            return static_cast<LONG>(GetLastError());
        }
        pointer_ = text_;
        return ERROR_SUCCESS;
    }
    const wchar_t* get() const { return pointer_; }

private:
    wchar_t text_[kValueNameChars + 1];
    const wchar_t* pointer_ = nullptr;
};

DWORD ClampToDword(size_t size) {
    return size < MAXDWORD ? static_cast<DWORD>(size) : MAXDWORD - 1;
}

// The first limit bytes take the default (at most limit characters), the rest and the byte at
// limit are zero.
void FillDefault(char* buffer, size_t limit, const char* defaultText) {
    std::memset(buffer, 0, limit + 1);
    if (defaultText != nullptr) {
        size_t length = 0;
        while (length < limit && defaultText[length] != '\0') {
            ++length;
        }
        std::memcpy(buffer, defaultText, length);
    }
}

struct AllowedEntry {
    SID_IDENTIFIER_AUTHORITY authority;
    BYTE subAuthorityCount;
    DWORD subAuthority0;
    DWORD subAuthority1;
    DWORD access;
};

// Builds the standard access list into acl (kAclSize bytes). An entry whose SID cannot be built
// is left out rather than failing the whole list.
bool BuildStandardAcl(PACL acl) {
    const AllowedEntry entries[] = {
        {SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, GENERIC_READ},
        {SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
         GENERIC_ALL},
        {SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID, 0, GENERIC_ALL},
        {SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SERVICE_RID, 0, GENERIC_ALL},
        {SECURITY_NT_AUTHORITY, 1, SECURITY_NETWORK_SERVICE_RID, 0, GENERIC_ALL},
    };
    if (!InitializeAcl(acl, kAclSize, ACL_REVISION)) {
        return false;
    }
    for (const AllowedEntry& entry : entries) {
        SID_IDENTIFIER_AUTHORITY authority = entry.authority;
        PSID sid = nullptr;
        if (!AllocateAndInitializeSid(&authority, entry.subAuthorityCount, entry.subAuthority0,
                                      entry.subAuthority1, 0, 0, 0, 0, 0, 0, &sid)) {
            continue;
        }
        AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                              entry.access, sid);
        FreeSid(sid);
    }
    return true;
}

// Opens (creating) subkey of parent, sets its access list, then does the same for each of its
// subkeys, depth first. Returns 0 or the first failing call's code; a failure on one key does
// not stop the others.
LONG ApplySecurityTree(HKEY parent, const char* subkey, PSECURITY_DESCRIPTOR descriptor) {
    UniqueKey key;
    LONG first = RegCreateKeyExA(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 MAXIMUM_ALLOWED | RegistryViewFlag(), nullptr, key.put(), nullptr);
    if (first != ERROR_SUCCESS) {
        return first;
    }
    first = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
    char name[kSubkeyNameChars + 1];
    for (DWORD index = 0;; ++index) {
        DWORD length = kSubkeyNameChars + 1;
        const LONG code =
            RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (code == ERROR_NO_MORE_ITEMS) {
            break;
        }
        LONG result = code;
        if (code == ERROR_SUCCESS) {
            result = ApplySecurityTree(key.get(), name, descriptor);
        } else if (code != ERROR_MORE_DATA) {
            if (first == ERROR_SUCCESS) {
                first = code;
            }
            break;
        }
        if (first == ERROR_SUCCESS) {
            first = result;
        }
    }
    return first;
}

} // namespace

RegistryReadBatch::RegistryReadBatch() {
    if (t_heldKeys == nullptr) {
        own_ = new (std::nothrow) HeldKeys;
        t_heldKeys = own_; // without memory, reads open their keys as they always do
    }
}

RegistryReadBatch::~RegistryReadBatch() {
    if (own_ != nullptr) {
        ForgetHeldKeys();
        t_heldKeys = nullptr;
        delete own_;
    }
}

RegistryConnector SetRegistryConnector(RegistryConnector connector) {
    const RegistryConnector previous = g_connector;
    g_connector = connector != nullptr ? connector : ConnectRemoteRegistry;
    return previous;
}

HKEY RegistryFocusRoot() {
    return g_root;
}

REGSAM RegistryViewFlag() {
    static const REGSAM flag = DetectViewFlag();
    return flag;
}

bool SetRegistryFocus(const char* machine) {
    ForgetHeldKeys();
    if (g_root != HKEY_LOCAL_MACHINE) {
        RegCloseKey(g_root);
        g_root = HKEY_LOCAL_MACHINE;
    }
    g_machine[0] = '\0';
    if (machine == nullptr || machine[0] == '\0') {
        return Report(ERROR_SUCCESS);
    }

    char networkName[kNetworkNameSize];
    FormNetworkName(machine, networkName);
    char localName[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD localLength = sizeof localName;
    if (GetComputerNameA(localName, &localLength)) {
        char localNetworkName[kNetworkNameSize];
        FormNetworkName(localName, localNetworkName);
        if (lstrcmpiA(networkName, localNetworkName) == 0) {
            return Report(ERROR_SUCCESS);
        }
    }

    wchar_t wideName[kWideNetworkNameChars + 1];
    if (MultiByteToWideChar(CP_ACP, 0, networkName, -1, wideName, kWideNetworkNameChars + 1) == 0) {
        return Report(static_cast<LONG>(GetLastError()));
    }
    HKEY root = nullptr;
    const LONG code = g_connector(wideName, &root);
    if (code != ERROR_SUCCESS || root == nullptr) {
        return Report(code != ERROR_SUCCESS ? code : ERROR_INVALID_HANDLE);
    }
    g_root = root;
    std::snprintf(g_machine, sizeof g_machine, "%s", machine);
    return Report(ERROR_SUCCESS);
}

const char* RegistryFocusMachine() {
    return g_machine;
}

bool KeyExists(const char* path) {
    ReadKey key;
    return Report(OpenForReading(path, key));
}

bool DeleteKey(const char* path) {
    ForgetHeldKeys();
    char resolved[kResolvedPathSize];
    const LONG code = ResolveOrFail(path, resolved);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    // An empty path names the root itself; on a stand-in machine that is a real key.
    if (resolved[0] == '\0') {
        return Report(ERROR_INVALID_PARAMETER);
    }
    const REGSAM view = RegistryViewFlag();
    if (view != 0) {
        // RegDeleteKeyA would delete in the process's own view; the -Ex form exists wherever a
        // second view does.
        using RegDeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);
        const auto deleteKeyEx =
            FindExport<RegDeleteKeyExFunction>("advapi32.dll", "RegDeleteKeyExA");
        if (deleteKeyEx != nullptr) {
            return Report(deleteKeyEx(g_root, resolved, view, 0));
        }
    }
    return Report(RegDeleteKeyA(g_root, resolved));
}

void SecureKeyTree(const char* path) {
    char resolved[kResolvedPathSize];
    LONG code = ResolveOrFail(path, resolved);
    if (code != ERROR_SUCCESS) {
        Report(code);
        return;
    }
    // The list is built in place; an ACL must be DWORD aligned.
    alignas(DWORD) BYTE aclBytes[kAclSize];
    const PACL acl = reinterpret_cast<PACL>(aclBytes);
    SECURITY_DESCRIPTOR descriptor;
    if (!BuildStandardAcl(acl) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        return;
    }
    Report(ApplySecurityTree(g_root, resolved, &descriptor));
}

bool WriteValue(const char* path, const char* name, uint32_t type, const void* data,
                uint32_t size) {
    UniqueKey key;
    LONG code = CreateKey(path, key);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    if (data != nullptr && size != 0) {
        code = RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
    } else {
        code = RegDeleteValueA(key.get(), name);
    }
    return Report(code);
}

bool WriteString(const char* path, const char* name, const char* text) {
    if (text == nullptr) {
        return WriteValue(path, name, kRegString, nullptr, 0);
    }
    const size_t length = std::strlen(text);
    if (length >= MAXDWORD) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    // The terminating zero is stored with the text.
    return WriteValue(path, name, kRegString, text, static_cast<uint32_t>(length + 1));
}

bool WriteFormatted(const char* path, const char* name, const char* format, ...) {
    if (format == nullptr) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    char text[kFormattedChars + 1];
    text[0] = '\0';
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // Some C runtimes neither terminate a cut text nor return its length; the cut text is
    // stored either way.
    text[kFormattedChars] = '\0';
    return WriteString(path, name, text);
}

bool WriteNumber(const char* path, const char* name, uint32_t value) {
    const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                           static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    return WriteValue(path, name, kRegNumber, bytes, sizeof bytes);
}

bool WriteBinary(const char* path, const char* name, const void* bytes, uint32_t size) {
    return WriteValue(path, name, kRegBinary, bytes, size);
}

bool WriteBoolean(const char* path, const char* name, bool flag) {
    return flag ? WriteValue(path, name, kRegString, "True", 5)
                : WriteValue(path, name, kRegString, "False", 6);
}

bool DeleteValue(const char* path, const char* name) {
    UniqueKey key;
    const LONG code = OpenKey(path, kWriteAccess, key);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    return Report(RegDeleteValueA(key.get(), name));
}

uint32_t ReadNumber(const char* path, const char* name, uint32_t defaultValue) {
    ReadKey key;
    LONG code = OpenForReading(path, key);
    if (code != ERROR_SUCCESS) {
        Report(code);
        return defaultValue;
    }
    // The wide read returns the bytes as stored: a string is UTF-16 with its terminating zero,
    // so only the empty string and one-character strings fit. The 8-bit read would convert
    // first and let a two-character string fit as well.
    WideValueName wideName;
    code = wideName.Convert(name);
    if (code != ERROR_SUCCESS) {
        Report(code);
        return defaultValue;
    }
    BYTE data[4] = {};
    DWORD size = sizeof data;
    code = RegQueryValueExW(key.get(), wideName.get(), nullptr, nullptr, data, &size);
    if (!Report(code)) {
        return defaultValue;
    }
    return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
           static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

bool QueryValueForm(const char* path, const char* name, uint32_t* type, uint32_t* size) {
    *type = 0;
    *size = 0;
    ReadKey key;
    LONG code = OpenForReading(path, key);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    WideValueName wideName;
    code = wideName.Convert(name);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    DWORD storedType = 0;
    DWORD storedSize = 0;
    code = RegQueryValueExW(key.get(), wideName.get(), nullptr, &storedType, nullptr, &storedSize);
    if (code == ERROR_SUCCESS) {
        *type = storedType;
        *size = storedSize;
    }
    return Report(code);
}

uint32_t ReadBoolean(const char* path, const char* name, uint32_t defaultValue) {
    switch (JudgeBooleanNumber(ReadNumber(path, name, kBooleanUnread))) {
    case BooleanJudgement::False:
        return 0;
    case BooleanJudgement::True:
        return 1;
    case BooleanJudgement::ReadAsText:
        break;
    }
    char* text = ReadStringCopy(path, name, nullptr);
    if (text == nullptr) {
        return defaultValue;
    }
    const bool flag = JudgeBooleanText(text);
    FreeStringCopy(text);
    return flag ? 1 : 0;
}

bool ReadString(const char* path, const char* name, char* buffer, size_t limit,
                const char* defaultText) {
    if (buffer == nullptr || limit == 0) {
        if (buffer != nullptr) {
            buffer[0] = '\0';
        }
        return Report(ERROR_INVALID_PARAMETER);
    }
    FillDefault(buffer, limit, defaultText);
    ReadKey key;
    LONG code = OpenForReading(path, key);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    // At most limit - 1 bytes, so that the two zeros written after the data stay in the
    // limit + 1 bytes of the buffer.
    DWORD size = ClampToDword(limit - 1);
    code =
        RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    if (code != ERROR_SUCCESS) {
        // A failed read may have written part of the data.
        FillDefault(buffer, limit, defaultText);
        return Report(code);
    }
    buffer[size] = '\0';
    buffer[size + 1] = '\0';
    return Report(ERROR_SUCCESS);
}

char* ReadStringCopy(const char* path, const char* name, char* defaultPointer) {
    ReadKey key;
    LONG code = OpenForReading(path, key);
    if (code != ERROR_SUCCESS) {
        Report(code);
        return defaultPointer;
    }
    DWORD size = 0;
    code = RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, &size);
    if (code != ERROR_SUCCESS) {
        Report(code);
        return defaultPointer;
    }
    if (size > MAXDWORD - 2) {
        Report(ERROR_NOT_ENOUGH_MEMORY);
        return defaultPointer;
    }
    // Zero-filled, with two spare zero bytes after the longest data the value can return.
    char* copy = static_cast<char*>(LocalAlloc(LPTR, static_cast<SIZE_T>(size) + 2));
    if (copy == nullptr) {
        return defaultPointer;
    }
    code =
        RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(copy), &size);
    if (code != ERROR_SUCCESS) {
        LocalFree(copy);
        Report(code);
        return defaultPointer;
    }
    Report(ERROR_SUCCESS);
    return copy;
}

void FreeStringCopy(char* copy) {
    if (copy != nullptr) {
        const DWORD error = GetLastError();
        LocalFree(copy);
        SetLastError(error);
    }
}

bool ReadBinary(const char* path, const char* name, void* buffer, uint32_t size) {
    if (buffer == nullptr && size != 0) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    if (size != 0) {
        std::memset(buffer, 0, size);
    }
    ReadKey key;
    LONG code = OpenForReading(path, key);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    // With no buffer at all the call would report the size instead of reading.
    BYTE none = 0;
    BYTE* data = size != 0 ? static_cast<BYTE*>(buffer) : &none;
    DWORD got = size;
    code = RegQueryValueExA(key.get(), name, nullptr, nullptr, data, &got);
    if (code != ERROR_SUCCESS && size != 0) {
        std::memset(buffer, 0, size);
    }
    return Report(code);
}

bool EnumerateValue(const char* path, char* name, size_t nameSize, void* data, size_t dataSize,
                    uint32_t* type, uint32_t index) {
    if (type != nullptr) {
        *type = 0;
    }
    if (name == nullptr || nameSize == 0) {
        if (name != nullptr) {
            name[0] = '\0';
        }
        return Report(ERROR_INVALID_PARAMETER);
    }
    std::memset(name, 0, nameSize + 1);
    if (data != nullptr) {
        std::memset(data, 0, dataSize + 1);
    }
    ReadKey key;
    LONG code = OpenForReading(path, key);
    if (code != ERROR_SUCCESS) {
        return Report(code);
    }
    DWORD nameLength = ClampToDword(nameSize);
    DWORD dataLength = ClampToDword(dataSize);
    DWORD valueType = 0;
    code = RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &valueType,
                         static_cast<BYTE*>(data), data != nullptr ? &dataLength : nullptr);
    if (code != ERROR_SUCCESS) {
        std::memset(name, 0, nameSize + 1);
        if (data != nullptr) {
            std::memset(data, 0, dataSize + 1);
        }
        return Report(code);
    }
    name[nameLength] = '\0';
    if (type != nullptr) {
        *type = valueType;
    }
    if (data != nullptr &&
        (valueType == REG_SZ || valueType == REG_EXPAND_SZ || valueType == REG_MULTI_SZ)) {
        static_cast<char*>(data)[dataLength] = '\0';
    }
    return Report(ERROR_SUCCESS);
}

bool SetPrivilege(const char* privilege, bool enable) {
    if (privilege == nullptr) {
        return Report(ERROR_INVALID_PARAMETER);
    }
    UniqueKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token.put())) {
        return false;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueA(nullptr, privilege, &privileges.Privileges[0].Luid)) {
        return false;
    }
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    if (!AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr,
                               nullptr)) {
        return false;
    }
    // The adjustment succeeds also for a privilege the token lacks, and then says 1300.
    return GetLastError() == ERROR_SUCCESS;
}

bool CanEnablePrivilege(const char* privilege) {
    if (!SetPrivilege(privilege, true)) {
        return false;
    }
    SetPrivilege(privilege, false);
    return true;
}
