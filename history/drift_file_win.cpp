#include "history/drift_file_win.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "common/unique_handle_win.h"
#include "timesrc/ntp_source.h"

namespace {

// Writer state, one of each per process. The lock is a mutex because every wait is bounded.
HANDLE g_lock = nullptr;
HANDLE g_file = INVALID_HANDLE_VALUE;
MachineFolderResolver g_resolver = nullptr;

// Records read per block by FindDriftRecordAfter: 20 KB, a whole number of records.
constexpr size_t kFindBlockRecords = 1024;

constexpr DWORD kFileAttributes = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

struct SidTraits {
    using Handle = PSID;
    static Handle Empty() { return nullptr; }
    static void Close(Handle h) { FreeSid(h); }
};
using UniqueSid = UniqueHandle<SidTraits>;

// Holds the writer's lock for one operation.
class DriftLock {
public:
    DriftLock() : lock_(g_lock) {
        if (lock_ != nullptr) {
            const DWORD wait = WaitForSingleObject(lock_, kDriftLockWaitMs);
            // An abandoned lock is ours now; whatever its owner left half done, the next append
            // repairs.
            held_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    DriftLock(const DriftLock&) = delete;
    DriftLock& operator=(const DriftLock&) = delete;
    ~DriftLock() {
        if (held_) {
            ReleaseMutex(lock_);
        }
    }
    explicit operator bool() const { return held_; }

private:
    HANDLE lock_;
    bool held_ = false;
};

bool AdminShareFolder(const char* machine, char* folder, size_t size) {
    const int length = std::snprintf(folder, size, "\\\\%s\\admin$\\system32\\", machine);
    return length > 0 && static_cast<size_t>(length) < size;
}

bool EnsureLock() {
    if (g_lock != nullptr) {
        return true;
    }
    HANDLE lock = CreateMutexA(nullptr, FALSE, nullptr);
    if (lock == nullptr) {
        return false;
    }
    if (InterlockedCompareExchangePointer(&g_lock, lock, nullptr) != nullptr) {
        CloseHandle(lock); // another thread made one first
    }
    return true;
}

void CloseFileHandle() {
    if (g_file != INVALID_HANDLE_VALUE) {
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
    }
}

HANDLE CreateDriftFile(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_ALWAYS, kFileAttributes, nullptr);
}

bool CreateIfMissing(const char* path) {
    UniqueFile file(CreateDriftFile(path));
    return static_cast<bool>(file);
}

bool SeekTo(uint64_t offset) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(g_file, position, nullptr, FILE_BEGIN) != FALSE;
}

// Reads exactly size bytes from the current position; false on a failed or short read.
bool ReadExactly(uint8_t* buffer, DWORD size) {
    DWORD done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!ReadFile(g_file, buffer + done, size - done, &got, nullptr) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

bool WriteExactly(const uint8_t* buffer, DWORD size) {
    DWORD written = 0;
    return WriteFile(g_file, buffer, size, &written, nullptr) && written == size;
}

// Moves the newest kDriftKeepRecords records, which start at keepFrom, to the start of the file
// and cuts it after them. The data are written and flushed before the cut, so a crash in between
// leaves the old records twice rather than none. False, with the file untouched or still whole
// records, when the trim could not be done.
bool KeepNewestRecords(uint64_t keepFrom) {
    uint8_t* kept = new (std::nothrow) uint8_t[kDriftKeepBytes];
    if (kept == nullptr) {
        return false;
    }
    const bool done = SeekTo(keepFrom) && ReadExactly(kept, kDriftKeepBytes) && SeekTo(0) &&
                      WriteExactly(kept, kDriftKeepBytes) && FlushFileBuffers(g_file) &&
                      SetEndOfFile(g_file);
    delete[] kept;
    return done;
}

// The system's clock adjustment per tick minus its increment per tick, in 100 ns units.
int64_t PhaseAdjustNow() {
    DWORD adjustment = 0;
    DWORD increment = 0;
    BOOL disabled = FALSE;
    if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) {
        return 0;
    }
    return static_cast<int64_t>(adjustment) - static_cast<int64_t>(increment);
}

uint32_t SourceAddress(const char* sourceText) {
    // A source may carry its port ("host:port"); the record keeps the host's address.
    char host[kSourceHostSize];
    uint16_t port = 0;
    const char* sourceName = sourceText;
    if (sourceText != nullptr &&
        ParseSourceText(sourceText, host, &port) == SourceTextStatus::kOk) {
        sourceName = host;
    }
    uint32_t address = 0;
    if (SourceAddressFromText(sourceName, &address)) {
        return address;
    }
    address = 0xFFFFFFFFu;
    if (sourceName == nullptr || sourceName[0] == '\0') {
        return address;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(sourceName, nullptr, &hints, &found) == 0) {
        for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
                std::memcpy(&address, &in->sin_addr, 4);
                break;
            }
        }
        freeaddrinfo(found);
    }
    return address;
}

} // namespace

