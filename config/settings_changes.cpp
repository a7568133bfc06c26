#include "config/settings_changes.h"

#include <cstring>

#include "config/registry.h"
#include "config/settings_schema.h"

uint32_t ChangedSettingValues(const SettingsRecord& a, const SettingsRecord& b) {
    size_t count = 0;
    const SettingField* fields = SettingFields(&count);
    uint32_t changed = 0;
    for (size_t i = 0; i < count; ++i) {
        if (fields[i].bit != 0 && SettingDiffers(fields[i], a, b)) {
            changed |= fields[i].bit;
        }
    }
    // The file log's values are written together, and whether the log is on decides whether
    // they are written or deleted.
    if ((changed & kFileLogValues) != 0 || a.fileLogging != b.fileLogging) {
        changed |= kFileLogValues;
    }
    return changed;
}

bool StoredValueReadable(ValueForm form, uint32_t type, uint32_t size, bool fitted,
                         const char* text) {
    switch (form) {
    case ValueForm::Number:
        return type == kRegNumber && size == 4;
    case ValueForm::Text:
        return type == kRegString && fitted;
    case ValueForm::SyncType: {
        const uint32_t code = ParseSyncType(text);
        return type == kRegString && fitted && code >= kSyncNoSync && code <= kSyncNtp;
    }
    }
    return false;
}
