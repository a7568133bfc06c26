// setup.exe: the 32-bit bootstrap that installs the build of kestrel.cpl that fits the machine.
// It shows the shipped texts in one dialog, and after the user agrees installs, upgrades or
// removes the library through the library's own installer in rundll32, then opens the applet.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "common/error_text_win.h"
#include "config/registry_keys.h"
#include "config/system_identity_win.h"
#include "resources/resource.h"
#include "resources/version.h"
#include "setup/setup_rules.h"

namespace {

constexpr UINT kSlideInMessage = WM_APP + 1;
constexpr DWORD kSlideMs = 100;
constexpr const char* kAgentKey = SubkeyOf(kAgentKeyPath);
constexpr char kMakerSite[] = "https://" HOROLOGIX_MAKER_WEB_ADDRESS "/";
constexpr COLORREF kCurrentColour = RGB(15, 15, 255);
constexpr COLORREF kOtherColour = RGB(0, 0, 127);

using AnimateWindowFn = BOOL(WINAPI*)(HWND, DWORD, DWORD);
using RedirectionOffFn = BOOL(WINAPI*)(PVOID*);
using RedirectionBackFn = BOOL(WINAPI*)(PVOID);

struct TabText {
    int control;
    const char* title;
    const char* const* files;
    char* text; // whole file and a terminating zero; null when none was found
};

struct Setup {
    char folder[MAX_PATH + 1];
    char payload[MAX_PATH + 1];
    bool applet;
    char version[40];
    char company[128];
    char product[128];
    uint64_t numericVersion;
    TabText tabs[4];
    int currentTab; // SetupTab
    HFONT boldFont;
    HFONT underlinedFont;
    bool installed;
    bool upgradeable;
    AnimateWindowFn animate;
    bool redirectionOff;
    PVOID redirection;
    DWORD error;
    char message[1024];
};

Setup g_setup{};

void Record(DWORD error, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Record(DWORD error, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(g_setup.message, sizeof(g_setup.message), format, arguments);
    va_end(arguments);
    g_setup.error = error != 0 ? error : ERROR_GEN_FAILURE;
}

bool FileExists(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void FindSetupFolder() {
    char program[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, program, sizeof(program));
    program[length < sizeof(program) ? length : sizeof(program) - 1] = '\0';
    if (!SetupFolderOf(program, g_setup.folder, sizeof(g_setup.folder))) {
        const DWORD size = GetCurrentDirectoryA(sizeof(g_setup.folder) - 1, g_setup.folder);
        if (size == 0 || size >= sizeof(g_setup.folder) - 1) {
            g_setup.folder[0] = '\0';
        } else {
            std::strcat(g_setup.folder, "\\");
        }
    }
}

bool FindPayload(const char* subfolder) {
    char names[kMaxPayloadNames][kPayloadNameSize];
    const size_t count = SplitPayloadList(kPayloadList, names, kMaxPayloadNames);
    for (size_t i = 0; i < count; ++i) {
        char path[MAX_PATH + 1];
        const int length =
            std::snprintf(path, sizeof(path), "%s%s%s", g_setup.folder, subfolder, names[i]);
        if (length > 0 && static_cast<size_t>(length) < sizeof(path) && FileExists(path)) {
            std::memcpy(g_setup.payload, path, sizeof(path));
            return true;
        }
    }
    return false;
}

// One string of the payload's version resource, from the first translation that has it.
void VersionString(const void* data, const char* name, char* out, size_t size,
                   const char* fallback) {
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    out[0] = '\0';
    if (data != nullptr && VerQueryValueA(data, "\\VarFileInfo\\Translation",
                                          reinterpret_cast<void**>(&translations), &bytes)) {
        for (UINT i = 0; i < bytes / sizeof(Translation); ++i) {
            char query[80];
            std::snprintf(query, sizeof(query), "\\StringFileInfo\\%04x%04x\\%s",
                          translations[i].language, translations[i].codePage, name);
            char* value = nullptr;
            UINT length = 0;
            if (VerQueryValueA(data, query, reinterpret_cast<void**>(&value), &length) &&
                value != nullptr && value[0] != '\0') {
                std::snprintf(out, size, "%s", value);
                break;
            }
        }
    }
    if (out[0] == '\0') {
        std::snprintf(out, size, "%s", fallback);
    }
}

uint64_t FixedVersion(const void* data) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (data != nullptr && VerQueryValueA(data, "\\", reinterpret_cast<void**>(&fixed), &size) &&
        fixed != nullptr && size >= sizeof(*fixed)) {
        return (uint64_t{fixed->dwFileVersionMS} << 32) | fixed->dwFileVersionLS;
    }
    return 0;
}

// Reads the version facts of a file; returns its numeric version.
uint64_t ReadVersionFacts(const char* path, bool fill) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    void* data = size != 0 ? HeapAlloc(GetProcessHeap(), 0, size) : nullptr;
    if (data != nullptr && !GetFileVersionInfoA(path, 0, size, data)) {
        HeapFree(GetProcessHeap(), 0, data);
        data = nullptr;
    }
    if (fill) {
        VersionString(data, "FileVersion", g_setup.version, sizeof(g_setup.version), "unmarked");
        VersionString(data, "CompanyName", g_setup.company, sizeof(g_setup.company),
                      HOROLOGIX_MAKER_NAME);
        VersionString(data, "ProductName", g_setup.product, sizeof(g_setup.product), "Setup");
    }
    const uint64_t version = FixedVersion(data);
    if (data != nullptr) {
        HeapFree(GetProcessHeap(), 0, data);
    }
    return version;
}

// Reads one text file whole; false only for a failure worth stopping for (memory, a short read).
bool ReadText(TabText* tab) {
    for (const char* const* name = tab->files; *name != nullptr; ++name) {
        char path[MAX_PATH + 1];
        std::snprintf(path, sizeof(path), "%s%s", g_setup.folder, *name);
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            continue; // a missing text only disables its tab
        }
        const DWORD size = GetFileSize(file, nullptr);
        char* text = size != INVALID_FILE_SIZE
                         ? static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1))
                         : nullptr;
        if (text == nullptr) {
            const DWORD error = GetLastError() != 0 ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
            CloseHandle(file);
            Record(error, "Could not allocate memory for %s; %s", path, SystemErrorText(error));
            return false;
        }
        DWORD got = 0;
        const BOOL read = ReadFile(file, text, size, &got, nullptr);
        const DWORD error = read ? ERROR_HANDLE_EOF : GetLastError();
        CloseHandle(file);
        if (!read || got != size) {
            HeapFree(GetProcessHeap(), 0, text);
            Record(error, "Could not read %s into memory; %s", path, SystemErrorText(error));
            return false;
        }
        text[size] = '\0';
        tab->text = text;
        return true;
    }
    return true;
}

