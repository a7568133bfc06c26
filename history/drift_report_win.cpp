// The summary report's shell: the zone the system reports, the temporary file and Notepad.
#include "history/drift_graph_win.h"

#include <cstdio>
#include <cstring>

#include "common/error_text_win.h"
#include "common/unique_handle_win.h"
#include "config/text_view_win.h"
#include "history/drift_report.h"
#include "timesrc/clock_math.h"

namespace {

char g_zoneLabel[kZoneLabelSize] = "Universal Coordinated Time (GMT+0)";
char g_lastReport[MAX_PATH] = "";

constexpr UINT kInfoStyle = MB_OK | MB_ICONINFORMATION | MB_TOPMOST;
constexpr UINT kWarningStyle = MB_OK | MB_ICONWARNING | MB_TOPMOST;

uint32_t Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return FileTimeToUnixSeconds(ticks);
}

} // namespace

void ReportZoneLabel(const DriftView& view) {
    if (!view.localTime) {
        std::snprintf(g_zoneLabel, sizeof(g_zoneLabel), "%s", kUtcZoneLabel);
        return;
    }
    TIME_ZONE_INFORMATION zone{};
    const DWORD state = GetTimeZoneInformation(&zone);
    const bool daylight = state == TIME_ZONE_ID_DAYLIGHT;
    const WCHAR* name = daylight ? zone.DaylightName : zone.StandardName;
    const LONG total = zone.Bias + (daylight ? zone.DaylightBias : zone.StandardBias);
    char ansi[kZoneNameChars + 1] = "";
    if (WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof(ansi), nullptr, nullptr) == 0) {
        ansi[0] = '\0';
    }
    ansi[kZoneNameChars] = '\0';
    FormatZoneLabel(ansi, zone.Bias, total, g_zoneLabel, sizeof(g_zoneLabel));
}

const char* CurrentZoneLabel() {
    return g_zoneLabel;
}

const char* LastReportPath() {
    return g_lastReport;
}

bool WriteSummaryReport(HWND owner, const DriftView& view) {
    if (view.count == 0 || !view.records) {
        MessageBoxA(owner, "No data points in this record; nothing to display.\r\n", "Horologix",
                    kInfoStyle);
        return false;
    }
    char folder[MAX_PATH] = "";
    const DWORD length = GetTempPathA(sizeof(folder), folder);
    if (length == 0 || length >= sizeof(folder)) {
        GetSystemDirectoryA(folder, sizeof(folder));
    }
    char name[MAX_PATH] = "";
    UniqueFile file;
    if (GetTempFileNameA(folder, "QXG", 0, name) != 0) {
        file.reset(CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    } else {
        // No unique name could be made there: the message names the folder the report was for.
        std::snprintf(name, sizeof(name), "%sQXG.tmp", folder);
    }
    if (!file) {
        const DWORD error = GetLastError();
        char text[640];
        std::snprintf(text, sizeof(text),
                      "Could not create file %s for output of raw drift data; %s", name,
                      SystemErrorText(error));
        MessageBoxA(owner, text, "Horologix", kWarningStyle);
        return false;
    }

    const ReportSource source{
        view.records.get(), view.count, view.averageInterval, view.localTime, view.path,
        g_zoneLabel,        Now()};
    HANDLE handle = file.get();
    // Write failures are ignored: the report is shown as far as it was written.
    FormatSummaryReport(source, [handle](const std::string& piece) {
        DWORD written = 0;
        WriteFile(handle, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr);
    });
    FlushFileBuffers(handle);
    file.reset();
    std::snprintf(g_lastReport, sizeof(g_lastReport), "%s", name);
    ViewTextFile(owner, name, true);
    return true;
}
