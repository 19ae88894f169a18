#include "partition/build_partition.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>
#include <vector>

#include "partition/stp_state.hpp"
#include "partition/synaptic_transmission.hpp"
#include "random/chacha_batch.hpp"
#include "random/chacha_rng.hpp"
#include "util/panic.hpp"
#include "util/partition_runs.hpp"
#include "util/projection_geometry.hpp"

namespace synaptor {

namespace {

/// State of one construction, shared by all layers and connections: the
/// connection RNG that every partition drives through the same draws, the
/// pair-hash prefix of the network seed, and scratch vectors reused for every
/// pre-synaptic neuron.
struct Builder {
    const InstanceParams& params;
    std::vector<std::uint64_t> offsets;
    ChaChaRng connection_rng;
    PairHasher pair_hasher;
    std::vector<std::uint64_t> sample;
    std::vector<std::uint64_t> kept;  ///< candidates in this partition's run
    std::vector<std::uint64_t> kept_bits;
    std::vector<std::uint64_t> spread;  ///< scratch of sort_spread
    std::vector<std::size_t> bucket_starts;
    std::vector<Synapse> synapses;
    ChaChaBatch synapse_rngs;

    Builder(const InstanceParams& p, std::uint64_t network_seed)
        : params(p),
          connection_rng(ChaChaRng::seed_from_u64(network_seed)),
          pair_hasher(network_seed) {
        offsets.reserve(p.layers.size());
        std::uint64_t offset = 0;
        for (const LayerParams& layer : p.layers) {
            offsets.push_back(offset);
            offset += layer.num_neurons;
        }
    }

