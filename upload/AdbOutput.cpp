#include "upload/AdbOutput.h"

#include <algorithm>
#include <charconv>

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "2020-01-01"
bool IsDate(std::string_view field) {
    if (field.size() != 10 || field[4] != '-' || field[7] != '-')
        return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!IsDigit(field[i]))
            return false;
    return true;
}

// "12:00" or "12:00:59"
bool IsTime(std::string_view field) {
    if ((field.size() != 5 && field.size() != 8) || field[2] != ':')
        return false;
    for (size_t i = 0; i < field.size(); ++i)
        if (i % 3 == 2 ? field[i] != ':' : !IsDigit(field[i]))
            return false;
    return true;
}

// Busybox's dates: "Mar  4 12:30" for recent files, "Dec 31  2019" for older ones.
bool IsMonth(std::string_view field) {
    for (std::string_view month : {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"})
        if (field == month)
            return true;
    return false;
}

bool IsDigits(std::string_view field, size_t least, size_t most) {
    if (field.size() < least || field.size() > most)
        return false;
    for (char c : field)
        if (!IsDigit(c))
            return false;
    return true;
}

bool ParseNumber(std::string_view text, uint64_t& value) {
    if (text.empty())
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// The whole number that ends right before `at`; -1 when there is none.
int NumberBefore(std::string_view line, size_t at) {
    size_t begin = at;
    while (begin > 0 && IsDigit(line[begin - 1]))
        --begin;
    uint64_t value = 0;
    if (!ParseNumber(line.substr(begin, at - begin), value) || value > INT32_MAX)
        return -1;
    return static_cast<int>(value);
}

struct Field {
    std::string_view text;
    size_t end; // offset in the line just past the field
};

std::vector<Field> Fields(std::string_view line) {
    std::vector<Field> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t begin = line.find_first_not_of(" \t", pos);
        if (begin == std::string_view::npos)
            break;
        size_t end = line.find_first_of(" \t", begin);
        if (end == std::string_view::npos)
            end = line.size();
        fields.push_back({line.substr(begin, end - begin), end});
        pos = end;
    }
    return fields;
}

// A regular file's line: "-rw-rw---- 1 root sdcard_rw 1234 2020-01-01 12:00 NAME"
// (toybox), the same without the link count (toolbox), or with a busybox date
// ("... 1234 Mar  4 12:30 NAME"). NAME is all that follows the time (or year)
// and one blank, spaces included.
bool ParseFileLine(std::string_view line, std::string_view& name, uint64_t& size) {
    std::vector<Field> fields = Fields(line);
    for (size_t i = 1; i < fields.size(); ++i) {
        size_t last = 0; // the date's last field
        if (i + 1 < fields.size() && IsDate(fields[i].text) && IsTime(fields[i + 1].text))
            last = i + 1;
        else if (i + 2 < fields.size() && IsMonth(fields[i].text) && IsDigits(fields[i + 1].text, 1, 2) &&
                 (IsTime(fields[i + 2].text) || IsDigits(fields[i + 2].text, 4, 4)))
            last = i + 2;
        if (last == 0 || !ParseNumber(fields[i - 1].text, size))
            continue;
        const size_t start = fields[last].end + 1;
        if (start >= line.size())
            return false;
        name = line.substr(start);
        return true;
    }
    return false;
}

// "* daemon not running; starting now ...", "* daemon started successfully":
// the tool started its server, and goes on.
bool IsServerNotice(std::string_view line) {
    return StartsWith(line, "* daemon not running") || StartsWith(line, "* daemon started");
}

bool IsPullError(std::string_view line) {
    if (IsServerNotice(line) || StartsWith(line, "adb: warning:"))
        return false;
    return AdbOutput::IsToolMessage(line) || StartsWith(line, "failed to ") || StartsWith(line, "remote object ") ||
           StartsWith(line, "cannot ");
}

bool IsLocalError(std::string_view line) {
    if (Contains(line, ": remote "))
        return false;
    for (std::string_view mark :
         {"cannot create", "cannot write", "failed to create directory", "No space left on device", "File too large",
          "Disk quota exceeded", "Read-only file system"})
        if (Contains(line, mark))
            return true;
    return false;
}

} // namespace

std::vector<std::string> AdbOutput::SplitText(std::string_view text, std::string_view separators) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(separators, pos);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > pos)
            pieces.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return pieces;
}

bool AdbOutput::IsToolMessage(std::string_view line) {
    return StartsWith(line, "error:") || StartsWith(line, "adb:") || StartsWith(line, "* daemon") ||
           StartsWith(line, "* failed") || Contains(line, "cannot connect to daemon");
}

