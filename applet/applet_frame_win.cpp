#include "applet/applet_frame_win.h"

#include <winsock2.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "applet/applet_rules.h"
#include "applet/applet_state_win.h"
#include "applet/client_status_win.h"
#include "applet/page_common_win.h"
#include "applet/pages_win.h"
#include "common/error_text_win.h"
#include "common/remote_machine_win.h"
#include "common/unique_handle_win.h"
#include "config/registry.h"
#include "config/policy_settings_win.h"
#include "config/registry_keys.h"
#include "config/registry_win.h"
#include "config/service_control_win.h"
#include "config/settings.h"
#include "config/system_identity_win.h"
#include "config/text_view_win.h"
#include "install/installer_win.h"
#include "resources/resource.h"
#include "resources/version.h"

namespace {

constexpr uint32_t kLocalServerTypeBits = 0x1001; // workstation and NT
constexpr DWORD kErrorOldRelease = 1633;          // ERROR_INSTALL_PLATFORM_UNSUPPORTED
constexpr char kDefaultTestKey[] = "\\\\System\\CurrentControlSet\\Services\\LanmanServer";

AppletStartFault g_fault = AppletStartFault::kNone;
StatusThreadBody g_statusBody = nullptr;

// The module's activation context (its manifest, resource 2): common controls 6 for every
// dialog and sheet the applet makes, whichever program loaded the library.
class ModuleActivation {
public:
    ModuleActivation() {
        ACTCTXA context{};
        context.cbSize = sizeof(context);
        context.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        context.hModule = AppletModule();
        context.lpResourceName = MAKEINTRESOURCEA(IDR_MANIFEST_DLL);
        context_ = CreateActCtxA(&context);
        if (context_ != INVALID_HANDLE_VALUE && !ActivateActCtx(context_, &cookie_)) {
            ReleaseActCtx(context_);
            context_ = INVALID_HANDLE_VALUE;
        }
    }
    ~ModuleActivation() {
        if (context_ != INVALID_HANDLE_VALUE) {
            DeactivateActCtx(0, cookie_);
            ReleaseActCtx(context_);
        }
    }
    ModuleActivation(const ModuleActivation&) = delete;
    ModuleActivation& operator=(const ModuleActivation&) = delete;

private:
    HANDLE context_ = INVALID_HANDLE_VALUE;
    ULONG_PTR cookie_ = 0;
};

// The error and message of the first check that refuses the run.
DWORD Refuse(HWND owner, DWORD error, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
DWORD Refuse(HWND owner, DWORD error, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    ShowMessage(owner, 0, "%s", text);
    return error;
}

DWORD WINAPI StatusThreadMain(void* parameter) {
    auto* resources = static_cast<SheetResources*>(parameter);
    const StatusThreadBody body = g_statusBody != nullptr ? g_statusBody : SyncStatusThread;
    const DWORD result = body(resources);
    const HMODULE pinned = resources->pinnedModule;
    ReleaseSheetResources(resources);
    if (pinned != nullptr) {
        FreeLibraryAndExitThread(pinned, result);
    }
    return result;
}

// The library's own handle with one more reference, when the applet code lives in a library.
HMODULE PinOwnModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&StatusThreadMain), &module)) {
        return nullptr;
    }
    if (module == GetModuleHandleA(nullptr)) {
        FreeLibrary(module);
        return nullptr;
    }
    return module;
}

HFONT MakeFont(int height, int weight, bool underline, const char* face) {
    return CreateFontA(height, 0, 0, 0, weight, FALSE, underline ? TRUE : FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       VARIABLE_PITCH, face);
}

void CreateFontsAndIcons(SheetResources* resources) {
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    resources->normalFont = MakeFont(height, FW_NORMAL, false, "MS Shell Dlg");
    resources->boldFont = MakeFont(height, FW_BOLD, false, "MS Shell Dlg");
    resources->underlinedFont = MakeFont(height, FW_NORMAL, true, "MS Shell Dlg");
    resources->fixedFont = MakeFont(height, FW_NORMAL, false, "Courier New");
    for (int i = 0; i < kStatusIconCount; ++i) {
        resources->icons[i] = static_cast<HICON>(LoadImageA(
            AppletModule(), MAKEINTRESOURCEA(IDI_STATUS_UNKNOWN + i), IMAGE_ICON, 16, 16, 0));
    }
}

