// The STDP kernel, the weight change of one pairing as a function of the
// signed tick difference (arrival minus post-synaptic spike), and its values
// memoised per parameter set for the differences a coincidence window allows.
// Kernels are held by a layer's pairing rules, used by its worker.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "params/params.hpp"

namespace synaptor {

/// The kernel for a signed time difference: the difference is converted to
/// f32, then divided by the time constant of its side.
inline float stdp_value(std::int64_t dt, const StdpParams& params) {
    const float x = static_cast<float>(dt);
    if (dt > 0) return params.factor_pre_after_post * expf(-x / params.tau_pre_after_post);
    return params.factor_pre_before_post * expf(x / params.tau_pre_before_post);
}

/// The four parameters compared bit for bit (a NaN matches itself, and -0.0
/// does not match +0.0), so a memoised kernel is only ever used for the very
/// parameters it was computed from.
inline bool same_bits(const StdpParams& a, const StdpParams& b) {
    static_assert(sizeof(StdpParams) == 16);
    struct Bits {
        std::uint64_t low;
        std::uint64_t high;
    };
    const auto x = std::bit_cast<Bits>(a);
    const auto y = std::bit_cast<Bits>(b);
    return ((x.low ^ y.low) | (x.high ^ y.high)) == 0;
}

class StdpKernel {
public:
    /// Differences beyond this (a coincidence window of 512 ticks or more)
    /// are computed directly.
    static constexpr std::uint64_t kMaxReach = 512;

    bool built_for(const StdpParams& params) const {
        return !values_.empty() && same_bits(params, params_);
    }

    /// Memoises stdp_value for every difference a window of `t_cutoff`
    /// ticks allows: -t_cutoff..t_cutoff, at most kMaxReach - 1 either way.
    void build(const StdpParams& params, std::uint64_t t_cutoff) {
        const std::uint64_t reach = (t_cutoff < kMaxReach - 1 ? t_cutoff : kMaxReach - 1) + 1;
        values_.resize(2 * reach - 1);
        size_ = values_.size();
        for (std::uint64_t i = 0; i < size_; ++i) {
            values_[i] = stdp_value(
                static_cast<std::int64_t>(i) - static_cast<std::int64_t>(reach - 1), params);
        }
        centre_ = reach - 1;
        params_ = params;
    }

    /// stdp_value(dt, params) for a caller that has checked built_for(params);
    /// a kernel never built computes every value directly.
    /// Made for every pairing: the lookup is inlined, the two exponentials
    /// of a difference outside the table are not.
    [[gnu::always_inline]] float get_built(std::int64_t dt, const StdpParams& params) const {
        // Below -centre the unsigned sum wraps past the end as well.
        const std::uint64_t i = static_cast<std::uint64_t>(dt) + centre_;
        if (i < size_) [[likely]] {
            return values_[i];
        }
        return computed(dt, params);
    }

private:
    [[gnu::noinline]] static float computed(std::int64_t dt, const StdpParams& params) {
        return stdp_value(dt, params);
    }

    std::vector<float> values_;  ///< empty until built; entry i is for dt = i - centre_
    std::uint64_t size_ = 0;     ///< values_.size(), kept at hand (one load fewer per pairing)
    std::uint64_t centre_ = 0;
    StdpParams params_{};
};

}  // namespace synaptor
