#include "config/settings_changes.h"

#include "config/registry.h"

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
