// Geometry shared by network construction and validation: neuron positions on
// the unit interval, projection windows over a target layer, and the saturating
// float-to-unsigned conversions. All in f64.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace synaptor {

/// Float to u64, saturating: negative and NaN give 0, values at or above 2^64
/// give the largest u64. Every float-to-unsigned conversion goes through here;
/// a bare out-of-range cast is undefined.
inline std::uint64_t saturating_u64(double x) {
    if (!(x > 0.0)) return 0;  // also NaN
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

/// Rounds to nearest, halves away from zero, then converts with saturation.
inline std::uint64_t round_to_u64(double x) { return saturating_u64(std::round(x)); }

/// Positions of a layer's neurons: k * s with s = 1 / (n - 1) computed once
/// (a product with the stored reciprocal, not a quotient); a one-neuron layer
/// sits at 0.5 with s = +infinity.
struct LayerGeometry {
    std::uint64_t num_neurons = 0;
    double spacing = std::numeric_limits<double>::infinity();

    explicit LayerGeometry(std::uint64_t n) : num_neurons(n) {
        if (n >= 2) spacing = 1.0 / static_cast<double>(n - 1);
    }
    double position(std::uint64_t k) const {
        return num_neurons == 1 ? 0.5 : static_cast<double>(k) * spacing;
    }
};

/// Candidate indices lo..hi (inclusive) of a target layer; empty when hi < lo.
struct ProjectionWindow {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    bool empty() const { return hi < lo; }
    std::uint64_t count() const { return hi - lo + 1; }
};

/// How far a projection window reaches beyond half its width on each side:
/// 2^-52, the f64 machine epsilon.
inline constexpr double kWindowEps = std::numeric_limits<double>::epsilon();

/// The window of a pre-synaptic neuron at position `p` over a target layer
/// with at least one neuron, widened by kWindowEps on both sides.
inline ProjectionWindow projection_window(double p, double connect_width,
                                          const LayerGeometry& target) {
    const double half = connect_width * 0.5;
    const double eps = kWindowEps;
    const double s = target.spacing;
    ProjectionWindow w;
    w.lo = saturating_u64(std::ceil((p - half - eps) / s));
    w.hi = saturating_u64(std::floor((half + p + eps) / s));
    if (w.hi > target.num_neurons - 1) w.hi = target.num_neurons - 1;
    return w;
}

}  // namespace synaptor