int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM data) {
    if (message == PSCB_PRECREATE && data != 0) {
        // The sheet's own template: no "?" button in its caption. An extended template starts
        // with version 1 and the signature 0xFFFF and keeps its style at offset 12.
        auto* words = reinterpret_cast<WORD*>(data);
        if (words[0] == 1 && words[1] == 0xFFFF) {
            DWORD style;
            std::memcpy(&style, reinterpret_cast<BYTE*>(data) + 12, sizeof(style));
            style &= ~static_cast<DWORD>(DS_CONTEXTHELP);
            std::memcpy(reinterpret_cast<BYTE*>(data) + 12, &style, sizeof(style));
        } else {
            reinterpret_cast<DLGTEMPLATE*>(data)->style &= ~static_cast<DWORD>(DS_CONTEXTHELP);
        }
    } else if (message == PSCB_INITIALIZED) {
        Applet().sheetWindow = sheet;
        SetDlgItemTextA(sheet, IDOK, "&OK");
        SetDlgItemTextA(sheet, IDCANCEL, "&Cancel");
    }
    return 1;
}

DLGPROC PageProcOf(int templateId) {
    switch (templateId) {
    case IDD_SERVICE_PAGE:
        return ServicePageProc;
    case IDD_ABOUT_PAGE:
        return AboutPageProc;
    case IDD_AGENT_PAGE:
        return AgentPageProc;
    case IDD_CLIENT_PAGE:
        return ClientPageProc;
    case IDD_CLIENT_PAGE_2000:
        return Client2000PageProc;
    case IDD_SERVER_PAGE:
        return ServerPageProc;
    default:
        return nullptr; // a page that this build does not offer yet
    }
}

// The pages' settings and what the registry held, with nothing changed yet.
void LoadSheetSettings() {
    AppletState& applet = Applet();
    const RegistryReadBatch batch; // some eighty reads from a handful of keys
    LoadSettingsWithBaseline(&applet.settings, &applet.baseline);
    IdentityServerOrigins(applet.settings, applet.serverOrigins);
    // The pages show what is in force: Group Policy's values where it sets them.
    PolicyValues policy;
    ReadPolicyValues(&policy);
    applet.policy = ApplyPolicy(applet.settings, policy, LocalSystemIdentity().os <= kOsWin2000);
    applet.settings = applet.policy.effective;
    applet.changedValues = 0;
    applet.settingsDirty = false;
}

// The Windows Time service's restart after an automatic upgrade. It runs beside the sheet: the
// service may take seconds to stop (the service-control wait allows 10 s), and nothing on the
// pages depends on the restart being done.
struct ServiceRestart {
    char machine[kTargetMachineChars + 1]; // "" for the local machine
    HANDLE thread;
};

DWORD WINAPI RestartTimeService(void* parameter) {
    const auto* restart = static_cast<const ServiceRestart*>(parameter);
    RestartService(nullptr, restart->machine[0] != '\0' ? restart->machine : nullptr, "W32Time");
    return 0;
}

void StartServiceRestart(ServiceRestart* restart) {
    const char* target = TargetOrNull();
    std::snprintf(restart->machine, sizeof(restart->machine), "%s",
                  target != nullptr ? target : "");
    restart->thread = CreateThread(nullptr, 0, RestartTimeService, restart, 0, nullptr);
    if (restart->thread == nullptr) {
        RestartTimeService(restart);
    }
}

// What the installer is told: the target, the quiet mode and the applet's settings record, which
// a removal loads again.
InstallRequest AppletInstallRequest(HWND owner) {
    AppletState& applet = Applet();
    InstallRequest request{};
    request.target = TargetOrNull();
    request.quiet = applet.quietMode;
    request.owner = owner;
    request.serverTypeBits = applet.serverTypeBits;
    request.resources = AppletModule();
    request.removedSettings = &applet.settings;
    return request;
}

