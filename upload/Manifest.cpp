#include "upload/Manifest.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <sstream>

namespace {

// Appends `text` to `path` under an exclusive lock (other workers and other
// copies of the program append to the same file), starting a fresh line when
// an earlier write was cut short. With `unique`, lines already present are not added again.
int AppendLocked(const std::string& path, const std::vector<std::string>& lines, bool unique) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    int error = 0;
    flock(fd, LOCK_EX);
    std::string existing;
    char buffer[1 << 16];
    for (off_t at = 0;;) {
        const ssize_t got = pread(fd, buffer, sizeof(buffer), at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        existing.append(buffer, static_cast<size_t>(got));
        at += got;
    }
    std::set<std::string> present;
    if (unique) {
        std::istringstream in(existing);
        for (std::string line; std::getline(in, line);)
            present.insert(line + "\n");
    }
    std::string text = !existing.empty() && existing.back() != '\n' ? "\n" : "";
    for (const std::string& line : lines)
        if (present.insert(line).second || !unique)
            text += line;
    for (size_t done = 0; done < text.size();) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            error = wrote < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(wrote);
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    close(fd);
    return error;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string Manifest::Line(const Entry& entry) {
    std::string name;
    bool escaped = false;
    for (char c : entry.relative) {
        if (c == '\\' || c == '\n' || c == '\r') {
            escaped = true;
            name += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : "\\r";
        } else {
            name += c;
        }
    }
    return (escaped ? "\\" : "") + entry.sha256 + "  " + name + "\n";
}

int Manifest::Append(const std::string& folder, const std::vector<Entry>& entries) {
    std::vector<std::string> lines;
    for (const Entry& entry : entries)
        lines.push_back(Line(entry));
    const std::string path = folder + "/MANIFEST.sha256";
    const int error = AppendLocked(path, lines, true);
    return error != 0 ? error : SyncFolder(Folder(path));
}

int Manifest::Record(const std::string& folder, const std::string& line) {
    const std::string path = folder + "/UPLOADS.txt";
    const int error = AppendLocked(path, {line + "\n"}, false);
    return error != 0 ? error : SyncFolder(Folder(path));
}

int Manifest::SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return error;
}

std::string Manifest::Field(const std::string& text) {
    std::string field;
    for (char c : text)
        field += c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\\' ? "\\\\" : std::string(1, c);
    return field;
}
