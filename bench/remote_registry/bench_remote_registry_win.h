// Stand-in remote machines for tests: a named machine's HKEY_LOCAL_MACHINE is a subtree of this
// machine's registry, reached through the registry layer's connection seam, so that code aimed
// at another machine can be tested on one Wine prefix.
#pragma once
#include <windows.h>

// Each stand-in machine NAME is the key kBenchMachinesKey\NAME below HKEY_LOCAL_MACHINE (in the
// same registry view as the layer uses).
constexpr const char* kBenchMachinesKey = "Software\\HorologixBench\\Machines";

// Makes SetRegistryFocus reach stand-in machines instead of the network; RemoveBenchRemoteRegistry
// restores the real connection.
void InstallBenchRemoteRegistry();
void RemoveBenchRemoteRegistry();

// The connector itself: "\\NAME" (any case) opens the stand-in machine NAME; a name that is no
// stand-in answers 53, as an unreachable machine does.
LONG ConnectBenchMachine(const wchar_t* networkName, HKEY* root);

// Creates the stand-in machine with an empty HKEY_LOCAL_MACHINE if it does not exist. False,
// with last error 123, for an empty name, one with a backslash or one over 127 characters.
bool AddBenchMachine(const char* machine);
// Deletes every key and value of the machine's HKEY_LOCAL_MACHINE; the machine stays known.
bool ClearBenchMachine(const char* machine);
// Deletes the machine (also its parent keys once no machine is left); true also when it did
// not exist.
bool RemoveBenchMachine(const char* machine);

// Deletes path below root with all its subkeys, in the layer's registry view: 0 or the registry
// error (2 when the key does not exist).
LONG DeleteRegistryTree(HKEY root, const char* path);