bool ServiceInstalled() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    bool yes = false;
    if (RegQueryValueExA(key, kServiceInstalledValue, nullptr, &type, nullptr, &size) ==
        ERROR_SUCCESS) {
        char* data = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 2));
        if (data != nullptr &&
            RegQueryValueExA(key, kServiceInstalledValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS) {
            if (type == REG_DWORD && size == sizeof(DWORD)) {
                DWORD number;
                std::memcpy(&number, data, sizeof(number));
                yes = ServiceInstalledFromNumber(number);
            } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
                yes = ServiceInstalledFromText(data);
            }
        }
        if (data != nullptr) {
            HeapFree(GetProcessHeap(), 0, data);
        }
    }
    RegCloseKey(key);
    return yes;
}

void SystemPath(const char* name, char* out, size_t size) {
    char folder[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    folder[length < MAX_PATH ? length : 0] = '\0';
    std::snprintf(out, size, "%s\\%s", folder, name);
}

void WorkOutInstallation() {
    if (IsWow64()) {
        // The library belongs in the 64-bit system folder: look there, and start its programs.
        auto off = reinterpret_cast<RedirectionOffFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("kernel32"), "Wow64DisableWow64FsRedirection")));
        g_setup.redirectionOff = off != nullptr && off(&g_setup.redirection);
    }
    char installed[MAX_PATH + 1];
    SystemPath("kestrel.cpl", installed, sizeof(installed));
    g_setup.installed = FileExists(installed) && ServiceInstalled();
    g_setup.upgradeable = IsUpgradeable(g_setup.installed, ReadVersionFacts(installed, false),
                                        g_setup.numericVersion);
}

