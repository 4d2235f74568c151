#pragma once

#include <cstdint>
#include <map>
#include <string>

// Puts copied files into a local folder without ever replacing a file there.
//
// An incoming file whose name is taken keeps the file already there: when the
// two are byte for byte the same, the incoming one is already home and is
// dropped; otherwise it gets the first free name of NAME-2.EXT, NAME-3.EXT ...
// Each placement is atomic against other threads and processes placing into
// the same folder (a rename that refuses to replace, or a hard link).
class HomeFolder {
public:
    // Moves every file below `from` to the same place below `to`, making
    // sub-folders as needed. `placed` maps each file's path below `from`
    // ("a.jpg", "Camera/b.jpg") to the local path where it now lies. False
    // when anything could not be placed; it then stays below `from`. A
    // missing `from` holds nothing and succeeds.
    static bool MoveIn(const std::string& from, const std::string& to, std::map<std::string, std::string>& placed);

    // "a.jpg", 3 -> "a-3.jpg"; "README", 2 -> "README-2"; ".rc", 2 -> ".rc-2".
    static std::string Numbered(const std::string& name, int number);

    static bool SameContent(const std::string& a, const std::string& b);

    // Files (anything but folders) below `folder` and the sum of their sizes.
    struct Measure {
        uint64_t files = 0;
        uint64_t bytes = 0;
        bool operator==(const Measure&) const = default;
    };
    static Measure Measured(const std::string& folder);
};
