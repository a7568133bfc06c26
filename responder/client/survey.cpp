#include "responder/client/survey.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "responder/client/client_output.h"

namespace {

int64_t Magnitude(int64_t value) {
    return value < 0 ? -value : value;
}

std::string OffsetText(const SurveyRow& row) {
    return row.answered ? MillisecondsAsSeconds(row.offsetMs) : "-";
}

std::string AgeText(const SurveyRow& row) {
    if (!row.verified) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRId64, row.verificationAgeSeconds);
    return text;
}

// A CSV field, quoted when it holds a comma, a quote or a line end.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

} // namespace

SurveyRow SurveyRowOf(const AgentReading& r) {
    SurveyRow row{};
    row.target = r.target;
    row.answered = ProbeSucceeded(r);
    row.verificationAgeSeconds = -1;
    row.roundTripMs = r.durationSeconds * 1000.0;
    if (!row.answered) {
        return row;
    }
    row.offsetMs = r.haveStatus ? r.status.lastOffsetMs : r.block.lastOffsetMs;
    row.computer = r.haveStatus ? r.status.computerName : "";
    row.version = r.haveStatus ? r.status.versionText : r.block.versionText;
    row.partner = r.haveStatus ? r.status.partnerName : r.block.partnerName;
    if (r.haveVerification) {
        row.verified = true;
        row.lastVerification = r.lastVerification;
        const uint32_t now = r.haveStatus ? r.status.now : r.block.snapshotTime;
        row.verificationAgeSeconds =
            now > r.lastVerification ? static_cast<int64_t>(now - r.lastVerification) : 0;
    }
    return row;
}

void SortWorstFirst(std::vector<SurveyRow>* rows) {
    std::stable_sort(rows->begin(), rows->end(), [](const SurveyRow& a, const SurveyRow& b) {
        if (a.answered != b.answered) {
            return !a.answered;
        }
        if (!a.answered) {
            return false;
        }
        if (Magnitude(a.offsetMs) != Magnitude(b.offsetMs)) {
            return Magnitude(a.offsetMs) > Magnitude(b.offsetMs);
        }
        // Never verified counts as the oldest.
        const int64_t ageA = a.verified ? a.verificationAgeSeconds : INT64_MAX;
        const int64_t ageB = b.verified ? b.verificationAgeSeconds : INT64_MAX;
        return ageA > ageB;
    });
}

std::string RenderSurveyTable(const std::vector<SurveyRow>& rows) {
    size_t targetWidth = 6, computerWidth = 8;
    for (const SurveyRow& row : rows) {
        targetWidth = std::max(targetWidth, row.target.size());
        computerWidth = std::max(computerWidth, row.computer.size());
    }
    std::string text;
    char line[512];
    std::snprintf(line, sizeof(line), "%-*s  %-7s  %10s  %-20s  %8s  %-*s  %-16s  %s\n",
                  static_cast<int>(targetWidth), "TARGET", "STATE", "OFFSET_S", "LAST_VERIFIED",
                  "AGE_S", static_cast<int>(computerWidth), "COMPUTER", "VERSION", "PARTNER");
    text += line;
    size_t answered = 0;
    for (const SurveyRow& row : rows) {
        answered += row.answered ? 1 : 0;
        std::snprintf(line, sizeof(line), "%-*s  %-7s  %10s  %-20s  %8s  %-*s  %-16s  %s\n",
                      static_cast<int>(targetWidth), row.target.c_str(),
                      row.answered ? "ok" : "silent", OffsetText(row).c_str(),
                      row.verified ? IsoUtc(row.lastVerification).c_str() : "-",
                      AgeText(row).c_str(), static_cast<int>(computerWidth), row.computer.c_str(),
                      row.version.c_str(), row.partner.c_str());
        text += line;
    }
    std::snprintf(line, sizeof(line), "%zu agents asked, %zu answered, %zu silent\n", rows.size(),
                  answered, rows.size() - answered);
    return text + line;
}

std::string RenderSurveyJson(const std::vector<SurveyRow>& rows) {
    std::string text;
    for (const SurveyRow& row : rows) {
        Fields f;
        AddText(&f, "target", row.target);
        AddBoolean(&f, "answered", row.answered);
        if (row.answered) {
            AddDecimal(&f, "offset_s", static_cast<double>(row.offsetMs) / 1000.0, 3);
            if (row.verified) {
                AddText(&f, "last_verification", IsoUtc(row.lastVerification));
                AddNumber(&f, "verification_age_s", row.verificationAgeSeconds);
            }
            AddText(&f, "computer", row.computer);
            AddText(&f, "version", row.version);
            AddText(&f, "partner", row.partner);
        }
        text += RenderJson(f) + "\n";
    }
    return text;
}

std::string RenderSurveyCsv(const std::vector<SurveyRow>& rows) {
    std::string text = "target,answered,offset_s,last_verification,verification_age_s,computer,"
                       "version,partner\n";
    for (const SurveyRow& row : rows) {
        text += CsvField(row.target) + "," + (row.answered ? "1" : "0") + "," +
                (row.answered ? MillisecondsAsSeconds(row.offsetMs) : "") + "," +
                (row.verified ? IsoUtc(row.lastVerification) : "") + "," +
                (row.verified ? AgeText(row) : "") + "," + CsvField(row.computer) + "," +
                CsvField(row.version) + "," + CsvField(row.partner) + "\n";
    }
    return text;
}
