// The two figures a set of repetitions is summed up by.
#ifndef BENCH_NET_STATS_H
#define BENCH_NET_STATS_H

#include <algorithm>
#include <cmath>
#include <vector>

namespace bench {

inline double Median(std::vector<double> v) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// (max - min) / median; NaN for an empty set or a median of 0.
inline double Spread(const std::vector<double>& v) {
    if (v.empty())
        return NAN;
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    const double m = Median(v);
    return m > 0 ? (*hi - *lo) / m : NAN;
}

}  // namespace bench

#endif
