#include "applet/service_rules.h"

#include <cstdio>

#include "applet/applet_rules.h"

const char kDefaultLogEntries[] = "0-300";

char* FormatServiceStatus(const char* machine, bool running, char* out, size_t size) {
    std::snprintf(out, size, "The Windows Time service on %s is %s",
                  machine != nullptr ? machine : "", running ? "running" : "stopped");
    return out;
}

const char* StartStopCaption(bool running) {
    return running ? "S&top" : "S&tart";
}

StartStopAction StartStopActionOf(bool running, int startupIndex) {
    if (running) {
        return StartStopAction{true, startupIndex};
    }
    return StartStopAction{false,
                           startupIndex == kStartupDisabled ? kStartupAutomatic : startupIndex};
}

char* FormatDefaultLogPath(const char* systemFolder, char* out, size_t size) {
    const char drive = systemFolder != nullptr && systemFolder[0] != '\0' ? systemFolder[0] : 'C';
    std::snprintf(out, size, "%c:\\w32time.log", drive);
    return out;
}

char* FormatLogFilePath(const char* typed, const char* remoteMachine, char* out, size_t size) {
    const char* text = typed != nullptr ? typed : "";
    if (remoteMachine == nullptr || remoteMachine[0] == '\0') {
        std::snprintf(out, size, "%s", text);
        return out;
    }
    // The drive's colon becomes the share's dollar: "C:\x" is "C$\x" on the machine.
    if (text[0] != '\0' && text[1] == ':') {
        std::snprintf(out, size, "\\\\%s\\%c$%s", remoteMachine, text[0], text + 2);
    } else {
        std::snprintf(out, size, "\\\\%s\\%s", remoteMachine, text);
    }
    return out;
}

void StoreLogFields(bool ticked, uint32_t megabytes, const char* path, const char* entries,
                    SettingsRecord* record) {
    if (!ticked) {
        record->fileLogging = 0;
        return;
    }
    record->fileLogSize = LogSizeBytes(megabytes);
    std::snprintf(record->fileLogName, sizeof(record->fileLogName), "%s",
                  path != nullptr ? path : "");
    std::snprintf(record->fileLogEntries, sizeof(record->fileLogEntries), "%s",
                  entries != nullptr ? entries : "");
    record->fileLogging = record->fileLogSize != 0 && record->fileLogName[0] != '\0' &&
                                  record->fileLogEntries[0] != '\0'
                              ? 1
                              : 0;
}
