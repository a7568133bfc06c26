#include "applet/applet_rules.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "common/system_identity.h"
#include "resources/resource.h"
#include "resources/version.h"

namespace {

// Copies text up to its first upper-case 'R' into out (size bytes); true when it had one.
bool CutAtRelease(const char* text, char* out, size_t size) {
    const char* release = std::strchr(text, 'R');
    const size_t length =
        release != nullptr ? static_cast<size_t>(release - text) : std::strlen(text);
    std::snprintf(out, size, "%.*s", static_cast<int>(length), text);
    return release != nullptr;
}

} // namespace

bool AgentUpgradeNeeded(const char* moduleVersion, const char* installedVersion,
                        bool agentInstalled) {
    if (!agentInstalled || installedVersion == nullptr || installedVersion[0] == '\0') {
        return true;
    }
    char own[64];
    char installed[64];
    const bool ownRelease = CutAtRelease(moduleVersion, own, sizeof(own));
    const bool installedRelease = CutAtRelease(installedVersion, installed, sizeof(installed));
    const int comparison = strcasecmp(own, installed);
    if (ownRelease && !installedRelease) {
        return comparison >= 0;
    }
    if (ownRelease == installedRelease) {
        return comparison > 0;
    }
    return false; // a test build never replaces a release build
}

char* FormatHelpAddress(const char* subject, char* out, size_t size) {
    if (out != nullptr && size > 0) {
        std::snprintf(out, size, "%s?product=kestrelcpl&subject=%s&version=%s",
                      HOROLOGIX_HELP_ADDRESS, subject, HOROLOGIX_VERSION_TEXT);
    }
    return out;
}

const char* PageHeaderText() {
    return HOROLOGIX_PRODUCT_NAME " Version " HOROLOGIX_VERSION_TEXT "\r\n" HOROLOGIX_MAKER_NOTICE;
}

int StartupIndexOfStart(uint32_t start) {
    switch (start) {
    case 2:
        return kStartupAutomatic;
    case 3:
        return kStartupManual;
    default:
        return kStartupDisabled;
    }
}

uint32_t StartOfStartupIndex(int index) {
    switch (index) {
    case kStartupAutomatic:
        return 2;
    case kStartupManual:
        return 3;
    default:
        return 4;
    }
}

uint32_t LogSizeMegabytes(uint32_t bytes) {
    return bytes >> 20;
}

uint32_t LogSizeBytes(uint32_t megabytes) {
    constexpr uint32_t kLargest = 0xFFFFFFFFu >> 20;
    return (megabytes > kLargest ? kLargest : megabytes) << 20;
}

// clang-format off
const char kAboutDescription[] =
    HOROLOGIX_PRODUCT_NAME " " HOROLOGIX_VERSION_TEXT "\r\n"
    "\r\n"
    HOROLOGIX_MAKER_POSTAL_LINE1 "\r\n"
    HOROLOGIX_MAKER_POSTAL_LINE2 "\r\n"
    "Support: " HOROLOGIX_SUPPORT_EMAIL "\r\n"
    "Telephone: " HOROLOGIX_SUPPORT_PHONE "\r\n"
    "\r\n"
    "1.\tThis applet is fully functional freeware. It is part of\r\n"
    "\tthe Quorvex II suite of time products, but it works with\r\n"
    "\tor without any other part of that suite.\r\n"
    "\r\n"
    "2.\tUse it to configure the Windows Time service, then come\r\n"
    "\tback to the graphs and statistics to see how well the\r\n"
    "\tclock keeps time.\r\n"
    "\r\n"
    "3.\tThe agent works with the Quorvex II management software:\r\n"
    "\tit can be installed remotely, managed, asked for\r\n"
    "\tperformance data and made to raise alerts from there.\r\n"
    "\r\n"
    "4.\tOn Windows XP and later the applet also works as a\r\n"
    "\tmonitor, so that Quorvex II can monitor or audit this\r\n"
    "\tmachine's time without installing its own timekeeping\r\n"
    "\tcomponents here.\r\n"
    "\r\n"
    "5.\tThe Windows Time service is designed only to keep clocks\r\n"
    "\t\"loosely synchronized\": close enough for Kerberos in a\r\n"
    "\tdomain. This component:\r\n"
    "\ta.\tdoes not make the service more accurate, and does\r\n"
    "\t\tnot interfere with it;\r\n"
    "\tb.\tdoes not take over the system clock;\r\n"
    "\tc.\tgives a graphical interface to most of the\r\n"
    "\t\tservice's common options;\r\n"
    "\td.\tlets Quorvex II components ask this machine for its\r\n"
    "\t\tsynchronization status over the network, unless the\r\n"
    "\t\tagent is disabled.\r\n"
    "\r\n"
    "TERMS OF USE\r\n"
    "\r\n"
    "You may use and copy this software free of charge, on any\r\n"
    "number of machines, and give unchanged copies to others.\r\n"
    "You may not sell it or ship it with a product you sell\r\n"
    "without written permission from " HOROLOGIX_MAKER_NAME ".\r\n"
    "\r\n"
    "The software is provided \"as is\", without warranty of any\r\n"
    "kind. " HOROLOGIX_MAKER_NAME " is not liable for any damage or loss that\r\n"
    "comes from using it, including wrong time on any machine.\r\n"
    "See license.txt, shipped with the program, for the full\r\n"
    "terms.\r\n";
// clang-format on

size_t SheetPageTemplates(uint32_t targetOs, bool agentInstalled, int out[kMaxSheetPages]) {
    size_t count = 0;
    out[count++] = targetOs == kOsWin2000 ? IDD_CLIENT_PAGE_2000 : IDD_CLIENT_PAGE;
    out[count++] = IDD_SERVER_PAGE;
    if (targetOs > kOsWin2000 && agentInstalled) {
        out[count++] = IDD_AGENT_PAGE;
    }
    out[count++] = IDD_SERVICE_PAGE;
    out[count++] = IDD_ABOUT_PAGE;
    return count;
}
