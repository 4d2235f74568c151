#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The device-side check of a delete: one shell line that, for each file,
// renames it aside, hashes the renamed file on the device and removes it only
// when size and SHA-256 are those of the copy at home; otherwise it renames
// it back (and puts back a file an interrupted check left aside). Each file gets an explicit answer line; nothing else
// the shell prints (warnings, echoed input) and no exit code counts. Pure: no I/O.
class DeleteScript {
public:
    struct Item {
        std::string path; // below /sdcard, "Tavoren_photos/a.jpg"
        uint64_t size = 0;
        std::string sha256;
    };

    enum class Answer {
        None,    // no answer: not deleted
        Gone,    // matched and removed
        Missing, // not there (its folder is): nothing to delete
        Changed, // other content (or no plain file) now: kept
        Aside,   // changed, and a new file took its name meanwhile: kept under NAME.vantor-check
        Busy,    // could not be renamed aside (or a check of it is in the way): kept
        Refused, // matched, but the device would not remove it: kept
        NoDir,   // its folder is not there (storage not readable): kept
    };

    struct Answers {
        bool noSha256 = false;  // the device has no sha256sum: nothing was touched
        bool noStorage = false; // /sdcard could not be entered: nothing was touched
        std::map<size_t, Answer> byIndex;
    };

    // The shell line for items [first, first + count) of `items`, numbered by
    // their index in `items`.
    static std::string Build(const std::vector<Item>& items, size_t first, size_t count);

    // The length Build adds for one item (to keep a line within what the device takes).
    static size_t ItemLength(const Item& item);
    static size_t HeadLength();

    static Answers Parse(std::string_view output);

    // One word for the device shell: `text` in single quotes, any byte safe.
    static std::string Quote(const std::string& text);
};
