#include "setup/setup_rules.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

const char kClosingLine[] =
    "To run the Windows Time Control Panel applet, go to Control Panel\r\nand double-click the "
    "Windows Time icon.";

} // namespace

const char kPayloadList[] =
    "qxsetup.exe,qxserver.exe;qxclient.exe,qxthin.exe,qxultra.exe,qxmonitor.exe,qxconsole.exe,"
    "qxagent.exe,qxreport.exe,kestrel.cpl";

const char* const kLicenseFiles[] = {"license.txt", nullptr};
const char* const kReadMeFiles[] = {"readme.txt", nullptr};
const char* const kSupportFiles[] = {"support.txt", "register.txt", "contact.txt", nullptr};
const char* const kFaqFiles[] = {"faq.txt", nullptr};
const char kNoTextsFound[] = "Expected text files (license.txt, readme.txt, support.txt, "
                             "register.txt, contact.txt, not found";

const char* ArchSubfolder(ArchCode arch) {
    switch (arch) {
    case kArchX86Win9x:
    case kArchX86:
        return "i386\\";
    case kArchX64:
        return "AMD64\\";
    default:
        return nullptr;
    }
}

size_t SplitPayloadList(const char* list, char (*names)[kPayloadNameSize], size_t max) {
    size_t count = 0;
    const char* piece = list;
    while (piece != nullptr && *piece != '\0' && count < max) {
        const size_t length = std::strcspn(piece, ",;");
        if (length > 0) {
            const size_t kept = length < kPayloadNameSize - 1 ? length : kPayloadNameSize - 1;
            std::memcpy(names[count], piece, kept);
            names[count][kept] = '\0';
            ++count;
        }
        piece += length;
        if (*piece != '\0') {
            ++piece;
        }
    }
    return count;
}

bool IsAppletPayload(const char* payloadPath) {
    return std::strstr(payloadPath, "kestrel.cpl") != nullptr;
}

bool SetupFolderOf(const char* programPath, char* out, size_t size) {
    const char* slash = std::strrchr(programPath, '\\');
    const char* other = std::strrchr(programPath, '/');
    if (other != nullptr && (slash == nullptr || other > slash)) {
        slash = other;
    }
    if (slash == nullptr || size == 0) {
        if (size > 0) {
            out[0] = '\0';
        }
        return false;
    }
    const int length = static_cast<int>(slash - programPath);
    const int written = std::snprintf(out, size, "%.*s\\", length, programPath);
    if (written < 0 || static_cast<size_t>(written) >= size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool ServiceInstalledFromNumber(uint32_t number) {
    switch (number) {
    case 0:
    case '0':
    case 'F':
    case 'N':
    case 'f':
    case 'n':
        return false;
    default:
        return true;
    }
}

bool ServiceInstalledFromText(const char* text) {
    if (text == nullptr) {
        return false;
    }
    switch (text[0]) {
    case '1':
    case 'T':
    case 'Y':
    case 't':
    case 'y':
        return true;
    default:
        return false;
    }
}

bool IsUpgradeable(bool installed, uint64_t installedVersion, uint64_t payloadVersion) {
    return installed && (installedVersion == 0 || installedVersion < payloadVersion);
}

SetupTab FirstFoundTab(bool license, bool readMe, bool support, bool faq) {
    if (license) {
        return kTabLicense;
    }
    if (readMe) {
        return kTabReadMe;
    }
    if (support) {
        return kTabSupport;
    }
    return faq ? kTabFaq : kTabNone;
}

char* FormatAgreeText(bool installed, bool upgradeable, const char* company, const char* product,
                      const char* version, char* out, size_t size) {
    int used = std::snprintf(out, size,
                             "This program is fully-functioning freeware, compliments\r\nof "
                             "%s.\r\n\r\n",
                             company);
    if (used < 0 || static_cast<size_t>(used) >= size) {
        return out;
    }
    char* rest = out + used;
    const size_t left = size - static_cast<size_t>(used);
    if (installed && upgradeable) {
        std::snprintf(rest, left,
                      "An earlier version of %s is already installed\r\non this machine. You may "
                      "choose to remove it, or upgrade to\r\nversion %s.\r\n\r\n\tTo upgrade to "
                      "version %s, click the UPGRADE button\r\n\tTo remove %s, click the REMOVE "
                      "button\r\n\r\n%s",
                      product, version, version, product, kClosingLine);
    } else if (installed) {
        std::snprintf(rest, left,
                      "%s is already installed on this machine. This\r\nsetup program (%s) is the "
                      "same or older than\r\nthe installed %s, so upgrade isn't possible\r\nat "
                      "this time.\r\n\r\n\tTo remove %s, click the REMOVE button\r\n\r\n%s",
                      product, version, product, product, kClosingLine);
    } else {
        std::snprintf(rest, left,
                      "%s isn't installed on this machine.\r\n\r\n\tTo install %s, click the "
                      "INSTALL button.\r\n\r\nUse the %s Control Panel applet to configure "
                      "the\r\nWindows Time service, then check the graphs and statistics to "
                      "see\r\nhow well synchronized your clock stays over time.\r\n\r\n%s can run "
                      "stand-alone, but it also integrates\r\nperfectly into Quorvex II's suite "
                      "of timekeeping and management\r\nsoftware to gather performance data and "
                      "generate alerts\r\nfrom all of the machines in your enterprise.",
                      product, product, product, product);
    }
    return out;
}