HFONT MakeFont(int points, int weight, bool underline) {
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    return CreateFontA(height, 0, 0, 0, weight, FALSE, underline, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH,
                       "MS Shell Dlg");
}

TabText* TabOfControl(int control) {
    for (TabText& tab : g_setup.tabs) {
        if (tab.control == control) {
            return &tab;
        }
    }
    return nullptr;
}

void ShowTab(HWND dialog, int number) {
    g_setup.currentTab = number;
    if (number >= kTabLicense && number <= kTabFaq) {
        SetDlgItemTextA(dialog, 3, g_setup.tabs[number - 1].text);
    }
    for (const TabText& tab : g_setup.tabs) {
        InvalidateRect(GetDlgItem(dialog, tab.control), nullptr, TRUE);
    }
}

void Reveal(HWND dialog, int control, DWORD direction) {
    HWND window = GetDlgItem(dialog, control);
    if (g_setup.animate == nullptr ||
        !g_setup.animate(window, kSlideMs, AW_SLIDE | AW_ACTIVATE | direction)) {
        ShowWindow(window, SW_SHOW);
    }
}

void OnInitDialog(HWND dialog) {
    SetWindowTextA(dialog, g_setup.payload);
    char line[80];
    std::snprintf(line, sizeof(line), "Version %s", g_setup.version);
    SetDlgItemTextA(dialog, IDC_SETUP_VERSION, line);
    SetDlgItemTextA(dialog, IDC_SETUP_PRODUCT, g_setup.product);
    SendDlgItemMessageA(dialog, IDC_SETUP_PRODUCT, WM_SETFONT,
                        reinterpret_cast<WPARAM>(g_setup.boldFont), FALSE);
    SetDlgItemTextA(dialog, IDC_SETUP_COMPANY, g_setup.company);
    SendDlgItemMessageA(dialog, 3, EM_SETMARGINS, EC_LEFTMARGIN, MAKELPARAM(4, 0));
    const int stops[] = {15, 30, 45, 50, 55, 65};
    SendDlgItemMessageA(dialog, 3, EM_SETTABSTOPS, 6, reinterpret_cast<LPARAM>(stops));
    HCURSOR hand = LoadCursorA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDC_SETUP_CURSOR));
    if (hand != nullptr) {
        SetClassLongPtrA(GetDlgItem(dialog, IDC_SETUP_LINK), GCLP_HCURSOR,
                         reinterpret_cast<LONG_PTR>(hand));
    }
    for (const TabText& tab : g_setup.tabs) {
        EnableWindow(GetDlgItem(dialog, tab.control), tab.text != nullptr);
    }
    ShowWindow(GetDlgItem(dialog, 4), SW_HIDE);
    ShowWindow(GetDlgItem(dialog, 5), SW_HIDE);
    const int first =
        FirstFoundTab(g_setup.tabs[0].text != nullptr, g_setup.tabs[1].text != nullptr,
                      g_setup.tabs[2].text != nullptr, g_setup.tabs[3].text != nullptr);
    if (first == kTabNone) {
        g_setup.currentTab = kTabNone;
        SetDlgItemTextA(dialog, 3, kNoTextsFound);
    } else {
        ShowTab(dialog, first);
    }
    if (g_setup.animate != nullptr) {
        PostMessageA(dialog, kSlideInMessage, 0, 0);
    } else {
        ShowWindow(GetDlgItem(dialog, 3), SW_SHOW);
        ShowWindow(GetDlgItem(dialog, IDC_SETUP_PICTURE), SW_SHOW);
    }
}

