#pragma once

#include <functional>

// Puts a finished recording on the disk before it is reported stopped. The
// steps, in order: the file's data (fragments and the appended index), the
// rewritten header near the start of the file, then the folder entry. Until
// a step has returned true, a power cut may take what it covers; the order
// makes every intermediate file one that plays (fragments, or the plain MP4).
//
// A probe, set by tests, is asked before each step: it may look at the file
// as a cut at that instant would leave it, and returning false makes the
// step fail as a failing fsync would.
class FileSync {
public:
    enum Step { kData, kHeaderRewrite, kHeaderSync, kFolder };
    using Probe = std::function<bool(Step step, int fd)>;

    // fdatasync(fd): false when the probe refuses or the disk reports an error.
    static bool SyncData(Step step, int fd);
    // fsync(fd), for folders and for a file whose size or header changed.
    static bool SyncAll(Step step, int fd);
    // Asks the probe about a step that is not a sync (the header rewrite).
    static bool Allow(Step step, int fd);

    // Process-wide; an empty probe removes it.
    static void SetProbe(Probe probe);
};
