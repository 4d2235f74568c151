// Reads arbitrary bytes as each output of the adb tool that the upload
// worker parses, and checks what the parsers promise rather than only that
// they survive:
// - every parser reads CR LF as LF;
// - `adb devices`: every device is one "serial<TAB>state" line (no field is
//   empty or holds a tab or line end); two outputs joined list both in order;
// - the Bluetooth name: a whole line that the name filter accepts and that is
//   no tool message; lines before it that are messages or refused names, and
//   any lines after it, change nothing;
// - `ls -laR`: the progress total is the number of lines that begin with "-";
// - the delete check: a file counts as deleted only on its own answer line;
// - `adb pull`: counts are never negative (-1: no summary); per-file lines
//   add up over joined outputs, errors are kept, the last summary counts.
#include "upload/AdbOutput.h"
#include "upload/DeleteScript.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <tuple>

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "invariant broken: %s\n", #condition);                                                \
            __builtin_trap();                                                                                          \
        }                                                                                                              \
    } while (0)

namespace {

using Lines = std::vector<std::string>;
// The upload worker's name filter table.
const std::string kPrefixes[] = {"KT", "RV", "PW", "J", "", "", "", "", "", ""};

std::string WithCrLf(std::string_view text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

auto Fields(const AdbOutput::Pull& r) {
    return std::make_tuple(r.arrows, r.pulled, r.skipped, r.localError, r.remoteMissing, r.otherError);
}

void CheckDevices(std::string_view text, std::string_view head, std::string_view tail) {
    const std::vector<AdbOutput::Device> devices = AdbOutput::ParseDevices(text);
    for (const AdbOutput::Device& device : devices)
        FUZZ_CHECK(!device.serial.empty() && !device.state.empty() &&
                   (device.serial + device.state + device.transport).find_first_of("\t\r\n") == std::string::npos &&
                   device.transport.find(' ') == std::string::npos);
    FUZZ_CHECK(AdbOutput::ParseDevices(WithCrLf(text)) == devices);
    std::vector<AdbOutput::Device> both = AdbOutput::ParseDevices(head);
    const std::vector<AdbOutput::Device> second = AdbOutput::ParseDevices(tail);
    both.insert(both.end(), second.begin(), second.end());
    FUZZ_CHECK(AdbOutput::ParseDevices(std::string(head) + "\n" + std::string(tail)) == both);
}

void CheckName(std::string_view text, const Lines& lines) {
    const std::string name = AdbOutput::ParseName(text, kPrefixes);
    if (!name.empty()) {
        FUZZ_CHECK(std::find(lines.begin(), lines.end(), name) != lines.end());
        FUZZ_CHECK(AdbOutput::AcceptName(name, kPrefixes) && !AdbOutput::IsToolMessage(name));
        FUZZ_CHECK(AdbOutput::ParseName(std::string(text) + "\nKT-2\n", kPrefixes) == name);
    }
    const std::string before =
        "* daemon started successfully\nJ\ncat: /data/misc/bluetooth/bt_name: Permission denied\n";
    FUZZ_CHECK(AdbOutput::ParseName(before + std::string(text), kPrefixes) == name);
    FUZZ_CHECK(AdbOutput::ParseName(WithCrLf(text), kPrefixes) == name);
}

void CheckListingAndDelete(std::string_view text, const Lines& lines) {
    const AdbOutput::Totals totals = AdbOutput::ListingTotals(text);
    FUZZ_CHECK(totals.files == std::count_if(lines.begin(), lines.end(), [](auto& l) { return l[0] == '-'; }));
    // A file counts as deleted only on a whole answer line of its own.
    const DeleteScript::Answers answers = DeleteScript::Parse(text);
    for (const auto& [index, answer] : answers.byIndex) {
        const std::string tag = "vantor:" + std::to_string(index) + ":";
        FUZZ_CHECK(std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.rfind(tag, 0) == 0; }));
        FUZZ_CHECK(answer != DeleteScript::Answer::None);
    }
    FUZZ_CHECK(DeleteScript::Parse(WithCrLf(text)).byIndex == answers.byIndex);
}

void CheckPull(std::string_view text, const Lines& lines, std::string_view head, std::string_view tail) {
    const AdbOutput::Pull report = AdbOutput::ParsePull(text);
    const auto arrowLines = std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("->") != l.npos; });
    FUZZ_CHECK(report.arrows >= 0 && report.arrows <= arrowLines);
    FUZZ_CHECK(report.pulled >= -1 && report.skipped >= 0 && (report.pulled >= 0 || report.skipped == 0));
    FUZZ_CHECK(Fields(AdbOutput::ParsePull(WithCrLf(text))) == Fields(report));
    const AdbOutput::Pull a = AdbOutput::ParsePull(head), b = AdbOutput::ParsePull(tail);
    const AdbOutput::Pull joined = AdbOutput::ParsePull(std::string(head) + "\n" + std::string(tail));
    const AdbOutput::Pull& summary = b.pulled >= 0 ? b : a;
    FUZZ_CHECK(joined.arrows == a.arrows + b.arrows && joined.pulled == summary.pulled &&
               joined.skipped == summary.skipped && joined.localError == (a.localError || b.localError) &&
               joined.remoteMissing == (a.remoteMissing || b.remoteMissing) &&
               joined.otherError == (a.otherError || b.otherError));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Where the input is cut in two for the joining checks.
    const size_t cut = size == 0 ? 0 : data[0] % size;
    const Lines lines = AdbOutput::SplitText(text, "\r\n");
    CheckDevices(text, text.substr(0, cut), text.substr(cut));
    CheckName(text, lines);
    CheckListingAndDelete(text, lines);
    CheckPull(text, lines, text.substr(0, cut), text.substr(cut));
    return 0;
}