void OnAgreeForApplet(HWND dialog) {
    HWND install = GetDlgItem(dialog, 4);
    HWND remove = GetDlgItem(dialog, 5);
    EnableWindow(install, !g_setup.installed || g_setup.upgradeable);
    EnableWindow(remove, g_setup.installed);
    SetWindowTextA(install, g_setup.upgradeable ? "&Upgrade" : "&Install");
    Reveal(dialog, 4, AW_HOR_NEGATIVE);
    Reveal(dialog, 5, AW_HOR_NEGATIVE);
    SetFocus(IsWindowEnabled(install) ? install : remove);
    ShowWindow(GetDlgItem(dialog, 1), SW_HIDE);
    SetDlgItemTextA(dialog, 2, "&Cancel");
    char text[2048];
    FormatAgreeText(g_setup.installed, g_setup.upgradeable, g_setup.company, g_setup.product,
                    g_setup.version, text, sizeof(text));
    SetDlgItemTextA(dialog, 3, text);
}

void DrawLink(const DRAWITEMSTRUCT* item) {
    const int id = static_cast<int>(item->CtlID);
    char text[64];
    GetWindowTextA(item->hwndItem, text, sizeof(text));
    FillRect(item->hDC, &item->rcItem, GetSysColorBrush(COLOR_BTNFACE));
    const TabText* tab = TabOfControl(id);
    COLORREF colour = kOtherColour;
    if (tab == nullptr || g_setup.currentTab == static_cast<int>(tab - g_setup.tabs) + 1) {
        colour = kCurrentColour;
    }
    if (!IsWindowEnabled(item->hwndItem)) {
        colour = GetSysColor(COLOR_GRAYTEXT);
    }
    SetTextColor(item->hDC, colour);
    SetBkMode(item->hDC, TRANSPARENT);
    HGDIOBJ old = SelectObject(item->hDC, g_setup.underlinedFont);
    RECT box = item->rcItem;
    DrawTextA(item->hDC, text, -1, &box, DT_CENTER | DT_SINGLELINE | DT_VCENTER);
    SelectObject(item->hDC, old);
}

INT_PTR CALLBACK SetupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        return TRUE;
    case kSlideInMessage:
        Reveal(dialog, 3, AW_HOR_POSITIVE);
        Reveal(dialog, IDC_SETUP_PICTURE, AW_HOR_NEGATIVE);
        return TRUE;
    case WM_DRAWITEM:
        DrawLink(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (HIWORD(wParam) == STN_CLICKED || HIWORD(wParam) == BN_CLICKED) {
            if (TabText* tab = TabOfControl(id)) {
                if (tab->text != nullptr) {
                    ShowTab(dialog, static_cast<int>(tab - g_setup.tabs) + 1);
                }
                return TRUE;
            }
            if (id == IDC_SETUP_LINK) {
                ShellExecuteA(dialog, "open", kMakerSite, nullptr, nullptr, SW_SHOWNORMAL);
                return TRUE;
            }
        }
        if (id == 1 && g_setup.applet) {
            OnAgreeForApplet(dialog);
            return TRUE;
        }
        if (id == 1 || id == 2 || id == 4 || id == 5) {
            EndDialog(dialog, id);
            return TRUE;
        }
        return FALSE;
    }
    case WM_CLOSE:
        EndDialog(dialog, 2);
        return TRUE;
    default:
        return FALSE;
    }
}