    void connect(const LayerConnectionParams& connection, std::uint64_t to_layer, NeuronRun run,
                 PartitionLayer& layer, std::uint8_t& max_delay);
    void collect_kept(ProjectionWindow window, NeuronRun run);
    void sort_spread(std::uint64_t first, std::uint64_t span);
    std::uint64_t groups_at_most(const LayerConnectionParams& connection, std::uint64_t to_layer,
                                 NeuronRun run) const;
};

/// The pre-synaptic neurons of `connection` whose windows overlap the run and
/// that draw a sample: only those can have a group here. Draws nothing.
std::uint64_t Builder::groups_at_most(const LayerConnectionParams& connection,
                                      std::uint64_t to_layer, NeuronRun run) const {
    const LayerGeometry pre_geometry(params.layers[connection.from_layer_id].num_neurons);
    const LayerGeometry post_geometry(params.layers[to_layer].num_neurons);
    if (post_geometry.num_neurons == 0 || run.end == run.start) return 0;
    std::uint64_t n = 0;
    for (std::uint64_t k = 0; k < pre_geometry.num_neurons; ++k) {
        const ProjectionWindow window =
            projection_window(pre_geometry.position(k), connection.connect_width, post_geometry);
        if (window.empty() || window.hi < run.start || window.lo >= run.end) continue;
        const std::uint64_t count = window.count();
        if (round_to_u64(static_cast<double>(count) * connection.connect_density) != 0) ++n;
    }
    return n;
}

/// Fills `kept` with the sampled candidates that lie in the run, ascending.
/// The window must overlap the run.
void Builder::collect_kept(ProjectionWindow window, NeuronRun run) {
    const std::uint64_t first = std::max(window.lo, run.start);
    const std::uint64_t last = std::min(window.hi, run.end - 1);
    const std::uint64_t span = last - first + 1;
    kept.clear();
    if (span / 64 <= sample.size()) {
        // A bitmap over the overlap costs about as much as the sample itself
        // and spares the sort.
        kept_bits.assign(static_cast<std::size_t>(span / 64 + 1), 0);
        for (const std::uint64_t o : sample) {
            const std::uint64_t j = window.lo + o;
            if (j < first || j > last) continue;
            kept_bits[static_cast<std::size_t>((j - first) / 64)] |= std::uint64_t{1}
                                                                     << ((j - first) % 64);
        }
        for (std::size_t w = 0; w < kept_bits.size(); ++w) {
            for (std::uint64_t bits = kept_bits[w]; bits != 0; bits &= bits - 1) {
                kept.push_back(first + 64 * w + static_cast<std::uint64_t>(std::countr_zero(bits)));
            }
        }
    } else {
        // Every candidate is written and only those in the run are counted:
        // whether one is in the run is a coin toss, which a branch would
        // mispredict half the time.
        kept.resize(sample.size());
        std::size_t n = 0;
        for (const std::uint64_t o : sample) {
            const std::uint64_t j = window.lo + o;
            kept[n] = j;
            n += (j - first <= span - 1) ? 1 : 0;
        }
        kept.resize(n);
        sort_spread(first, span);
    }
}

/// Sorts `kept`, whose values are distinct and lie in first .. first+span-1
/// about evenly (a uniform sample): placed by their leading bits into about
/// as many buckets as values, then an insertion sort, which finds them
/// nearly in order. Some five times cheaper than a comparison sort at the
/// sizes construction sees, where most comparisons mispredict.
void Builder::sort_spread(std::uint64_t first, std::uint64_t span) {
    const std::size_t n = kept.size();
    if (n >= 32) {
        const unsigned bucket_bits = static_cast<unsigned>(std::bit_width(n));
        const unsigned span_bits = static_cast<unsigned>(std::bit_width(span - 1));
        const unsigned shift = span_bits > bucket_bits ? span_bits - bucket_bits : 0;
        const std::size_t buckets = std::size_t{1} << bucket_bits;
        bucket_starts.assign(buckets + 1, 0);
        for (const std::uint64_t j : kept) ++bucket_starts[((j - first) >> shift) + 1];
        for (std::size_t b = 1; b <= buckets; ++b) bucket_starts[b] += bucket_starts[b - 1];
        spread.resize(n);
        for (const std::uint64_t j : kept) spread[bucket_starts[(j - first) >> shift]++] = j;
        kept.swap(spread);
    }
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t v = kept[i];
        std::size_t k = i;
        for (; k > 0 && kept[k - 1] > v; --k) kept[k] = kept[k - 1];
        kept[k] = v;
    }
}

void Builder::connect(const LayerConnectionParams& connection, std::uint64_t to_layer,
                      NeuronRun run, PartitionLayer& layer, std::uint8_t& max_delay) {
    const std::uint64_t from_layer = connection.from_layer_id;
    const LayerGeometry pre_geometry(params.layers[from_layer].num_neurons);
    const LayerGeometry post_geometry(params.layers[to_layer].num_neurons);
    // A target layer without neurons has no window to sample from; it gets no
    // synapses and, identically in every partition, costs no draws.
    if (post_geometry.num_neurons == 0) return;

    const std::uint64_t pre_offset = offsets[from_layer];
    const std::uint64_t post_offset = offsets[to_layer];
    const bool randomized =
        connection.initial_syn_weight.kind == InitialSynWeight::Kind::Randomized;

    for (std::uint64_t k = 0; k < pre_geometry.num_neurons; ++k) {
        const double pre_pos = pre_geometry.position(k);
        const ProjectionWindow window =
            projection_window(pre_pos, connection.connect_width, post_geometry);
        if (window.empty()) continue;
        const std::uint64_t count = window.count();
        const std::uint64_t amount =
            std::min(round_to_u64(static_cast<double>(count) * connection.connect_density), count);
        // Every partition draws the sample, whether or not it keeps any of it,
        // so that the connection RNG stays in step across partitions.
        sample_subset(connection_rng, count, amount, sample);
        if (window.hi < run.start || window.lo >= run.end) continue;

        // Only the candidates of this partition's run, in ascending order: the
        // synapses come out sorted, and each has its own generator, so the order
        // of handling changes nothing.
        collect_kept(window, run);
        if (kept.empty()) continue;

        const std::uint64_t pre_nid = pre_offset + k;
        const PairHashPrefix pair_prefix = pair_hasher.with_second(pre_nid);
        synapses.clear();
        for (std::size_t b = 0; b < kept.size(); b += ChaChaBatch::kSize) {
            // The synapses' own generators, sixteen at a time: their values
            // depend only on the seed and the two neurons, never on the
            // partitioning.
            const std::size_t n = std::min<std::size_t>(ChaChaBatch::kSize, kept.size() - b);
            std::uint64_t seeds[ChaChaBatch::kSize];
            for (std::size_t i = 0; i < n; ++i) {
                seeds[i] = pair_prefix.hash(post_offset + kept[b + i]);
            }
            synapse_rngs.seed(seeds, n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t j = kept[b + i];
                const std::uint64_t post_nid = post_offset + j;
                ChaChaStream rng = synapse_rngs.stream(i);
                const std::uint64_t random_part =
                    rng.uniform_u64_inclusive(connection.conduction_delay_max_random_part);
                const std::uint64_t distance_part =
                    round_to_u64(std::fabs(post_geometry.position(j) - pre_pos) *
                                 connection.conduction_delay_position_distance_scale_factor);
                const float weight =
                    randomized ? rng.uniform_f32_inclusive(connection.initial_syn_weight.value)
                               : connection.initial_syn_weight.value;
                if (pre_nid == post_nid && !connection.allow_self_innervation) continue;

                // Validation keeps the sum within the u8 field; checked here
                // without overflow all the same, since a wrapped delay would
                // index no slot.
                const std::uint64_t add_on = connection.conduction_delay_add_on;
                expect(random_part <= 254 && add_on <= 254 - random_part &&
                           distance_part <= 254 - random_part - add_on,
                       "conduction delay out of the range 1 to 255");
                const auto delay =
                    static_cast<std::uint8_t>(random_part + add_on + distance_part + 1);
                max_delay = std::max(max_delay, delay);

                Synapse synapse;
                synapse.post_index = static_cast<std::uint32_t>(j - run.start);
                synapse.weight = weight;
                synapse.conduction_delay = delay;
                synapses.push_back(synapse);
            }
        }
        if (synapses.empty()) continue;
        // The map copies the synapses into its shared storage; `synapses` is
        // scratch reused across pre-synaptic neurons.
        PreSynapticGroup group = make_pre_synaptic_group(connection.projection_params, {});
        group.synapses = SynapseList(synapses.data(), synapses.size());
        layer.pre_syn_groups.insert(pre_nid, std::move(group));
    }
}

}  // namespace

