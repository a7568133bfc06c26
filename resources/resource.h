// Resource identifiers of kestrel.cpl and setup.exe.
#pragma once

// Manifest resource ids: 2 for a DLL (isolation-aware), 1 for a program.
#define IDR_MANIFEST_DLL 2
#define IDR_MANIFEST_EXE 1
