#pragma once

#include "bench/soak/ProcessFigures.h"

#include <string>
#include <vector>

// Resident memory over a run, judged by its trend: a straight line fitted
// through every sample, so that neither a pane that happened to be busy at
// one sample nor one lucky figure decides.
class MemoryTrend {
public:
    void Add(double minutes, const ProcessFigures& figures);
    size_t Samples() const { return m_samples.size(); }
    // Growth of the fitted line from the first sample to the last, in percent
    // of its value at the first; 0 with fewer than two samples.
    double RssGrowthPercent() const { return Growth(&ProcessFigures::rssMiB); }
    // "RSS +1.2% (anonymous +2.0%, file -0.4%), fitted over N samples from
    // A to B min"
    std::string Text() const;

private:
    struct Sample {
        double minutes;
        ProcessFigures figures;
    };
    double Growth(double ProcessFigures::*figure) const;

    std::vector<Sample> m_samples;
};
