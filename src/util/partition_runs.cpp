#include "util/partition_runs.hpp"

#include "util/panic.hpp"

namespace synaptor {

NeuronRun partition_run(std::uint64_t num_neurons, std::uint64_t num_partitions,
                        std::uint64_t partition_index) {
    expect(num_partitions >= 1 && partition_index < num_partitions,
           "partition index out of range for the number of partitions");
    const std::uint64_t q = num_neurons / num_partitions;
    const std::uint64_t r = num_neurons % num_partitions;
    NeuronRun run;
    // Written without multiplying by a partition index larger than needed, so
    // nothing overflows: every start is at most num_neurons.
    if (partition_index < r) {
        run.start = partition_index * (q + 1);
        run.end = run.start + q + 1;
    } else {
        run.start = r * (q + 1) + (partition_index - r) * q;
        run.end = run.start + q;
    }
    return run;
}

}  // namespace synaptor
