#include "bench/soak/ProcessFigures.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>

ProcessFigures ProcessFigures::Sample() {
    ProcessFigures figures;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            figures.rssMiB = std::atof(line.c_str() + 6) / 1024.0;
        else if (line.rfind("RssAnon:", 0) == 0)
            figures.anonMiB = std::atof(line.c_str() + 8) / 1024.0;
        else if (line.rfind("RssFile:", 0) == 0)
            figures.fileMiB = std::atof(line.c_str() + 8) / 1024.0;
        else if (line.rfind("Threads:", 0) == 0)
            figures.threads = std::atoi(line.c_str() + 8);
    }
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec); !ec && it != std::filesystem::end(it);
         it.increment(ec))
        ++figures.fds;
    --figures.fds; // the listing's own descriptor
    const struct mallinfo2 heap = mallinfo2();
    figures.heapMiB = static_cast<double>(heap.uordblks + heap.hblkhd) / (1024.0 * 1024.0);
    return figures;
}

std::string ProcessFigures::Text() const {
    char text[192];
    std::snprintf(text, sizeof text,
                  "RSS %.1f MiB (anonymous %.1f, file %.1f; heap in use %.1f MiB), %d threads, %d descriptors", rssMiB,
                  anonMiB, fileMiB, heapMiB, threads, fds);
    return text;
}
