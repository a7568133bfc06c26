// The applet's decisions and texts that need no window: when to upgrade an installed agent, the
// help addresses, the Service page's mappings and the About page's description.
#pragma once

#include <cstddef>
#include <cstdint>

// Private CPlApplet messages a program that loads the library sends, and the run modes.
constexpr uint32_t kCplSetTarget = 0x11223344;
constexpr uint32_t kCplInstall = 0x11223345;
constexpr uint32_t kCplRemove = 0x11223346;
constexpr uint32_t kCplQuiet = 0x11223347;
constexpr uint32_t kCplOpenSheet = 0x11223348;
constexpr uint32_t kModeSheet = 5; // a double click in Control Panel: the sheet with upgrade
constexpr uint32_t kModeInstall = kCplInstall;
constexpr uint32_t kModeRemove = kCplRemove;
constexpr uint32_t kModeSheetNoUpgrade = kCplOpenSheet;

// Longest TargetMachine name kept.
constexpr size_t kTargetMachineChars = 255;

// Whether opening the sheet installs this module over the agent found on the machine.
// moduleVersion is this module's version text, installedVersion the agent key's "Current
// Version" ("" when missing). Each is cut at its first upper-case 'R' (a release build); the
// cut texts compare ignoring case. Upgrade when the agent is not installed, when no version is
// recorded, when this release build is not older than an installed build without the 'R', or
// when both are of the same kind and this one is newer.
bool AgentUpgradeNeeded(const char* moduleVersion, const char* installedVersion,
                        bool agentInstalled);

// The online-help address of a page ("servicetab", "agenttab", ...), with the product and
// version in its query. Writes at most size - 1 characters and a zero; returns out.
char* FormatHelpAddress(const char* subject, char* out, size_t size);

// The header of the Client and About pages: product, version and the maker's notice line.
const char* PageHeaderText();

// Service page: start-up list index ("Disabled", "Automatic", "Manual") of a service "Start"
// value, and the value of an index. Any value but 2 and 3 shows as "Disabled".
constexpr int kStartupDisabled = 0;
constexpr int kStartupAutomatic = 1;
constexpr int kStartupManual = 2;
int StartupIndexOfStart(uint32_t start);
uint32_t StartOfStartupIndex(int index);

// The debug log's size: stored in bytes, shown in whole megabytes. A count of megabytes that
// does not fit in 32 bits of bytes stores the largest whole number of megabytes that does.
uint32_t LogSizeMegabytes(uint32_t bytes);
uint32_t LogSizeBytes(uint32_t megabytes);

// The About page's description, lines of at most kAboutLineChars characters joined by CR LF,
// laid out for a fixed-pitch font.
constexpr size_t kAboutLineChars = 62;
extern const char kAboutDescription[];

// The sheet's pages in order, as their template ids, for the target's release and whether the
// agent is installed there: Client (the Windows 2000 variant on Windows 2000), Server, Agent
// (later releases with the agent installed), Service, About. Returns the count.
constexpr size_t kMaxSheetPages = 5;
size_t SheetPageTemplates(uint32_t targetOs, bool agentInstalled, int out[kMaxSheetPages]);
