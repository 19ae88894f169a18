// Memoised exponential decays expf(-dt / tau) for tick differences dt.
// Each entry is computed with exactly the expression of the direct formula, so
// a lookup is bit-identical to it; differences past a table's end (unless they
// all decay to zero) and other time constants fall back to the formula. Owned
// by a partition layer, used by its worker.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "util/decay.hpp"

namespace synaptor {

class DecayTable {
public:
    /// Every built table covers at least the differences below kSize.
    static constexpr std::uint64_t kSize = 512;
    /// A table whose decays reach +0.0 within this many entries covers every
    /// difference: see build().
    static constexpr std::uint64_t kMaxSize = 4096;

    bool built_for(float tau) const {
        return !values_.empty() && std::bit_cast<std::uint32_t>(tau) == tau_bits_;
    }

    /// For a positive finite tau, the quotient -dt / tau falls as dt grows
    /// (the conversion to f32 and the division both round monotonically), so
    /// from the first dt whose quotient is below -104 on, decay_factor is +0.0
    /// for every larger dt. When that dt lies within kMaxSize the table ends
    /// with it, and lookups past the end read that last +0.0 entry: no
    /// difference needs the exponential. Otherwise the table has kSize
    /// entries and larger differences call decay_factor.
    void build(float tau) {
        std::uint64_t size = kSize;
        zero_tail_ = false;
        if (tau > 0.0f && tau < std::numeric_limits<float>::infinity()) {
            for (std::uint64_t dt = 0; dt < kMaxSize; ++dt) {
                if (underflows_to_zero(decay_exponent(dt, tau))) {
                    size = std::max(dt + 1, kSize);
                    zero_tail_ = true;
                    break;
                }
            }
        }
        values_.resize(size);
        for (std::uint64_t k = 0; k < size; ++k) values_[k] = decay_factor(k, tau);
        last_ = size - 1;
        tau_bits_ = std::bit_cast<std::uint32_t>(tau);
    }

    /// expf(-dt / tau); the table is used only when it was built for this very
    /// tau (compared bit for bit), so a stale table can never leak a value.
    float get(std::uint64_t dt, float tau) const {
        if (built_for(tau)) return get_built(dt, tau);
        return decay_factor(dt, tau);
    }

    /// Lookup for a caller that has checked built_for(tau) once for many uses.
    /// With a zero tail the index is clamped rather than tested, so the
    /// lookup has no branch that depends on dt.
    float get_built(std::uint64_t dt, float tau) const {
        if (zero_tail_) return get_clamped(dt);
        return dt <= last_ ? values_[dt] : decay_factor(dt, tau);
    }

    /// Whether the table answers for every difference (see build()).
    bool covers_every_difference() const { return zero_tail_; }

    /// get_built for a table that covers every difference.
    float get_clamped(std::uint64_t dt) const { return values_[dt < last_ ? dt : last_]; }

    /// The memoised entry itself, for a caller that has checked built_for(tau)
    /// and dt < kSize (several tables share that one check).
    float entry(std::uint64_t dt) const { return values_[dt]; }

private:
    std::vector<float> values_;  ///< empty until built
    std::uint64_t last_ = 0;     ///< index of the last entry
    std::uint32_t tau_bits_ = 0;
    bool zero_tail_ = false;  ///< every difference past the end decays to +0.0
};

}  // namespace synaptor