// Whether an older agent was replaced: then the service wants its restart.
bool UpgradeInstalledAgent(HWND owner) {
    AppletState& applet = Applet();
    char installed[32];
    ReadString(kAgentKeyPath, kCurrentVersionValue, installed, 31, "");
    if (!AgentUpgradeNeeded(HOROLOGIX_VERSION_TEXT, installed,
                            applet.settings.agentInstalled != 0)) {
        return false;
    }
    if (!RunInstallerQuietly(AppletInstallRequest(owner), true)) {
        return false; // the sheet opens with the settings already loaded
    }
    LoadSettingsWithBaseline(&applet.settings, &applet.baseline);
    SettingsRecord after = applet.settings;
    ApplyForceDisable(&after);
    SaveSettingsChangedFrom(applet.settings, applet.baseline, after);
    LoadSheetSettings();
    return true;
}

void RunSheet(HWND owner, uint32_t mode) {
    AppletState& applet = Applet();
    SheetResources* resources = CreateSheetResources();
    if (resources == nullptr) {
        return;
    }
    resources->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    resources->checkNowEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    resources->windowsOpen = 1;
    resources->pinnedModule = PinOwnModule();
    RetainSheetResources(resources); // the status thread's reference
    applet.statusThread =
        CreateThread(nullptr, 0, StatusThreadMain, resources, CREATE_SUSPENDED, nullptr);
    if (applet.statusThread == nullptr) {
        if (resources->pinnedModule != nullptr) {
            FreeLibrary(resources->pinnedModule);
            resources->pinnedModule = nullptr;
        }
        ReleaseSheetResources(resources);
    }
    CreateFontsAndIcons(resources);
    applet.sheet = resources;

    const OsFamily localOs = LocalSystemIdentity().os;
    applet.remoteWin2000 =
        TargetIsRemote() && localOs > kOsWin2000 && applet.targetOs == kOsWin2000;
    if (TargetIsRemote()) {
        SetProcessOsFamily(applet.targetOs);
        RefreshFamilyEnvironment();
    }
    LoadSheetSettings();
    ServiceRestart restart{};
    if (mode == kModeSheet && applet.targetOs > kOsWin2000 && UpgradeInstalledAgent(owner)) {
        StartServiceRestart(&restart);
    }

    int templates[kMaxSheetPages];
    const size_t count =
        SheetPageTemplates(applet.targetOs, applet.settings.agentInstalled != 0, templates);
    PROPSHEETPAGEA pages[kMaxSheetPages] = {};
    UINT pageCount = 0;
    for (size_t i = 0; i < count; ++i) {
        DLGPROC procedure = PageProcOf(templates[i]);
        if (procedure == nullptr) {
            continue;
        }
        PROPSHEETPAGEA& page = pages[pageCount++];
        page.dwSize = sizeof(page);
        page.dwFlags = 0;
        page.hInstance = AppletModule();
        page.pszTemplate = MAKEINTRESOURCEA(templates[i]);
        page.pfnDlgProc = procedure;
    }

    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_PROPSHEETPAGE | PSH_USECALLBACK;
    header.hwndParent = owner;
    header.hInstance = AppletModule();
    header.pszCaption = HOROLOGIX_PRODUCT_NAME;
    header.nPages = pageCount;
    header.nStartPage = 0;
    header.ppsp = pages;
    header.pfnCallback = SheetCallback;
    {
        ModuleActivation activation;
        PropertySheetA(&header);
    }

    // The sheet has closed: its windows are gone, so the status thread may no longer touch any.
    InterlockedExchange(&resources->windowsOpen, 0);
    if (applet.graphWindow != nullptr && IsWindow(applet.graphWindow)) {
        DestroyWindow(applet.graphWindow);
    }
    applet.graphWindow = nullptr;
    applet.sheetWindow = nullptr;
    applet.clientPage = nullptr;
    if (applet.statusThread != nullptr) {
        ResumeThread(applet.statusThread);
    }
    SetEvent(resources->stopEvent);
    if (applet.winsockStarted) {
        WSACleanup();
    }
    PurgeTemporaryViews();
    if (applet.statusThread != nullptr) {
        // A thread that has not ended by now keeps its own reference: what it may still touch
        // lives until it ends.
        WaitForSingleObject(applet.statusThread, kStatusThreadWaitMs);
        CloseHandle(applet.statusThread);
        applet.statusThread = nullptr;
    }
    if (restart.thread != nullptr) {
        // Bounded by the service-control waits; the thread runs this module's code.
        WaitForSingleObject(restart.thread, INFINITE);
        CloseHandle(restart.thread);
    }
    applet.sheet = nullptr;
    ReleaseSheetResources(resources);
    ReleaseSettingsBaseline(&applet.baseline);
    applet.winsockStarted = false;
}

