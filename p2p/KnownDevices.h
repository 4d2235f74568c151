#pragma once

#include <map>
#include <string>
#include <vector>

// The desk's list of device identities: a text file of `UID fingerprint`
// lines that an operator may read and edit. Comment lines (from '#'), a
// comment after the two fields and blank lines are kept as they are; a line that is not a UID and a "SHA256:"
// fingerprint is kept but counts for nothing, and for a UID listed twice the
// first line counts. Problems lists both kinds, by line number.
class KnownDevices {
public:
    explicit KnownDevices(std::string path) : m_path(std::move(path)) {}

    // Reads the file; a missing file is an empty list. False with `error`
    // set when it cannot be read.
    bool Load(std::string& error);
    // The fingerprint pinned for the UID; empty when there is none.
    std::string Find(const std::string& uid) const;
    // Pins a UID that has no line yet and writes the file whole, through a
    // temporary file that is synced and renamed over it.
    bool Add(const std::string& uid, const std::string& fingerprint, std::string& error);
    const std::vector<std::string>& Problems() const { return m_problems; }
    const std::string& Path() const { return m_path; }

    // Whether text has the form of a fingerprint ("SHA256:" and 43 base64 characters).
    static bool IsFingerprint(const std::string& text);

private:
    void Parse(const std::string& line, size_t number);

    std::string m_path;
    std::vector<std::string> m_lines; // as read, each without its line end
    std::map<std::string, std::string> m_pins;
    std::vector<std::string> m_problems;
};
