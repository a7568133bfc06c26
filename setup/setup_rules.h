// The setup program's decisions and texts that need no system call: the architecture folder, the
// payload list, where the setup folder is, whether the installed library counts as installed and
// as older, and the texts the dialog shows.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/system_identity.h"

inline constexpr char kSetupTitle[] = "Quorvex II Bootstrap Setup";

// The payload sub-folder for a processor architecture ("i386\" or "AMD64\"), null for one this
// program does not support.
const char* ArchSubfolder(ArchCode arch);

// The names of the product family's setup programs and program files, in the order they are
// looked for; the last one is the applet library.
extern const char kPayloadList[];
constexpr size_t kPayloadNameSize = 64;
constexpr size_t kMaxPayloadNames = 16;
// Splits a list at ',' and ';' into at most max names (empty ones skipped, each cut to
// kPayloadNameSize - 1 characters); returns the count.
size_t SplitPayloadList(const char* list, char (*names)[kPayloadNameSize], size_t max);
// Whether a payload path names the applet library.
bool IsAppletPayload(const char* payloadPath);

// The folder of a program path with a trailing backslash: the part before the last '\' or '/'.
// False (out "") when the path has neither: the current directory is the folder then.
bool SetupFolderOf(const char* programPath, char* out, size_t size);

// "Service Installed" of the agent's key, stored as a number or as a text.
bool ServiceInstalledFromNumber(uint32_t number);
bool ServiceInstalledFromText(const char* text);

// Whether the payload may replace the installed library: it is installed and its version is 0
// (unreadable) or lower than the payload's (high halves first, then the low ones).
bool IsUpgradeable(bool installed, uint64_t installedVersion, uint64_t payloadVersion);

// The dialog's tabs, in the order the first found text is shown: License, Read Me, Support, FAQ.
enum SetupTab { kTabNone = 0, kTabLicense = 1, kTabReadMe = 2, kTabSupport = 3, kTabFaq = 4 };
// The files behind each tab; the Support tab takes the first that exists of its three.
extern const char* const kLicenseFiles[];
extern const char* const kReadMeFiles[];
extern const char* const kSupportFiles[];
extern const char* const kFaqFiles[];
// The text shown when no tab has a file.
extern const char kNoTextsFound[];
// The tab shown first: the first of License, Read Me, Support, FAQ whose text was found.
SetupTab FirstFoundTab(bool license, bool readMe, bool support, bool faq);

// The message shown after "Agree" for the applet library, by installation state.
char* FormatAgreeText(bool installed, bool upgradeable, const char* company, const char* product,
                      const char* version, char* out, size_t size);
