// The settings record's stored values, listed once: the key and value each field of
// SettingsRecord is stored in, its type, what it reads as when missing, the longest text it
// keeps, the releases that have it, who writes it and the bit Apply marks it with. Loading,
// saving, writing back only what changed and comparing records all walk this one table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/settings.h"

// How a value is stored and read.
enum class SettingType : uint8_t {
    Number,     // REG_DWORD; the default when missing or of another type
    Boolean,    // a number or a text judged as a boolean (config/registry.h)
    Text,       // REG_SZ of at most limit characters, "" when missing
    SyncType,   // Parameters "Type": a text naming the client mode (NTP when none fits)
    ServerList, // Parameters "NTPServer": the server slots
};

// The releases whose Windows Time has the value.
enum class SettingRelease : uint8_t {
    All,
    Win2000Only,
    XpAndLater,
};

// Who writes the value.
enum class SettingOwner : uint8_t {
    Pages,        // the Windows Time settings the pages show: a full save and Apply
    Agent,        // the agent's settings: saved only together with the agent, and by Apply
    Registration, // the agent's registration: written by WriteAgentRegistration, not from here
    LoadedOnly,   // read for the record, never written
};

struct SettingField {
    const char* key; // registry layer notation
    const char* name;
    SettingType type;
    SettingRelease release;
    SettingOwner owner;
    uint32_t bit;          // SettingValue bit (config/settings_changes.h); 0: Apply never writes it
    uint32_t defaultValue; // a Number's or Boolean's value when missing
    size_t offset;         // of the field in SettingsRecord
    size_t limit;          // a Text's (or "Type" text's) longest read, in characters
};

// The table, in the order values are written: the machine's Windows Time settings, then the
// agent's registration and settings.
const SettingField* SettingFields(size_t* count);

// Whether the release (an OsFamily of common/system_identity.h) has the value.
bool SettingExistsOn(const SettingField& field, uint32_t os);

// The record's field of a Number, Boolean or SyncType value.
uint32_t* SettingNumber(SettingsRecord* record, const SettingField& field);
uint32_t SettingNumber(const SettingsRecord& record, const SettingField& field);
// The record's field of a Text value: limit characters and the terminator.
char* SettingText(SettingsRecord* record, const SettingField& field);
const char* SettingText(const SettingsRecord& record, const SettingField& field);

// Whether two records differ in the field's value: server slots count only while in use (the
// first serverCount), texts compare up to their terminator.
bool SettingDiffers(const SettingField& field, const SettingsRecord& a, const SettingsRecord& b);
// Whether two records differ in any value of the table (slots in use only, texts up to their
// terminator) or in whether the file log is on.
bool StoredSettingsDiffer(const SettingsRecord& a, const SettingsRecord& b);
