#include "random/poisson.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "util/panic.hpp"

namespace synaptor {
namespace {

struct Moments {
    double mean;
    double variance;
};

Moments sample_moments(double lambda, int n, std::uint64_t seed) {
    ChaChaRng rng = ChaChaRng::seed_from_u64(seed);
    double sum = 0.0;
    double sum_sq = 0.0;
    for (int i = 0; i < n; ++i) {
        const double k = sample_poisson(rng, lambda);
        EXPECT_EQ(k, std::floor(k));
        EXPECT_GE(k, 0.0);
        sum += k;
        sum_sq += k * k;
    }
    const double mean = sum / n;
    return {mean, sum_sq / n - mean * mean};
}

TEST(UniformUnitF64, UsesTopFiftyThreeBitsOfOneDraw) {
    ChaChaRng a = ChaChaRng::seed_from_u64(9);
    ChaChaRng b = ChaChaRng::seed_from_u64(9);
    for (int i = 0; i < 100; ++i) {
        const double u = uniform_unit_f64(a);
        EXPECT_EQ(u, static_cast<double>(b.next_u64() >> 11) / 9007199254740992.0);
        EXPECT_GE(u, 0.0);
        EXPECT_LT(u, 1.0);
    }
}

// Mean and variance of a Poisson draw are both lambda; with 20000 draws the
// sample mean is within 5 standard errors with overwhelming probability.
TEST(SamplePoisson, MatchesMeanAndVarianceOnBothSidesOfThirty) {
    const int n = 20000;
    for (double lambda : {0.05, 1.0, 7.5, 29.9, 30.0, 100.0, 2500.0, 1e9}) {
        const Moments m = sample_moments(lambda, n, 42);
        const double standard_error = std::sqrt(lambda / n);
        EXPECT_NEAR(m.mean, lambda, 5.0 * standard_error) << "lambda " << lambda;
        EXPECT_NEAR(m.variance / lambda, 1.0, 0.1) << "lambda " << lambda;
    }
}

TEST(SamplePoisson, SmallMeanGivesMostlyZero) {
    ChaChaRng rng = ChaChaRng::seed_from_u64(1);
    int zeros = 0;
    for (int i = 0; i < 10000; ++i) zeros += sample_poisson(rng, 1e-3) == 0.0;
    EXPECT_GT(zeros, 9950);
}

TEST(SamplePoisson, IsReproducibleFromTheSeed) {
    ChaChaRng a = ChaChaRng::seed_from_u64(5);
    ChaChaRng b = ChaChaRng::seed_from_u64(5);
    for (double lambda : {3.0, 300.0}) {
        for (int i = 0; i < 200; ++i)
            EXPECT_EQ(sample_poisson(a, lambda), sample_poisson(b, lambda));
    }
}

TEST(SamplePoisson, RefusesMeansWithoutATerminatingDraw) {
    ChaChaRng rng = ChaChaRng::seed_from_u64(0);
    EXPECT_THROW(sample_poisson(rng, std::numeric_limits<double>::infinity()), Panic);
    EXPECT_THROW(sample_poisson(rng, std::nan("")), Panic);
    EXPECT_THROW(sample_poisson(rng, 0.0), Panic);
}

}  // namespace
}  // namespace synaptor