MachineFolderResolver SetMachineFolderResolver(MachineFolderResolver resolver) {
    const MachineFolderResolver previous = g_resolver;
    g_resolver = resolver;
    return previous;
}

bool DriftFilePath(const char* machine, char* path, size_t size) {
    char folder[MAX_PATH + 1];
    if (machine == nullptr || machine[0] == '\0') {
        const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            if (length != 0) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
            }
            return false;
        }
        folder[length] = '\\';
        folder[length + 1] = '\0';
    } else {
        const MachineFolderResolver resolver =
            g_resolver != nullptr ? g_resolver : AdminShareFolder;
        if (!resolver(machine, folder, sizeof(folder))) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
    }
    const int length = std::snprintf(path, size, "%s%s", folder, kDriftFileName);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool OpenDriftFile(const char* machine) {
    char path[MAX_PATH + 16];
    if (!DriftFilePath(machine, path, sizeof(path))) {
        return false;
    }
    return OpenDriftFileAt(path);
}

bool OpenDriftFileAt(const char* path) {
    if (!EnsureLock()) {
        const DWORD error = GetLastError();
        CloseFileHandle();
        SetLastError(error);
        return false;
    }
    DWORD error = 0;
    {
        DriftLock lock;
        if (!lock) {
            // The handle stays as it is: the thread that holds the lock may be using it.
            SetLastError(WAIT_TIMEOUT);
            return false;
        }
        if (g_file == INVALID_HANDLE_VALUE) {
            SecureDriftFile(path);
            g_file = CreateDriftFile(path);
            error = GetLastError();
        }
    }
    const bool open = g_file != INVALID_HANDLE_VALUE;
    SetLastError(open ? 0 : error);
    return open;
}

void CloseDriftFile() {
    if (g_lock == nullptr) {
        return;
    }
    const DWORD wait = WaitForSingleObject(g_lock, kDriftLockWaitMs);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
        return;
    }
    CloseFileHandle();
    HANDLE lock = g_lock;
    g_lock = nullptr;
    ReleaseMutex(lock);
    CloseHandle(lock);
}

void AppendDriftRecord(int64_t varianceMs, uint32_t checkTime, uint32_t corrected,
                       CheckReason reason, const char* sourceName, uint8_t role) {
    // A host name lookup can take seconds: done before the lock, so that management requests
    // are not held up by it.
    const uint32_t address = SourceAddress(sourceName);
    const DriftRecord record =
        MakeDriftRecord(varianceMs, checkTime, corrected, reason, address, role, PhaseAdjustNow());
    uint8_t bytes[kDriftRecordSize];
    EncodeDriftRecord(record, bytes);

    DriftLock lock;
    if (!lock || g_file == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(g_file, &size)) {
        return;
    }
    const DriftAppendPlan plan = PlanDriftAppend(static_cast<uint64_t>(size.QuadPart));
    uint64_t writeAt = plan.wholeBytes;
    if (plan.trim && KeepNewestRecords(plan.keepFrom)) {
        writeAt = kDriftKeepBytes;
    }
    // Written at the end of the last whole record and cut right after: that also drops a torn
    // record left by a crash.
    if (SeekTo(writeAt)) {
        WriteExactly(bytes, sizeof(bytes));
        FlushFileBuffers(g_file);
        SetEndOfFile(g_file);
    }
}

size_t ReadNewestDriftRecords(DriftRecord* records, size_t capacity) {
    DriftLock lock;
    LARGE_INTEGER size;
    if (!lock || g_file == INVALID_HANDLE_VALUE || capacity == 0 || !GetFileSizeEx(g_file, &size)) {
        return 0;
    }
    const uint64_t whole = static_cast<uint64_t>(size.QuadPart) / kDriftRecordSize;
    const uint64_t count = whole < capacity ? whole : capacity;
    if (count == 0 || !SeekTo((whole - count) * kDriftRecordSize)) {
        return 0;
    }
    uint8_t block[kFindBlockRecords * kDriftRecordSize];
    size_t done = 0;
    while (done < count) {
        const size_t want = count - done < kFindBlockRecords ? count - done : kFindBlockRecords;
        if (!ReadExactly(block, static_cast<DWORD>(want * kDriftRecordSize))) {
            return 0;
        }
        for (size_t i = 0; i < want; ++i) {
            DecodeDriftRecord(block + i * kDriftRecordSize, &records[done + i]);
        }
        done += want;
    }
    return done;
}

