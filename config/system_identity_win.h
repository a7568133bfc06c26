// Identification of the local machine's Windows release and of a machine's architecture through
// the system and the registry layer.
#pragma once

#include "common/system_identity.h"

// Fills the process-wide record (LocalSystemIdentity) once at start-up, while the registry layer
// still works on the local machine and before any thread that reads the record exists.
void IdentifyLocalSystem();

// Whether this process is a 32-bit program on 64-bit Windows; false where the system cannot tell.
bool IsWow64();

// The processor architecture of the machine the registry layer works on (the local one, or the
// applet's remote target). Last error 0 on success, otherwise that of the failing registry read;
// a machine without product options (Windows 9x) is kArchX86Win9x.
ArchCode TargetArchitecture();
