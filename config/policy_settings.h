// The configuration in force: Group Policy's Windows Time values beside the local ones.
//
// Group Policy writes Windows Time settings under SOFTWARE\Policies\Microsoft\W32Time, in
// subkeys named like the service's own (Parameters, Config, TimeProviders\NtpClient,
// TimeProviders\NtpServer). The service takes each value present there in place of the local
// one of the same name under System\CurrentControlSet\Services\W32Time; a value policy leaves
// out keeps its local setting. The table below lists every value the policy templates write
// ("Configure Windows NTP Client", "Enable Windows NTP Client", "Enable Windows NTP Server",
// "Global Configuration Settings"), with the settings record's value it stands for where the
// pages show one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/settings.h"

// The policy key and its subkeys, in the registry layer's notation.
inline constexpr char kPolicyKeyPath[] = "\\\\Software\\Policies\\Microsoft\\W32Time";

enum class PolicyForm { Number, Text };

struct PolicyValueInfo {
    const char* subkey; // below the policy key (and below the service's key for the local one)
    const char* name;   // value name, as the templates write it
    PolicyForm form;    // REG_DWORD, or REG_SZ / REG_EXPAND_SZ
    uint32_t
        settingValue; // the SettingValue bit (settings_changes.h) of the record's field; 0 none
    const char* policyDefault; // what the template offers when the policy is enabled, as text
};

// Every policy value, in the templates' order.
const PolicyValueInfo* PolicyValueTable(size_t* count);

// One value as the registry holds it: present or not, its stored type and size, and its data
// read as a number (a four-byte value) or as text (types 1 and 2; cut texts are marked).
struct PolicyStoredValue {
    bool present = false;
    uint32_t type = 0;
    uint32_t size = 0;
    uint32_t number = 0;
    std::string text;
    bool textCut = false; // the text was longer than the reader takes
};

// Whether the service can use a stored policy value: a number must be a REG_DWORD of four
// bytes; a text a REG_SZ or REG_EXPAND_SZ, read whole, not empty; a "Type" text must name one of
// the types (NoSync, NT5DS, AllSync, NTP). Anything else is treated as absent, so the local value
// stays in force (what the service does with such data cannot be known from outside it).
bool PolicyValueUsable(const PolicyValueInfo& info, const PolicyStoredValue& value);

// The policy values of one machine, by their index in PolicyValueTable.
struct PolicyValues {
    static constexpr size_t kMaxValues = 48;
    PolicyStoredValue values[kMaxValues];
};

// The settings in force: the record with policy's values in place of the local ones, which
// settings policy sets, and the local values it hides.
struct EffectiveSettings {
    SettingsRecord effective;
    SettingsRecord local;
    uint32_t policySet = 0;      // SettingValue bits of the shown settings policy sets
    size_t policyValueCount = 0; // usable policy values, shown on a page or not
};

// Applies the usable policy values to a record loaded from the local values. Windows 2000 has
// no Windows Time policy: for it the local record is in force as it is.
EffectiveSettings ApplyPolicy(const SettingsRecord& local, const PolicyValues& policy,
                              bool windows2000);

// What Apply may store: the edited record with the local values back in every setting policy
// sets, so saving never writes over a local value that policy hides (the user could not change
// those settings: their controls show policy's value, disabled).
SettingsRecord LocalRecordToSave(const SettingsRecord& edited, const EffectiveSettings& settings);

// The line a page shows when policy sets any of its settings.
inline constexpr char kPolicyNoteText[] =
    "Some settings are set by Group Policy; change them there (Computer Configuration\\"
    "Administrative Templates\\System\\Windows Time Service).";
