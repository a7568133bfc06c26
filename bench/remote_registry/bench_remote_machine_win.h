// Stand-in remote machines beyond their registry: the network server information, the service
// control manager, the administrative shares and the remote time of day of a named machine, each
// answered here instead of by the network. Every call is logged, so that a test can tell a call
// that reached a stand-in from one that never happened; Wine would otherwise make some remote
// calls (the service manager) quietly local.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/remote_machine_win.h"

struct BenchMachineFacts {
    // Server information; reachable false answers every call with 53 (network path not found).
    bool reachable = true;
    ServerInfo101 serverInfo{500, 6, 1, 0x1003}; // an NT 6.1 workstation and server
    // The service manager: refused (1722, RPC server unavailable) unless the test lets the local
    // manager play the remote machine's, which the log then records.
    bool localServiceManager = false;
    // Files: the folder of this machine that plays the remote machine's system folder, and the
    // one that plays the root of its drive C ("" refuses with 53).
    std::string systemFolder;
    std::string driveRoot;
    // The remote time of day; false: the machine does not answer (53).
    bool answersTimeOfDay = false;
    long long timeOfDayOffset = 0; // 100 ns units ahead of this machine
    // The registry connects, but to a key that is already deleted, so every write fails (error
    // 1018): a registry that fails the applet's access test. (Wine does not enforce registry
    // access rights, so a read-only connection would not do.)
    bool registryRefusesWrites = false;
};

// Makes the applet's remote operations (and the registry layer's connection) reach stand-in
// machines; RemoveBenchRemoteMachines restores the system's own and forgets every machine.
void InstallBenchRemoteMachines();
void RemoveBenchRemoteMachines();
// Declares a machine with its facts (also its empty registry, see the remote registry).
void SetBenchMachineFacts(const char* machine, const BenchMachineFacts& facts);

// Every remote call since the last ClearBenchRemoteCalls, as "ServerInfo NAME",
// "ServiceManager NAME local", "ServiceManager NAME refused", "SystemFolder NAME",
// "DrivePath NAME PATH", "TimeOfDay NAME", "Registry NAME"; NAME in upper case.
std::vector<std::string> BenchRemoteCalls();
void ClearBenchRemoteCalls();
