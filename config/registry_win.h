// Windows side of the registry layer: the focused machine's root key, the registry view the
// layer opens, and the replaceable remote connection that tests aim at stand-in machines.
#pragma once
#include <windows.h>

#include "config/registry.h"

// Connects to HKEY_LOCAL_MACHINE of another machine. networkName is "\\NAME" in UTF-16; on
// success returns 0 and a root key that the layer closes with RegCloseKey when the focus moves
// on, otherwise a Windows error code (53 for a machine that cannot be reached).
using RegistryConnector = LONG (*)(const wchar_t* networkName, HKEY* root);

// Replaces the remote connection used by SetRegistryFocus; nullptr restores the real one
// (RegConnectRegistryW). Returns the connector in use before. Change it only while the focus
// is local.
RegistryConnector SetRegistryConnector(RegistryConnector connector);

// HKEY_LOCAL_MACHINE of the focused machine: the local predefined key, or the remote root.
HKEY RegistryFocusRoot();

// The view flag every open of the layer adds to its access: KEY_WOW64_64KEY in a 32-bit process
// on 64-bit Windows, so that the 32-bit and the 64-bit builds work on the same keys; 0 in a
// native process, where the natural view is already the 64-bit one.
REGSAM RegistryViewFlag();

struct HeldKeys;

// While one lives, the registry layer's reads on its thread open each key once and use it again
// for every value read from it, instead of opening and closing the key per value: a settings load
// reads about eighty values from a handful of keys, and each open is a call to the registry (on
// another machine, a round trip over the network). A write, a deletion or a change of focus on
// the thread lets the held keys go, so that what is read after it is read afresh. A batch inside
// another on the same thread adds nothing. Keep one only around a run of reads.
class RegistryReadBatch {
public:
    RegistryReadBatch();
    ~RegistryReadBatch();
    RegistryReadBatch(const RegistryReadBatch&) = delete;
    RegistryReadBatch& operator=(const RegistryReadBatch&) = delete;

private:
    HeldKeys* own_ = nullptr;
};
