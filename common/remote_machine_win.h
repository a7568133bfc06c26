// What the applet and the installer reach on another machine besides its registry: its network
// server information, its service control manager, its files through the administrative shares
// and its time of day. Each goes through one replaceable function, so that tests can aim them at
// the bench's stand-in machines: Wine reaches no other machine, and makes some remote calls
// (the service manager) quietly local.
//
// Machine names are the applet's TargetMachine: a bare computer name, or null or "" for this
// machine. Every operation leaves the failing call's Windows error as the thread's last error
// (0 on success).
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

// The fields of a machine's level-101 network server information that the program reads.
struct ServerInfo101 {
    uint32_t platformId;   // 500 for NT
    uint32_t versionMajor; // the low four bits are the major version
    uint32_t versionMinor;
    uint32_t type; // server type bits (0x1000 NT, 0x1 workstation, ...)
};

// One set of the operations below. A null member means the system's own.
struct RemoteMachineAccess {
    // Server information of "\\NAME" (UTF-16, at most 512 characters); null for this machine.
    // Returns 0 or the Windows error of the call.
    DWORD (*readServerInfo)(const wchar_t* server, ServerInfo101* info);
    // The service control manager of a machine, opened with access; null with last error.
    SC_HANDLE (*openServiceManager)(const char* machine, DWORD access);
    // The folder holding a remote machine's system files, with a trailing backslash
    // ("\\NAME\admin$\system32\"); false when it does not fit in size (last error 206).
    bool (*systemFolder)(const char* machine, char* folder, size_t size);
    // A path on a remote machine ("C:\dir\file") as this machine reaches it through the
    // administrative share of its drive ("\\NAME\C$\dir\file"); false when it does not fit.
    bool (*drivePath)(const char* machine, const char* path, char* out, size_t size);
    // How far a remote machine's clock is ahead of this one's, in 100 ns units, through the
    // LAN Manager remote time-of-day call; false when the machine does not answer.
    bool (*remoteTimeOfDay)(const char* machine, int64_t* offset);
};

// Replaces the operations (null restores the system's own) and returns the set in use before.
// Change it only while no applet or installer thread is running.
const RemoteMachineAccess* SetRemoteMachineAccess(const RemoteMachineAccess* access);

// The operations, through the set in use.
DWORD ReadServerInfo(const char* machine, ServerInfo101* info); // null or "": this machine
SC_HANDLE OpenMachineServiceManager(const char* machine, DWORD access);
// The system folder of a machine with a trailing backslash: the local one for null or "".
bool MachineSystemFolder(const char* machine, char* folder, size_t size);
// A path on a machine as reached from here: unchanged for null or "".
bool MachineDrivePath(const char* machine, const char* path, char* out, size_t size);
bool RemoteTimeOfDay(const char* machine, int64_t* offset);
