#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Reads what the adb tool prints. Every function is pure: no I/O, no state,
// no toolkit; it takes any bytes (broken lines, NULs, invalid UTF-8, huge
// numbers) and returns a result without crashing or reading out of bounds.
//
// Lines are the pieces of a text split at CR and LF (empty ones dropped).
// "Tool messages" are the lines adb prints about itself rather than data from
// the device: "error: ...", "adb: ...", "* daemon ...", "* failed ...", and
// anything that says "cannot connect to daemon".
class AdbOutput {
public:
    // One line of `adb devices`: serial number, tab, state.
    struct Device {
        std::string serial;
        std::string state;
        std::string transport; // "transport_id:N" of `adb devices -l`; "" when not given
        bool operator==(const Device&) const = default;
    };

    // What `adb pull` said about its copy.
    struct Pull {
        int arrows = 0;             // per-file "... -> ..." lines (older tools print them)
        int pulled = -1;            // files pulled, from the last summary line; -1 without one
        int skipped = 0;            // files skipped, from the same line
        bool localError = false;    // it could not create or write a local file (disk full, permission)
        bool remoteMissing = false; // the device folder does not exist
        bool otherError = false;    // any other error line (device gone, offline, read failure)
    };

    // Cuts `text` at every character of `separators`; empty pieces are dropped.
    static std::vector<std::string> SplitText(std::string_view text, std::string_view separators);

    static bool IsToolMessage(std::string_view line);

    // The addressed device is gone: "error: device not found" or "... device 'S' not found".
    static bool IsDeviceNotFound(std::string_view output);

    // A tool message other than the notices of a server starting: the tool
    // failed (no server, device gone or offline, ...).
    static bool HasToolError(std::string_view output);

    // Every device line of `adb devices` ("serial<TAB>state") or `adb devices -l`
    // ("serial  state key:value ..."; the state may be "no permissions (...)"),
    // in order, whatever the state.
    static std::vector<Device> ParseDevices(std::string_view output);

    // States that turn into "device" by themselves (the user accepts the prompt, the link settles).
    static bool IsWaitingState(std::string_view state);

    // The name filter: false for a line that begins with every prefix of the
    // table that is not longer than it (so for "" and, with the worker's
    // table, for "J"); true for any other line.
    static bool AcceptName(std::string_view line, std::span<const std::string> prefixes);

    // The first line of the Bluetooth name output that is not a message of the
    // tool or the device shell and that the filter accepts; empty when none is.
    static std::string ParseName(std::string_view output, std::span<const std::string> prefixes);

    static Pull ParsePull(std::string_view output);

    // Regular files of a recursive listing (`ls -laR`) and the sum of the
    // sizes that could be read: for progress and for the copy's time limit.
    struct Totals {
        int files = 0;
        uint64_t bytes = 0;
    };
    static Totals ListingTotals(std::string_view output);
};
