#include "bench/soak/MemoryTrend.h"

#include <cstdio>

void MemoryTrend::Add(double minutes, const ProcessFigures& figures) {
    m_samples.push_back({minutes, figures});
}

double MemoryTrend::Growth(double ProcessFigures::*figure) const {
    const size_t n = m_samples.size();
    if (n < 2)
        return 0;
    double sumX = 0, sumY = 0;
    for (const Sample& s : m_samples) {
        sumX += s.minutes;
        sumY += s.figures.*figure;
    }
    const double meanX = sumX / n, meanY = sumY / n;
    double sxy = 0, sxx = 0;
    for (const Sample& s : m_samples) {
        sxy += (s.minutes - meanX) * (s.figures.*figure - meanY);
        sxx += (s.minutes - meanX) * (s.minutes - meanX);
    }
    const double slope = sxx > 0 ? sxy / sxx : 0;
    const double first = meanY + slope * (m_samples.front().minutes - meanX);
    const double last = meanY + slope * (m_samples.back().minutes - meanX);
    return first > 0 ? (last / first - 1.0) * 100.0 : 0;
}

std::string MemoryTrend::Text() const {
    char text[200];
    std::snprintf(text, sizeof text,
                  "RSS %+.1f%% (anonymous %+.1f%%, file %+.1f%%), fitted over %zu samples from %.1f to %.1f min",
                  RssGrowthPercent(), Growth(&ProcessFigures::anonMiB), Growth(&ProcessFigures::fileMiB),
                  m_samples.size(), m_samples.empty() ? 0.0 : m_samples.front().minutes,
                  m_samples.empty() ? 0.0 : m_samples.back().minutes);
    return text;
}
