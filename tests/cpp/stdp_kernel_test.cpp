#include "partition/stdp_kernel.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "float_bits.hpp"
#include "partition_test_support.hpp"

namespace synaptor {
namespace {

using test::same_value;
using test::test_stdp_params;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

constexpr auto& bits = test::float_bits;

TEST(StdpKernel, DirectFormulaKnownAnswers) {
    const StdpParams p = test_stdp_params();
    EXPECT_EQ(stdp_value(-10, p), 0.060653068f);
    EXPECT_EQ(stdp_value(10, p), -0.07278368f);
    EXPECT_EQ(stdp_value(0, p), 0.1f);
}
// A memoised kernel is the direct kernel for every difference, inside its
// reach and past it on both sides, whatever the window it was built for and
// for time constants of every kind; it is found by the parameters' exact bits.
TEST(StdpKernel, EveryDifferenceIsTheDirectKernelAndParametersMatchBitForBit) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const StdpParams params[] = {{0.01f, 15.0f, -0.012f, 15.0f},
                                 {1.0f, 0.0f, -1.0f, -0.0f},
                                 {2.0f, kNaN, 0.5f, inf},
                                 {-0.0f, 1e-30f, 3.0f, 1e30f}};
    const std::uint64_t cutoffs[] = {0,   1,   20,      510,
                                     511, 512, 1000000, std::numeric_limits<std::uint64_t>::max()};
    for (const StdpParams& p : params) {
        for (const std::uint64_t cutoff : cutoffs) {
            StdpKernel kernel;
            kernel.build(p, cutoff);
            ASSERT_TRUE(kernel.built_for(p));
            for (std::int64_t dt = -1100; dt <= 1100; ++dt) {
                ASSERT_TRUE(same_value(kernel.get_built(dt, p), stdp_value(dt, p)))
                    << cutoff << " " << dt;
            }
            for (const std::int64_t dt : {std::numeric_limits<std::int64_t>::min(),
                                          std::numeric_limits<std::int64_t>::max()}) {
                ASSERT_TRUE(same_value(kernel.get_built(dt, p), stdp_value(dt, p)));
            }
        }
    }
    StdpKernel kernel;
    EXPECT_FALSE(kernel.built_for(params[0]));
    kernel.build(params[1], 20);
    StdpParams negated_zero = params[1];
    negated_zero.tau_pre_after_post = 0.0f;  // +0.0 where the kernel has -0.0
    EXPECT_FALSE(kernel.built_for(negated_zero));
    kernel.build(params[2], 20);
    EXPECT_TRUE(kernel.built_for(params[2]));  // NaN matches its own bits
}

}  // namespace
}  // namespace synaptor