// Checks 5 to 12 of a run; 0 when all pass, else the refusing check's error.
DWORD CheckStart(HWND owner, DWORD winsockError) {
    AppletState& applet = Applet();
    if (!IsAdministrator()) {
        return Refuse(owner, ERROR_ACCESS_DENIED,
                      "Sorry, you must have administrative privileges in order to run this "
                      "applet.");
    }

    ServerInfo101 info{};
    if (!TargetIsRemote()) {
        applet.targetOs = LocalSystemIdentity().os;
        applet.serverTypeBits =
            ReadServerInfo(nullptr, &info) == ERROR_SUCCESS ? info.type : kLocalServerTypeBits;
    } else {
        const DWORD status = ReadServerInfo(applet.targetMachine, &info);
        if (status != ERROR_SUCCESS) {
            return Refuse(owner, status,
                          "Could not retrieve operating system version information for %s; %s",
                          applet.targetMachine, SystemErrorText(status));
        }
        applet.serverTypeBits = info.type;
        applet.targetOs = OsFamilyFromServerInfo(info.type, info.versionMajor, info.versionMinor);
    }

    char description[256];
    if (LocalSystemIdentity().os < kOsWin2000) {
        DescribeLocalSystem(LocalSystemIdentity(), description, sizeof(description));
        return Refuse(owner, kErrorOldRelease,
                      "This program requires Windows 2000 or later. This machine is %s.",
                      description);
    }
    if (applet.targetOs < kOsWin2000) {
        DescribeSystem(kArchOmitted, applet.targetOs, description, sizeof(description));
        return Refuse(owner, kErrorOldRelease,
                      "This program requires Windows 2000 or later. %s appears to be %s.",
                      applet.targetMachine, description);
    }
    if (IsWow64()) {
        return Refuse(owner, kErrorOldRelease,
                      "You have launched the 32-bit version of this program, but you are running "
                      "a 64-bit operating system.\r\nPlease use the 64-bit version instead.");
    }
    if (!applet.winsockStarted) {
        WSASetLastError(static_cast<int>(winsockError));
        const char* text = LastSocketErrorText();
        return Refuse(owner, winsockError, "Unable to start the Winsock subsystem. %s", text);
    }
    if (TargetIsRemote() && !SetRegistryFocus(applet.targetMachine)) {
        const DWORD error = GetLastError();
        return Refuse(owner, error, "Cannot set focus to remote machine; %s",
                      SystemErrorText(error));
    }
    char message[512];
    if (!TestRegistryAccess(owner, TargetOrNull(), nullptr, message, sizeof(message))) {
        const DWORD error = GetLastError();
        SetRegistryFocus(nullptr);
        return Refuse(owner, error, "%s", message);
    }
    return ERROR_SUCCESS;
}

LRESULT RunInstallerMode(HWND owner, uint32_t mode, DWORD* error) {
    AppletState& applet = Applet();
    const bool install = mode == kModeInstall;
    if (install && TargetIsRemote()) {
        const ArchCode remote = TargetArchitecture();
        if (remote != LocalSystemIdentity().arch) {
            *error = Refuse(owner, kErrorOldRelease,
                            "%s is %s. You cannot install to a different machine architecture "
                            "remotely.",
                            applet.targetMachine, ArchName(remote));
            return 0;
        }
        SetProcessOsFamily(applet.targetOs);
        RefreshFamilyEnvironment();
    }
    const InstallRequest request = AppletInstallRequest(owner);
    const int result = applet.quietMode ? RunInstallerQuietly(request, install)
                                        : RunInstallerWithProgress(request, install);
    if (result == 0) {
        *error = GetLastError();
    }
    return result;
}

} // namespace

void SetAppletStartFault(AppletStartFault fault) {
    g_fault = fault;
}

void SetStatusThreadBodyForTesting(StatusThreadBody body) {
    g_statusBody = body;
}

