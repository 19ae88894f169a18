// Samplers of the instance's stimulus: a uniform double in [0, 1) and a
// Poisson draw. Both draw only from the generator they are given, so the
// stimulus of an instance is reproducible from its seed. Used on the calling
// (Python) thread by the per-tick stimulus.
#pragma once

#include <cstdint>

#include "random/chacha_rng.hpp"

namespace synaptor {

/// Uniform in [0, 1): the top 53 bits of one 64-bit draw, scaled by 2^-53.
double uniform_unit_f64(ChaChaRng& rng);

/// A draw from the Poisson distribution with mean `lambda`, as a whole number
/// held in a double. Below 30 the multiplication method, from 30 on Atkinson's
/// rejection method. Requires a finite `lambda` > 0 (panics otherwise: the
/// rejection loop would never end on an infinite or NaN mean).
double sample_poisson(ChaChaRng& rng, double lambda);

}  // namespace synaptor
