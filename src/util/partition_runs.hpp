// Division of a layer's neurons into one contiguous run per partition: the
// first n % num_partitions partitions get one neuron more; runs follow each
// other in partition order.
#pragma once

#include <cstdint>

namespace synaptor {

struct NeuronRun {
    std::uint64_t start = 0;  ///< first index in the layer
    std::uint64_t end = 0;    ///< one past the last index
};

NeuronRun partition_run(std::uint64_t num_neurons, std::uint64_t num_partitions,
                        std::uint64_t partition_index);

}  // namespace synaptor