Partition build_partition(const InstanceParams& params, std::uint64_t num_partitions,
                          std::uint64_t partition_index) {
    expect(num_partitions >= 1 && partition_index < num_partitions,
           "partition index out of range for the number of partitions");
    const std::uint64_t network_seed = params.technical_params.seed_override.value_or(0);
    Builder builder(params, network_seed);

    // Connections by target layer, each list in document order.
    std::vector<std::vector<const LayerConnectionParams*>> by_target(params.layers.size());
    for (const LayerConnectionParams& connection : params.layer_connections) {
        expect(connection.to_layer_id < params.layers.size() &&
                   connection.from_layer_id < params.layers.size(),
               "layer connection refers to a layer that does not exist");
        by_target[connection.to_layer_id].push_back(&connection);
    }

    Partition partition;
    partition.layers.reserve(params.layers.size());
    for (std::uint64_t g = 0; g < params.layers.size(); ++g) {
        const LayerParams& layer_params = params.layers[g];
        const NeuronRun run =
            partition_run(layer_params.num_neurons, num_partitions, partition_index);

        PartitionLayer layer;
        layer.first_nid = builder.offsets[g] + run.start;
        layer.neuron_params = layer_params.neuron_params;
        layer.neurons.resize(run.end - run.start);
        // Synapses name their post-synaptic neuron by a 32-bit local index.
        // (A run that large cannot be held anyway: the resize above fails first.)
        expect(run.end - run.start <= std::uint64_t{1} << 32,
               "a layer's share of one partition is limited to 2^32 neurons");
        if (layer_params.plasticity_modulation_params) {
            layer.plasticity_modulator.emplace(*layer_params.plasticity_modulation_params);
        }
        // Room for every group that can be made, taken at once: growing the
        // records by doubling would move them and fill fresh memory about
        // twice over (a partition of W5 holds over half a million groups of
        // 192 bytes).
        std::uint64_t groups_at_most = 0;
        for (const LayerConnectionParams* connection : by_target[g]) {
            groups_at_most += builder.groups_at_most(*connection, g, run);
        }
        layer.pre_syn_groups.reserve(static_cast<std::size_t>(groups_at_most));
        // Also for an empty run: the connection RNG must advance as elsewhere.
        std::uint8_t max_delay = 0;
        for (const LayerConnectionParams* connection : by_target[g]) {
            builder.connect(*connection, g, run, layer, max_delay);
        }
        layer.pre_syn_groups.sort_by_key();
        bin_traces_by_group(layer);
        layer.delivery_buffer = BatchedRingBuffer<SynapticEvent>(std::size_t{max_delay} + 1);
        partition.layers.push_back(std::move(layer));
    }
    return partition;
}

}  // namespace synaptor