// Starts a program with its whole command line, waiting for it when asked.
bool Launch(const char* commandLine, bool wait) {
    char command[2 * MAX_PATH + 64];
    std::snprintf(command, sizeof(command), "%s", commandLine);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    if (wait) {
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

void RunInstaller(bool install) {
    char temporary[MAX_PATH + 1];
    const DWORD length = GetTempPathA(MAX_PATH - 16, temporary);
    temporary[length < MAX_PATH - 16 ? length : 0] = '\0';
    std::strcat(temporary, "kestrel.cpl");
    SetFileAttributesA(temporary, FILE_ATTRIBUTE_NORMAL);
    if (!CopyFileA(g_setup.payload, temporary, FALSE)) {
        const DWORD error = GetLastError();
        Record(error, "Could not copy %s to %s; %s\r\n", g_setup.payload, temporary,
               SystemErrorText(error));
        return;
    }
    char rundll[MAX_PATH + 1];
    SystemPath("rundll32.exe", rundll, sizeof(rundll));
    char command[2 * MAX_PATH + 64];
    std::snprintf(command, sizeof(command), "%s %s,RunDll %s", rundll, temporary,
                  install ? "-install" : "-remove");
    if (!Launch(command, true)) {
        const DWORD error = GetLastError();
        Record(error, "Could not launch rundll32 to %s the Horologix Control Panel applet; %s",
               install ? "install/upgrade" : "remove", SystemErrorText(error));
    }
    DeleteFileA(temporary);
    char old[MAX_PATH + 1];
    SystemPath("kestrel.old", old, sizeof(old));
    SetFileAttributesA(old, FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(old);
    if (install && g_setup.error == 0) {
        char control[MAX_PATH + 1];
        SystemPath("control.exe", control, sizeof(control));
        std::snprintf(command, sizeof(command), "%s kestrel.cpl", control);
        if (!Launch(command, true)) {
            const DWORD error = GetLastError();
            Record(error,
                   "Could not launch Control Panel (control.exe) to display the Control Panel "
                   "applet; %s",
                   SystemErrorText(error));
        }
    }
}

void Run(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    g_setup.animate = reinterpret_cast<AnimateWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "AnimateWindow")));

    IdentifyLocalSystem();
    const ArchCode arch = LocalSystemIdentity().arch;
    const char* subfolder = ArchSubfolder(arch);
    if (subfolder == nullptr) {
        Record(ERROR_INVALID_PARAMETER, "Sorry, but this program does not support %s.",
               ArchName(arch));
        return;
    }
    FindSetupFolder();
    if (!FindPayload(subfolder)) {
        const DWORD error = GetLastError();
        Record(error, "Could not find the %s version of Setup.\r\n\r\nWas looking in %s\r\n%s",
               ArchName(arch), g_setup.folder, SystemErrorText(error));
        return;
    }
    g_setup.applet = IsAppletPayload(g_setup.payload);
    g_setup.numericVersion = ReadVersionFacts(g_setup.payload, true);
    g_setup.tabs[0] = {IDC_SETUP_TAB_LICENSE, "License", kLicenseFiles, nullptr};
    g_setup.tabs[1] = {IDC_SETUP_TAB_README, "Read Me", kReadMeFiles, nullptr};
    g_setup.tabs[2] = {IDC_SETUP_TAB_SUPPORT, "Support", kSupportFiles, nullptr};
    g_setup.tabs[3] = {IDC_SETUP_TAB_FAQ, "FAQ", kFaqFiles, nullptr};
    for (TabText& tab : g_setup.tabs) {
        if (!ReadText(&tab)) {
            return;
        }
    }
    g_setup.boldFont = MakeFont(11, FW_BOLD, false);
    g_setup.underlinedFont = MakeFont(8, FW_NORMAL, true);
    if (g_setup.applet) {
        WorkOutInstallation();
    }

    const INT_PTR choice =
        DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_SETUP), nullptr, SetupDialogProc, 0);
    if (choice == 1) {
        char command[MAX_PATH + 1];
        std::snprintf(command, sizeof(command), "%s", g_setup.payload);
        if (!Launch(command, false)) {
            const DWORD error = GetLastError();
            Record(error, "Could not launch %s; %s", g_setup.payload, SystemErrorText(error));
        }
    } else if (choice == 4 || choice == 5) {
        RunInstaller(choice == 4);
    }
    if (g_setup.redirectionOff) {
        auto back = reinterpret_cast<RedirectionBackFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("kernel32"), "Wow64RevertWow64FsRedirection")));
        if (back != nullptr) {
            back(g_setup.redirection);
        }
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    Run(instance);
    if (g_setup.error != 0) {
        MessageBoxA(nullptr, g_setup.message, kSetupTitle, MB_ICONWARNING | MB_TOPMOST);
    }
    for (TabText& tab : g_setup.tabs) {
        if (tab.text != nullptr) {
            HeapFree(GetProcessHeap(), 0, tab.text);
        }
    }
    if (g_setup.boldFont != nullptr) {
        DeleteObject(g_setup.boldFont);
    }
    if (g_setup.underlinedFont != nullptr) {
        DeleteObject(g_setup.underlinedFont);
    }
    return static_cast<int>(g_setup.error);
}
