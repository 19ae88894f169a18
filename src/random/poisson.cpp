#include "random/poisson.hpp"

#include <cmath>
#include <numbers>

#include "util/panic.hpp"

namespace synaptor {

double uniform_unit_f64(ChaChaRng& rng) {
    return static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53;
}

namespace {

// Multiply uniform draws until the product falls below e^-lambda; the number
// of multiplications after the first draw is Poisson distributed.
double sample_by_multiplication(ChaChaRng& rng, double lambda) {
    const double limit = std::exp(-lambda);
    double product = uniform_unit_f64(rng);
    double k = 0.0;
    while (product >= limit) {
        product *= uniform_unit_f64(rng);
        k += 1.0;
    }
    return k;
}

// Atkinson's rejection method: a logistic envelope around the Poisson mass,
// accepted against the exact log-probability. Expected draws stay bounded for
// large means, where the multiplication method would need ~lambda draws.
double sample_by_rejection(ChaChaRng& rng, double lambda) {
    const double c = 0.767 - 3.36 / lambda;
    const double beta = std::numbers::pi / std::sqrt(3.0 * lambda);
    const double alpha = beta * lambda;
    const double k = std::log(c) - lambda - std::log(beta);
    const double log_lambda = std::log(lambda);
    for (;;) {
        // u = 0 gives x = -inf and is rejected by the sign test below.
        const double u = uniform_unit_f64(rng);
        const double x = (alpha - std::log((1.0 - u) / u)) / beta;
        const double n = std::floor(x + 0.5);
        if (n < 0.0) continue;
        const double v = uniform_unit_f64(rng);
        const double y = alpha - beta * x;
        const double t = 1.0 + std::exp(y);
        const double lhs = y + std::log(v / (t * t));
        const double rhs = k + n * log_lambda - std::lgamma(n + 1.0);
        if (lhs <= rhs) return n;
    }
}

}  // namespace

double sample_poisson(ChaChaRng& rng, double lambda) {
    expect(lambda > 0.0 && std::isfinite(lambda), "Poisson mean must be positive and finite");
    if (lambda < 30.0) return sample_by_multiplication(rng, lambda);
    return sample_by_rejection(rng, lambda);
}

}  // namespace synaptor
