#include "bench/remote_registry/bench_remote_machine_win.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>

#include "bench/remote_registry/bench_remote_registry_win.h"
#include "config/registry_win.h"

namespace {

std::mutex g_lock;
std::map<std::string, BenchMachineFacts> g_machines;
std::vector<std::string> g_calls;

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) {
        out += static_cast<char>(*text < 0x80 ? *text : '?');
    }
    return out;
}

// The facts of a machine and the call logged; false for an unknown machine.
bool Find(const std::string& machine, const std::string& call, BenchMachineFacts* facts) {
    std::lock_guard<std::mutex> hold(g_lock);
    const std::string name = Upper(machine);
    g_calls.push_back(call + " " + name);
    auto it = g_machines.find(name);
    if (it == g_machines.end() || !it->second.reachable) {
        return false;
    }
    *facts = it->second;
    return true;
}

void AppendToLastCall(const std::string& text) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_calls.empty()) {
        g_calls.back() += " " + text;
    }
}

DWORD BenchServerInfo(const wchar_t* server, ServerInfo101* info) {
    BenchMachineFacts facts;
    const std::string name = Narrow(server);
    if (!Find(name.size() > 2 ? name.substr(2) : name, "ServerInfo", &facts)) {
        return ERROR_BAD_NETPATH;
    }
    *info = facts.serverInfo;
    return ERROR_SUCCESS;
}

SC_HANDLE BenchServiceManager(const char* machine, DWORD access) {
    BenchMachineFacts facts;
    if (!Find(machine, "ServiceManager", &facts)) {
        SetLastError(ERROR_BAD_NETPATH);
        return nullptr;
    }
    if (!facts.localServiceManager) {
        AppendToLastCall("refused");
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    AppendToLastCall("local");
    return OpenSCManagerA(nullptr, nullptr, access);
}

bool Fits(int length, size_t size) {
    if (length < 0 || static_cast<size_t>(length) >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool BenchSystemFolder(const char* machine, char* folder, size_t size) {
    BenchMachineFacts facts;
    if (!Find(machine, "SystemFolder", &facts) || facts.systemFolder.empty()) {
        SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    return Fits(std::snprintf(folder, size, "%s\\", facts.systemFolder.c_str()), size);
}

bool BenchDrivePath(const char* machine, const char* path, char* out, size_t size) {
    BenchMachineFacts facts;
    if (!Find(machine, "DrivePath", &facts) || facts.driveRoot.empty()) {
        SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    AppendToLastCall(path);
    const char* rest = path[0] != '\0' && path[1] == ':' ? path + 2 : path;
    return Fits(std::snprintf(out, size, "%s%s%s", facts.driveRoot.c_str(),
                              rest[0] == '\\' ? "" : "\\", rest),
                size);
}

bool BenchTimeOfDay(const char* machine, int64_t* offset) {
    BenchMachineFacts facts;
    if (!Find(machine, "TimeOfDay", &facts) || !facts.answersTimeOfDay) {
        SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    *offset = facts.timeOfDayOffset;
    SetLastError(ERROR_SUCCESS);
    return true;
}

LONG BenchConnect(const wchar_t* networkName, HKEY* root) {
    BenchMachineFacts facts;
    const std::string name = Narrow(networkName);
    if (!Find(name.size() > 2 ? name.substr(2) : name, "Registry", &facts)) {
        *root = nullptr;
        return ERROR_BAD_NETPATH;
    }
    if (!facts.registryRefusesWrites) {
        return ConnectBenchMachine(networkName, root);
    }
    // A key deleted while its handle stays open: reads find nothing, writes fail.
    const char* scratch = "Software\\HorologixBench\\DeletedRoot";
    HKEY key = nullptr;
    LONG code = RegCreateKeyExA(HKEY_LOCAL_MACHINE, scratch, 0, nullptr, 0,
                                KEY_ALL_ACCESS | RegistryViewFlag(), nullptr, &key, nullptr);
    if (code != ERROR_SUCCESS) {
        *root = nullptr;
        return code;
    }
    code = DeleteRegistryTree(HKEY_LOCAL_MACHINE, scratch);
    if (code != ERROR_SUCCESS) {
        RegCloseKey(key);
        *root = nullptr;
        return code;
    }
    *root = key;
    return ERROR_SUCCESS;
}

const RemoteMachineAccess kBenchAccess = {BenchServerInfo, BenchServiceManager, BenchSystemFolder,
                                          BenchDrivePath, BenchTimeOfDay};

} // namespace

void InstallBenchRemoteMachines() {
    SetRemoteMachineAccess(&kBenchAccess);
    SetRegistryConnector(BenchConnect);
}

void RemoveBenchRemoteMachines() {
    SetRemoteMachineAccess(nullptr);
    SetRegistryConnector(nullptr);
    std::lock_guard<std::mutex> hold(g_lock);
    for (const auto& machine : g_machines) {
        RemoveBenchMachine(machine.first.c_str());
    }
    g_machines.clear();
    g_calls.clear();
}

void SetBenchMachineFacts(const char* machine, const BenchMachineFacts& facts) {
    AddBenchMachine(machine);
    std::lock_guard<std::mutex> hold(g_lock);
    g_machines[Upper(machine)] = facts;
}

std::vector<std::string> BenchRemoteCalls() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_calls;
}

void ClearBenchRemoteCalls() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_calls.clear();
}
