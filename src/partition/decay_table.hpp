// Memoised exponential decays expf(-dt / tau) for small tick differences dt.
// Each entry is computed with exactly the expression of the direct formula, so
// a lookup is bit-identical to calling expf; larger differences and other time
// constants fall back to expf. Owned by a partition layer, used by its worker.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace synaptor {

/// The decay factor over `dt` ticks with time constant `tau`: the tick
/// difference is converted to f32 as an unsigned value, negated, then divided.
/// Below -104 the exponential is under half the least subnormal float and
/// expf returns +0.0 (through the library's underflow path, which also sets
/// errno); the same +0.0 is returned here without the call. A NaN quotient
/// fails the comparison and goes to expf as before.
inline float decay_factor(std::uint64_t dt, float tau) {
    const float x = -static_cast<float>(dt) / tau;
    if (x < -104.0f) return 0.0f;
    return expf(x);
}

class DecayTable {
public:
    static constexpr std::uint64_t kSize = 512;

    bool built_for(float tau) const {
        return limit_ != 0 && std::bit_cast<std::uint32_t>(tau) == tau_bits_;
    }

    void build(float tau) {
        for (std::uint64_t k = 0; k < kSize; ++k) values_[k] = decay_factor(k, tau);
        tau_bits_ = std::bit_cast<std::uint32_t>(tau);
        limit_ = kSize;
    }

    /// expf(-dt / tau); the table is used only when it was built for this very
    /// tau (compared bit for bit), so a stale table can never leak a value.
    float get(std::uint64_t dt, float tau) const {
        if (dt < limit_ && std::bit_cast<std::uint32_t>(tau) == tau_bits_) return values_[dt];
        return decay_factor(dt, tau);
    }

    /// Lookup for a caller that has checked built_for(tau) once for many uses.
    float get_built(std::uint64_t dt, float tau) const {
        return dt < kSize ? values_[dt] : decay_factor(dt, tau);
    }

    /// The memoised entry itself, for a caller that has checked built_for(tau)
    /// and dt < kSize (several tables of one size share that one check).
    float entry(std::uint64_t dt) const { return values_[dt]; }

private:
    std::array<float, kSize> values_{};
    std::uint32_t tau_bits_ = 0;
    std::uint64_t limit_ = 0;  ///< 0 until built
};

/// A few tables for the time constants of a layer's plasticity, found by
/// value. When all slots are taken, further time constants use expf directly.
class DecayTableSet {
public:
    static constexpr std::size_t kSlots = 6;

    /// The table for `tau`, building it in a free slot if needed; null when
    /// every slot holds another time constant.
    const DecayTable* table_for(float tau) {
        const auto bits = std::bit_cast<std::uint32_t>(tau);
        for (std::size_t i = 0; i < used_; ++i) {
            if (tau_bits_[i] == bits) return &tables_[i];
        }
        if (used_ == kSlots) return nullptr;
        tables_[used_].build(tau);
        tau_bits_[used_] = bits;
        return &tables_[used_++];
    }

    /// table_for(tau) for a caller that remembers where it found the table
    /// last time: `slot` is used when it holds a table for this very tau
    /// (compared bit for bit), and is updated otherwise.
    const DecayTable* table_for(float tau, std::uint8_t& slot) {
        if (slot < used_ && tau_bits_[slot] == std::bit_cast<std::uint32_t>(tau)) {
            return &tables_[slot];
        }
        return find_and_remember(tau, slot);
    }

    /// expf(-dt / tau) from `table` (built for tau, or null for none).
    static float lookup(const DecayTable* table, std::uint64_t dt, float tau) {
        return table != nullptr ? table->get_built(dt, tau) : decay_factor(dt, tau);
    }

    float get(std::uint64_t dt, float tau) {
        if (dt < DecayTable::kSize) {
            if (const DecayTable* table = table_for(tau)) return table->get_built(dt, tau);
        }
        return decay_factor(dt, tau);
    }

private:
    /// The slow path of table_for(tau, slot), kept out of line so that the
    /// fast path stays small where it is inlined.
    [[gnu::noinline]] const DecayTable* find_and_remember(float tau, std::uint8_t& slot) {
        const DecayTable* table = table_for(tau);
        if (table != nullptr) slot = static_cast<std::uint8_t>(table - tables_.data());
        return table;
    }

    std::array<std::uint32_t, kSlots> tau_bits_{};  ///< kept together for a short scan
    std::size_t used_ = 0;
    static_assert(kSlots < 0xFF, "slot numbers are remembered in a byte");
    std::array<DecayTable, kSlots> tables_{};
};

}  // namespace synaptor
