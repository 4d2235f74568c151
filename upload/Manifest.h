#pragma once

#include <string>
#include <vector>

// The evidence kept beside a device's uploads in its WEAR_<name> folder:
// "MANIFEST.sha256", one line per file brought home in the format that
// `sha256sum -c` checks, and "UPLOADS.txt", one line per upload (when, which
// device, how it ended). Both only grow; every write is synced to disk.
class Manifest {
public:
    struct Entry {
        std::string sha256;   // 64 hex digits
        std::string relative; // path below the folder, "Tavoren_photos/a.jpg"
    };

    // One manifest line with its LF: "HASH  NAME", or "\HASH  NAME" with "\",
    // LF and CR in NAME written as "\\", "\n" and "\r" (as sha256sum does).
    static std::string Line(const Entry& entry);

    // Adds the entries that are not listed yet to `folder`/MANIFEST.sha256
    // and syncs it and the folder. 0, or the errno of what failed.
    static int Append(const std::string& folder, const std::vector<Entry>& entries);

    // Adds one line (its LF is added) to `folder`/UPLOADS.txt and syncs it.
    static int Record(const std::string& folder, const std::string& line);

    // Flushes a folder's entries (files made, renamed into it) to disk.
    static int SyncFolder(const std::string& folder);

    // A text for one field of a record line: tab, CR, LF and "\" escaped.
    static std::string Field(const std::string& text);
};
