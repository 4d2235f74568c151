#pragma once

#include <string>

// This process's resident memory, threads and open descriptors, read from
// /proc/self, and the bytes its heap has handed out and not taken back.
struct ProcessFigures {
    double rssMiB = 0;
    double anonMiB = 0; // of it, anonymous memory (heap, stacks, pools)
    double fileMiB = 0; // and mapped files (libraries, fonts)
    double heapMiB = 0;
    int threads = 0;
    int fds = 0;

    static ProcessFigures Sample();
    std::string Text() const;
};