bool FindDriftRecordAfter(uint32_t after, DriftRecord* record) {
    *record = DriftRecord{};
    DriftLock lock;
    if (!lock || g_file == INVALID_HANDLE_VALUE || !SeekTo(0)) {
        return false;
    }
    // Whole blocks of records: a search reads the file in a few calls instead of one per record,
    // and stops at the first short or failed read as a record-by-record scan would.
    uint8_t block[kFindBlockRecords * kDriftRecordSize];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(g_file, block, sizeof(block), &got, nullptr)) {
            return false;
        }
        if (FindRecordAfterInBlock(block, got, after, record)) {
            return true;
        }
        if (got < sizeof(block)) {
            return false;
        }
    }
}

namespace {

void EmptyFile(HANDLE file) {
    FlushFileBuffers(file);
    LARGE_INTEGER start{};
    if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        SetEndOfFile(file);
    }
}

} // namespace

void ClearDriftFile() {
    DriftLock lock;
    if (!lock || g_file == INVALID_HANDLE_VALUE) {
        return;
    }
    EmptyFile(g_file);
}

void ClearDriftFileOf(const char* machine) {
    char path[MAX_PATH + 1];
    if (!DriftFilePath(machine, path, sizeof(path))) {
        return;
    }
    UniqueFile file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        EmptyFile(file.get());
    }
}

PACL BuildDriftFileAcl() {
    struct Principal {
        SID_IDENTIFIER_AUTHORITY authority;
        BYTE subCount;
        DWORD sub0;
        DWORD sub1;
        DWORD inheritedRights;
        DWORD directRights;
    };
    // Everyone may read and run; the administrators and the service accounts have full control.
    const Principal principals[] = {
        {SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, 0x001200A9,
         GENERIC_READ | GENERIC_EXECUTE},
        {SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
         GENERIC_ALL, GENERIC_ALL},
        {SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID, 0, GENERIC_ALL, GENERIC_ALL},
        {SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SERVICE_RID, 0, GENERIC_ALL, GENERIC_ALL},
        {SECURITY_NT_AUTHORITY, 1, SECURITY_NETWORK_SERVICE_RID, 0, GENERIC_ALL, GENERIC_ALL},
    };
    constexpr size_t kCount = sizeof(principals) / sizeof(principals[0]);
    UniqueSid sids[kCount];
    DWORD aclSize = sizeof(ACL);
    DWORD built = 0;
    DWORD error = 0;
    for (size_t i = 0; i < kCount; ++i) {
        SID_IDENTIFIER_AUTHORITY authority = principals[i].authority;
        if (!AllocateAndInitializeSid(&authority, principals[i].subCount, principals[i].sub0,
                                      principals[i].sub1, 0, 0, 0, 0, 0, 0, sids[i].put())) {
            error = GetLastError();
            continue;
        }
        aclSize += 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sids[i].get()));
        ++built;
    }
    if (built == 0) {
        SetLastError(error);
        return nullptr;
    }
    UniqueLocal memory(LocalAlloc(LPTR, aclSize));
    PACL acl = static_cast<PACL>(memory.get());
    if (acl == nullptr || !InitializeAcl(acl, aclSize, ACL_REVISION)) {
        return nullptr;
    }
    for (size_t i = 0; i < kCount; ++i) {
        if (!sids[i]) {
            continue;
        }
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   principals[i].inheritedRights, sids[i].get()) ||
            !AddAccessAllowedAceEx(acl, ACL_REVISION, 0, principals[i].directRights,
                                   sids[i].get())) {
            return nullptr;
        }
    }
    memory.release();
    return acl;
}

bool SecureDriftFile(const char* path) {
    UniqueLocal acl(BuildDriftFileAcl());
    if (!acl) {
        return false;
    }
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, static_cast<PACL>(acl.get()), FALSE)) {
        return false;
    }
    const bool created = CreateIfMissing(path);
    SetLastError(0);
    const bool applied = SetFileSecurityA(path, DACL_SECURITY_INFORMATION, &descriptor) != FALSE;
    const DWORD error = GetLastError();
    if (!created) {
        CreateIfMissing(path);
    }
    SetLastError(error);
    return applied;
}
