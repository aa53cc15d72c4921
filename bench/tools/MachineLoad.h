#pragma once
// The machine's one-minute load average, printed before a bench starts: timings taken while
// other work runs are not figures to compare, so ratios carry a note when the load is high.
#include <cstdio>
#include <cstdlib>

namespace lw::bench {

inline double loadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

// Above this one-minute load the timings are not valid figures.
inline constexpr double busyLoad = 2.0;

// The note ratios carry: empty on a quiet machine.
inline const char* busyNote() {
    const double load = loadAverage();
    return load > busyLoad ? " (machine busy: not a valid figure)" : "";
}

inline void printMachineLoad(const char* bench) {
    double load[3] = {-1, -1, -1};
    if (getloadavg(load, 3) == 3)
        std::printf("%s: load average %.2f %.2f %.2f%s\n", bench, load[0], load[1], load[2],
                    load[0] > busyLoad ? " (machine busy: figures below are not valid)" : "");
    else
        std::printf("%s: load average unknown\n", bench);
}

}  // namespace lw::bench
