#include <algorithm>
#include <cmath>

#include "zudor_host/remote.h"

namespace zudorhost {

void LatencyHistogram::add(double seconds)
{
    // Bucket i holds times from 10 us * 1.01^i: a median good to 1%.
    const double ratio = std::max(seconds, 1e-5) / 1e-5;
    const size_t bucket = size_t(std::log(ratio) / std::log(1.01));
    if (bucket >= buckets_.size())
        buckets_.resize(bucket + 1);
    ++buckets_[bucket];
    ++count_;
}

double LatencyHistogram::quantile(double q) const
{
    uint64_t seen = 0;
    for (size_t i = 0; i < buckets_.size(); ++i) {
        seen += buckets_[i];
        if (double(seen) >= q * double(count_) && count_ != 0)
            return 1e-5 * std::pow(1.01, double(i) + 0.5);
    }
    return 0;
}

} // namespace zudorhost