LRESULT RunApplet(HWND owner, uint32_t mode) {
    AppletState& applet = Applet();
    WSADATA winsock;
    int winsockError = WSAStartup(MAKEWORD(2, 2), &winsock);
    if (winsockError == 0 && g_fault == AppletStartFault::kWinsockRefused) {
        WSACleanup();
        winsockError = WSASYSNOTREADY;
    }
    applet.winsockStarted = winsockError == 0;
    {
        ModuleActivation activation;
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
    }
    ReadEnvironment();
    if (strcasecmp(applet.targetMachine, CurrentEnvironment().computerName) == 0) {
        applet.targetMachine[0] = '\0';
    }
    // A remote target's release stands in for the local one only during the run.
    const OsFamily localOs = LocalSystemIdentity().os;

    LRESULT result = 0;
    DWORD error = CheckStart(owner, static_cast<DWORD>(winsockError));
    if (error == ERROR_SUCCESS) {
        if (mode == kModeRemove || mode == kModeInstall) {
            result = RunInstallerMode(owner, mode, &error);
        } else {
            RunSheet(owner, mode);
            result = 1;
        }
    }

    SetRegistryFocus(nullptr);
    if (LocalSystemIdentity().os != localOs) {
        SetProcessOsFamily(localOs);
        RefreshFamilyEnvironment();
    }
    if (applet.winsockStarted) {
        WSACleanup();
        applet.winsockStarted = false;
    }
    SetLastError(error);
    return result;
}

namespace {

// Whether the process token holds BUILTIN\Administrators, whatever the group's attributes.
bool TokenHoldsAdministrators() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return false;
    }
    UniqueKernelHandle token(rawToken);
    alignas(TOKEN_GROUPS) BYTE buffer[1024];
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenGroups, buffer, sizeof(buffer), &size)) {
        return false;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators)) {
        return false;
    }
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer);
    bool found = false;
    for (DWORD i = 0; i < groups->GroupCount && !found; ++i) {
        found = EqualSid(groups->Groups[i].Sid, administrators) != FALSE;
    }
    FreeSid(administrators);
    return found;
}

} // namespace

bool IsAdministrator() {
    if (g_fault == AppletStartFault::kNotAdministrator) {
        return false;
    }
    if (LocalSystemIdentity().isWin9x) {
        return true;
    }
    // Any one of the three answers yes. The process's own token is asked first: opening this
    // machine's administrative share goes through the network redirector, which can take long
    // (or wait for a time-out) where the server service is slow or stopped.
    if (TokenHoldsAdministrators() || CanEnablePrivilege("SeTcbPrivilege")) {
        return true;
    }
    char share[300];
    std::snprintf(share, sizeof(share), "\\\\%s\\ADMIN$", CurrentEnvironment().computerName);
    UniqueFile folder(CreateFileA(share, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return static_cast<bool>(folder);
}

bool TestRegistryAccess(HWND, const char* machine, const char* key, char* message, size_t size) {
    char name[40];
    std::snprintf(name, sizeof(name), "tessaric-test-%d", static_cast<int>(GetTickCount()));
    const char* path = key != nullptr && key[0] != '\0' ? key : kDefaultTestKey;
    const char* who = machine != nullptr && machine[0] != '\0' ? machine : "this";
    if (!WriteString(path, name, "Access Test")) {
        const DWORD error = GetLastError();
        std::snprintf(message, size,
                      "Could not write test value to %s key on %s machine's registry; %s", path,
                      who, SystemErrorText(error));
        SetLastError(error);
        return false;
    }
    char* text = ReadStringCopy(path, name, nullptr);
    const DWORD readError = GetLastError();
    if (text != nullptr && std::strcmp(text, "Access Test") == 0) {
        FreeStringCopy(text);
        if (!DeleteValue(path, name)) {
            const DWORD error = GetLastError();
            std::snprintf(message, size,
                          "Could not delete test value from %s key on %s machine's registry; %s",
                          path, who, SystemErrorText(error));
            SetLastError(error);
            return false;
        }
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    const DWORD error = text != nullptr ? ERROR_ACCESS_DENIED : readError;
    if (text != nullptr) {
        FreeStringCopy(text);
    }
    std::snprintf(message, size,
                  "Could not read test value from %s key on %s machine's registry; %s", path, who,
                  SystemErrorText(error));
    SetLastError(error);
    return false;
}