bool AdbOutput::IsDeviceNotFound(std::string_view output) {
    if (Contains(output, "error: device not found"))
        return true;
    // Newer tools name the device: "error: device 'SERIAL' not found".
    for (const std::string& line : SplitText(output, "\r\n")) {
        size_t open = line.find("device '");
        if (Contains(line, "error") && open != std::string::npos &&
            line.find("' not found", open + 8) != std::string::npos)
            return true;
    }
    return false;
}

bool AdbOutput::HasToolError(std::string_view output) {
    for (const std::string& line : SplitText(output, "\r\n"))
        if (IsToolMessage(line) && !IsServerNotice(line) && !StartsWith(line, "adb: warning:"))
            return true;
    return false;
}

std::vector<AdbOutput::Device> AdbOutput::ParseDevices(std::string_view output) {
    std::vector<Device> devices;
    for (const std::string& line : SplitText(output, "\r\n")) {
        if (line.find('\t') != std::string::npos) {
            std::vector<std::string> fields = SplitText(line, "\t");
            if (fields.size() >= 2)
                devices.push_back(
                    {fields[0], StartsWith(fields[1], "no permissions") ? "no permissions" : fields[1], {}});
            continue;
        }
        if (StartsWith(line, "List of devices") || StartsWith(line, "* ") || IsToolMessage(line))
            continue;
        const std::vector<std::string> words = SplitText(line, " ");
        if (words.size() < 2)
            continue;
        Device device{words[0], words[1], {}};
        if (words[1] == "no" && words.size() > 2 && StartsWith(words[2], "permissions"))
            device.state = "no permissions";
        for (const std::string& word : words)
            if (StartsWith(word, "transport_id:") && word.size() > 13)
                device.transport = word.substr(13);
        devices.push_back(std::move(device));
    }
    return devices;
}

bool AdbOutput::IsWaitingState(std::string_view state) {
    return state == "unauthorized" || state == "offline" || state == "authorizing" || state == "connecting";
}

bool AdbOutput::AcceptName(std::string_view line, std::span<const std::string> prefixes) {
    for (const std::string& prefix : prefixes) {
        if (prefix.size() > line.size())
            continue;
        if (!StartsWith(line, prefix))
            return true;
    }
    return false;
}

std::string AdbOutput::ParseName(std::string_view output, std::span<const std::string> prefixes) {
    for (const std::string& line : SplitText(output, "\r\n")) {
        // cat's and the device shell's complaints are not names either.
        if (IsToolMessage(line) || StartsWith(line, "cat: ") || StartsWith(line, "/system/bin/sh: ") ||
            StartsWith(line, "WARNING: linker:"))
            continue;
        if (AcceptName(line, prefixes))
            return line;
    }
    return {};
}

AdbOutput::Pull AdbOutput::ParsePull(std::string_view output) {
    Pull report;
    for (const std::string& line : SplitText(output, "\r\n")) {
        if (IsPullError(line)) {
            if (IsLocalError(line))
                report.localError = true;
            else if (Contains(line, "remote object") &&
                     (Contains(line, "No such file or directory") || Contains(line, "does not exist")))
                report.remoteMissing = true;
            else
                report.otherError = true;
            continue;
        }
        // "/sdcard/F/: 12 files pulled, 0 skipped. 3.1 MB/s (...)"
        size_t pulled = line.rfind(" pulled");
        size_t file = pulled == std::string::npos ? pulled : line.rfind(" file", pulled);
        if (file != std::string::npos && NumberBefore(line, file) >= 0) {
            report.pulled = NumberBefore(line, file);
            report.skipped = 0;
            size_t skipped = line.find(" skipped", pulled);
            // "0 skipped" or, from older tools, "0 files skipped"
            if (skipped != std::string::npos) {
                const std::string_view before = std::string_view(line).substr(0, skipped);
                report.skipped = std::max(0, NumberBefore(line, before.ends_with(" files") ? skipped - 6 : skipped));
            }
            continue;
        }
        size_t arrow = line.find("->");
        if (arrow != std::string::npos && arrow > 0)
            ++report.arrows;
    }
    return report;
}

AdbOutput::Totals AdbOutput::ListingTotals(std::string_view output) {
    Totals totals;
    for (const std::string& line : SplitText(output, "\r\n")) {
        if (line[0] != '-')
            continue;
        ++totals.files;
        std::string_view name;
        uint64_t size = 0;
        if (ParseFileLine(line, name, size))
            totals.bytes += size;
    }
    return totals;
}
