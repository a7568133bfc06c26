// The W32Time stand-in's service side: the time-provider host that the service manager runs.
#pragma once

namespace standin {

// Connects to the service control manager and runs the service until it stops. Returns the
// process exit code: 0, or the dispatcher's error when not started by the service manager.
int RunAsService();

} // namespace standin
