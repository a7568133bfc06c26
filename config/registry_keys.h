// Registry keys and value names that more than one module reads or writes: the Windows Time
// service's keys, the agent's provider key and the family products' keys, each written once.
// Paths are in the registry layer's notation ("\\A\B" is A\B below HKEY_LOCAL_MACHINE, see
// config/registry.h); a caller that opens a key itself takes SubkeyOf(path).
#pragma once

#define HOROLOGIX_SERVICES_KEY "\\\\System\\CurrentControlSet\\Services"
#define HOROLOGIX_W32TIME_KEY HOROLOGIX_SERVICES_KEY "\\W32Time"
#define HOROLOGIX_FAMILY_KEY "\\\\Software\\Tessaric"

// --- Windows Time and the machine ---
inline constexpr char kTimeServiceKeyPath[] = HOROLOGIX_W32TIME_KEY;
inline constexpr char kTimeParametersKeyPath[] = HOROLOGIX_W32TIME_KEY "\\Parameters";
inline constexpr char kTimeConfigKeyPath[] = HOROLOGIX_W32TIME_KEY "\\Config";
inline constexpr char kTimeProvidersKeyPath[] = HOROLOGIX_W32TIME_KEY "\\TimeProviders";
inline constexpr char kNtpClientKeyPath[] = HOROLOGIX_W32TIME_KEY "\\TimeProviders\\NtpClient";
inline constexpr char kNtpServerKeyPath[] = HOROLOGIX_W32TIME_KEY "\\TimeProviders\\NtpServer";
// The server service's parameters, whose "TimeSource" says the machine serves time (LAN Manager).
inline constexpr char kLanManParametersKeyPath[] =
    HOROLOGIX_SERVICES_KEY "\\LanmanServer\\Parameters";

// --- The agent: its provider key below Windows Time, and its values ---
inline constexpr char kAgentKeyPath[] = HOROLOGIX_W32TIME_KEY "\\TimeProviders\\Horologix";

// "True"/"False" (or a number): the agent is registered as a provider. The family products'
// parameter keys hold a value of the same name.
inline constexpr char kServiceInstalledValue[] = "Service Installed";
// "True"/"False": the agent's provider runs inside the service.
inline constexpr char kServiceRunningValue[] = "Service Running";
// The release text of the module the service last loaded.
inline constexpr char kCurrentVersionValue[] = "Current Version";
// Binary ring of the sources the agent used lately (agent/sync_follower.h holds its layout).
inline constexpr char kLastUsedTimeSourceValue[] = "Last Used Time Source";
// The text naming the service's present time partner.
inline constexpr char kCurrentPartnerValue[] = "Current Inbound Time Partner";
// Hours ahead the drift trend warns of a crossing (DWORD; 0 off).
inline constexpr char kDriftWarningHoursValue[] = "DriftWarningHours";

// --- The family products ---
inline constexpr char kFamilyServerParametersKey[] =
    HOROLOGIX_FAMILY_KEY "\\Quorvex Server\\Parameters";
inline constexpr char kFamilyClientParametersKey[] =
    HOROLOGIX_FAMILY_KEY "\\Quorvex Client\\Parameters";
inline constexpr char kFamilyServerProtocolsKey[] =
    HOROLOGIX_FAMILY_KEY "\\Quorvex Server\\Enabled Protocols";
inline constexpr char kFamilyServerServiceKey[] = HOROLOGIX_SERVICES_KEY "\\Quorvex Server";
inline constexpr char kFamilyClientServiceKey[] = HOROLOGIX_SERVICES_KEY "\\Quorvex Client";
// Booleans of the family client's parameters.
inline constexpr char kThinClientValue[] = "Thin Client";
inline constexpr char kUltraThinClientValue[] = "Ultra Thin Client";
// Boolean of the family server's parameters: it sets the clock itself.
inline constexpr char kSlaveModeValue[] = "Slave Mode";
// Boolean of either family product's parameters: the agent must stay off.
inline constexpr char kForceDisableValue[] = "Force Horologix Disable";

#undef HOROLOGIX_FAMILY_KEY
#undef HOROLOGIX_W32TIME_KEY
#undef HOROLOGIX_SERVICES_KEY

// The path below HKEY_LOCAL_MACHINE of a path "\\A\B" of the notation: "A\B".
constexpr const char* SubkeyOf(const char* path) {
    return path + 2;
}
static_assert(kAgentKeyPath[0] == '\\' && kAgentKeyPath[1] == '\\' && kAgentKeyPath[2] == 'S',
              "key paths name a key below HKEY_LOCAL_MACHINE");
