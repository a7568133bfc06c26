#include "bench/w32time_standin/standin_text.h"

#include <cstdio>

namespace standin {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string EscapeField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (const char c : field) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
                out += hex;
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string FormatRecord(const Record& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) {
            line += '\t';
        }
        line += EscapeField(fields[i]);
    }
    line += "\r\n";
    return line;
}

bool ParseRecord(std::string_view line, Record* fields) {
    Record result(1);
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            result.emplace_back();
            continue;
        }
        if (c != '\\') {
            result.back() += c;
            continue;
        }
        if (i + 1 >= line.size()) {
            return false;
        }
        const char e = line[++i];
        switch (e) {
        case '\\':
            result.back() += '\\';
            break;
        case 't':
            result.back() += '\t';
            break;
        case 'r':
            result.back() += '\r';
            break;
        case 'n':
            result.back() += '\n';
            break;
        case 'x': {
            if (i + 2 >= line.size()) {
                return false;
            }
            const int high = HexDigit(line[i + 1]);
            const int low = HexDigit(line[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            result.back() += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    *fields = std::move(result);
    return true;
}

std::vector<Record> ParseRecords(std::string_view text) {
    std::vector<Record> records;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            break;
        }
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        Record fields;
        if (!line.empty() && ParseRecord(line, &fields)) {
            records.push_back(std::move(fields));
        }
        start = end + 1;
    }
    return records;
}

bool ParseDottedQuad(std::string_view text, uint32_t* value) {
    uint32_t result = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part != 0) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
        uint32_t number = 0;
        size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            number = number * 10 + static_cast<uint32_t>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255) {
            return false;
        }
        result |= number << (8 * part);
    }
    if (pos != text.size()) {
        return false;
    }
    *value = result;
    return true;
}

std::string FormatDottedQuad(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", value & 0xFF, (value >> 8) & 0xFF,
             (value >> 16) & 0xFF, value >> 24);
    return text;
}

bool ParseInteger(std::string_view text, int64_t low, int64_t high, int64_t* value) {
    bool negative = false;
    size_t pos = 0;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
        negative = text[pos] == '-';
        ++pos;
    }
    int base = 10;
    if (text.size() - pos > 2 && text[pos] == '0' &&
        (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    if (pos >= text.size()) {
        return false;
    }
    // Accumulate as unsigned with an overflow bound one past INT64_MAX, so INT64_MIN parses.
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = HexDigit(text[pos]);
        if (digit < 0 || digit >= base) {
            return false;
        }
        if (magnitude > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
            return false;
        }
        magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    int64_t result;
    if (negative) {
        result = magnitude == (uint64_t{1} << 63) ? INT64_MIN : -static_cast<int64_t>(magnitude);
    } else {
        result = static_cast<int64_t>(magnitude);
    }
    if (result < low || result > high) {
        return false;
    }
    *value = result;
    return true;
}

} // namespace standin
