// What the benchmark programs read their figures from: the monotonic clock,
// the CPU time of a thread or the process, and order statistics of a series.
#pragma once
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace measure {

inline uint64_t now_ns()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// User and system CPU time of RUSAGE_THREAD or RUSAGE_SELF.
inline uint64_t cpu_ns(int who)
{
    rusage u{};
    getrusage(who, &u);
    return (static_cast<uint64_t>(u.ru_utime.tv_sec) + static_cast<uint64_t>(u.ru_stime.tv_sec)) * 1000000000u +
           (static_cast<uint64_t>(u.ru_utime.tv_usec) + static_cast<uint64_t>(u.ru_stime.tv_usec)) * 1000u;
}

// The value below which the share q (0 to 1) of the series lies: the element
// at index q * size, the last for q = 1; 0 for an empty series.  Reorders the
// series in place rather than copying it.
template <typename T>
double percentile(std::vector<T>& series, double q)
{
    if (series.empty())
        return 0;
    const size_t n = series.size();
    const auto k = series.begin() + static_cast<std::ptrdiff_t>(
                                        std::min<size_t>(n - 1, static_cast<size_t>(q * static_cast<double>(n))));
    std::nth_element(series.begin(), k, series.end());
    return static_cast<double>(*k);
}

}  // namespace measure
