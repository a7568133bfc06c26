// The applet's frame: a run from the start-up checks to the property sheet (or the installer)
// and back, the administrator check and the registry access test.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

// One run of the applet in a mode of applet_rules.h: the sheet (kModeSheet,
// kModeSheetNoUpgrade), or install or remove on the TargetMachine. Returns the run's result
// (1 when the sheet was shown, the installer's or remover's result, 0 after a refused check);
// the thread's last error is the error of the first failure, 0 when none.
LRESULT RunApplet(HWND owner, uint32_t mode);

bool IsAdministrator();

// Writes, reads back and deletes a test value under key (null or "": the LAN Manager server's
// service key) on the machine the registry layer works on. On failure message (size bytes)
// holds the complete message and the last error the cause.
bool TestRegistryAccess(HWND owner, const char* machine, const char* key, char* message,
                        size_t size);

// Faults of the start-up that the system cannot be made to show on demand, for tests.
enum class AppletStartFault { kNone, kNotAdministrator, kWinsockRefused };
void SetAppletStartFault(AppletStartFault fault);

// The body the status thread runs (resources: its own reference, released by the thread's
// end); tests put one in that does not end when told to.
using StatusThreadBody = DWORD (*)(struct SheetResources* resources);
void SetStatusThreadBodyForTesting(StatusThreadBody body);
// How long the frame waits for the status thread once the sheet has closed.
constexpr DWORD kStatusThreadWaitMs = 10000;
