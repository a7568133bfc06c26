// What the applet's sheet tests share: the registry keys a sheet may write, kept as each test
// found them.
#pragma once

#include <initializer_list>

#include "bench/remote_registry/registry_snapshot_win.h"

// Saves every key that opening, applying or closing the sheet may write: the Windows Time keys
// (the agent's provider key among the time providers), the LAN Manager's time source, the family
// products' keys and the applet's Control Panel category. The service's start type is not among
// them: the service manager keeps it, and a test that changes it puts it back there.
inline void SaveSheetKeys(RegistrySnapshot* snapshot) {
    for (const char* path : {
             "\\\\System\\CurrentControlSet\\Services\\W32Time\\Parameters",
             "\\\\System\\CurrentControlSet\\Services\\W32Time\\Config",
             "\\\\System\\CurrentControlSet\\Services\\W32Time\\TimeProviders",
             "\\\\System\\CurrentControlSet\\Services\\LanmanServer\\Parameters",
             "\\\\Software\\Tessaric\\Quorvex Server",
             "\\\\Software\\Tessaric\\Quorvex Client",
             "\\\\Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Extended "
             "Properties\\{305CA226-D286-468e-B848-2B2E8E697B74} 2",
         }) {
        snapshot->Save(path);
    }
}
