#include "history/drift_file.h"

#include <cstdio>
#include <cstring>

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (LowerAscii(*a) != LowerAscii(*b)) {
            return false;
        }
    }
    return *a == *b;
}

} // namespace

DriftAppendPlan PlanDriftAppend(uint64_t size) {
    DriftAppendPlan plan{};
    plan.wholeBytes = size - size % kDriftRecordSize;
    plan.trim = plan.wholeBytes >= kDriftMaxBytes;
    plan.keepFrom = plan.trim ? plan.wholeBytes - kDriftKeepBytes : 0;
    return plan;
}

bool FindRecordAfterInBlock(const uint8_t* data, size_t size, uint32_t after, DriftRecord* record) {
    for (size_t at = 0; size - at >= kDriftRecordSize; at += kDriftRecordSize) {
        DriftRecord candidate;
        DecodeDriftRecord(data + at, &candidate);
        if (candidate.checkTime > after) {
            *record = candidate;
            return true;
        }
    }
    return false;
}

DriftFileCheck CheckDriftFile(const uint8_t* data, size_t size, DriftRecord* records) {
    DriftFileCheck check{};
    check.count = static_cast<uint32_t>(size / kDriftRecordSize);
    if (size % kDriftRecordSize != 0) {
        check.firstBadRecord = check.count;
        return check;
    }
    uint32_t intervalSum = 0;
    uint32_t previousTime = 0;
    for (uint32_t index = 0; index < check.count; ++index) {
        DriftRecord record;
        DecodeDriftRecord(data + static_cast<size_t>(index) * kDriftRecordSize, &record);
        if (!IsValidDriftRecord(record)) {
            check.firstBadRecord = index;
            return check;
        }
        if (index > 0) {
            // Wraps modulo 2^32 like the sum itself: a record older than its predecessor takes
            // back what the next one adds, so the sum stays last minus first.
            intervalSum += record.checkTime - previousTime;
        }
        previousTime = record.checkTime;
        if (records != nullptr) {
            records[index] = record;
        }
    }
    check.valid = true;
    check.firstBadRecord = check.count;
    check.averageInterval = check.count > 1 ? intervalSum / (check.count - 1) : 0;
    return check;
}

void MakeDriftFileTitle(const char* path, char* title, size_t size) {
    if (title == nullptr || size == 0) {
        return;
    }
    title[0] = '\0';
    if (path == nullptr) {
        return;
    }
    const char* separator = std::strrchr(path, '\\');
    if (separator == nullptr) {
        separator = std::strrchr(path, '/');
    }
    const char* name = separator != nullptr ? separator + 1 : path;
    if (separator != nullptr && EqualsIgnoringCase(name, kDriftFileName)) {
        // The agent's own file: every machine's is called the same, so the folder tells them
        // apart.
        std::snprintf(title, size, "%s", path);
        return;
    }
    const char* dot = std::strrchr(name, '.');
    const size_t length = dot != nullptr ? static_cast<size_t>(dot - name) : std::strlen(name);
    const size_t kept = length < size - 1 ? length : size - 1;
    std::memcpy(title, name, kept);
    title[kept] = '\0';
}
