// Throughput of one partition's tick: two hand-built layers of a few thousand
// neurons, ~100 synapses per pre-synaptic neuron onto the other layer with
// random delays 1..20, driven by random forced spikes at a steady rate. Reports
// ns per delivered event (propagation plus delivery) with static synapses and
// with short-term depression, long-term and short-term STDP all on, counts
// heap allocations per tick after warm-up, and prints a digest of the final
// state, which any change to the tick code must leave as it was.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "partition/partition_tick.hpp"
#include "partition/stp_state.hpp"

namespace {

std::uint64_t g_allocations = 0;

}  // namespace

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace synaptor {
namespace {

/// CPU time of this thread: the machine is shared, and wall time would count
/// the time this process waits for a core.
double thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

std::uint64_t kNeuronsPerLayer = 1500;  // first argument overrides
constexpr std::uint64_t kSynapsesPerNeuron = 100;
constexpr double kSpikeProbability = 0.01;  // per neuron and tick, forced
int kWarmupTicks = 300;                     // third argument overrides
// The same number of events whatever the size: 1500 ticks at 1500 neurons
// per layer; the fourth argument overrides.
int kMeasuredTicks = 0;

NeuronParams neuron_params() {
    NeuronParams p;
    p.tau_membrane = 10.0f;
    p.refractory_period = 2;
    p.reset_voltage = 0.0f;
    p.t_cutoff_coincidence = 20;
    p.adaptation_threshold = 1.5f;
    p.tau_threshold = 20.0f;
    p.voltage_floor = -1.0f;
    return p;
}

ProjectionParams projection(bool plastic) {
    ProjectionParams p;
    p.synapse_params.max_weight = 1.0f;
    p.synapse_params.weight_scale_factor = 0.05f;
    if (plastic) {
        p.stp_params.kind = StpParams::Kind::Depression;
        p.stp_params.p0 = 0.6f;
        p.stp_params.factor = 0.3f;
        p.stp_params.tau = 8.0f;
        StdpParams stdp;
        stdp.factor_pre_before_post = 0.01f;
        stdp.tau_pre_before_post = 15.0f;
        stdp.factor_pre_after_post = -0.012f;
        stdp.tau_pre_after_post = 15.0f;
        p.long_term_stdp_params = stdp;
        ShortTermStdpParams st;
        st.stdp_params = stdp;
        st.tau = 5.0f;
        p.short_term_stdp_params = st;
    }
    return p;
}

/// Layer l receives ~kSynapsesPerNeuron synapses from every neuron of the other layer.
Partition build(bool plastic, std::mt19937_64& rng) {
    Partition partition;
    const ProjectionParams proj = projection(plastic);
    for (std::uint64_t l = 0; l < 2; ++l) {
        PartitionLayer layer;
        layer.first_nid = l * kNeuronsPerLayer;
        layer.neuron_params = neuron_params();
        layer.neurons.resize(kNeuronsPerLayer);
        const std::uint64_t pre_first = (1 - l) * kNeuronsPerLayer;
        std::uniform_int_distribution<std::uint64_t> post(0, kNeuronsPerLayer - 1);
        std::uniform_int_distribution<int> delay(1, 20);
        std::uniform_real_distribution<float> weight(0.0f, 1.0f);
        for (std::uint64_t pre = pre_first; pre < pre_first + kNeuronsPerLayer; ++pre) {
            std::vector<std::uint64_t> posts;
            while (posts.size() < kSynapsesPerNeuron) {
                const std::uint64_t p = post(rng);
                if (std::find(posts.begin(), posts.end(), p) == posts.end()) posts.push_back(p);
            }
            std::sort(posts.begin(), posts.end());
            std::vector<Synapse> synapses;
            for (const std::uint64_t p : posts) {
                Synapse s;
                s.post_index = p;
                s.weight = weight(rng);
                s.conduction_delay = static_cast<std::uint8_t>(delay(rng));
                synapses.push_back(s);
            }
            layer.pre_syn_groups.insert(pre, make_pre_synaptic_group(proj, std::move(synapses)));
        }
        layer.pre_syn_groups.sort_by_key();
        layer.delivery_buffer = BatchedRingBuffer<SynapticEvent>(21);
        partition.layers.push_back(std::move(layer));
    }
    return partition;
}

/// A hash of the bits of every weight, short-term weight, voltage and
/// threshold: changes to the tick code must leave it unchanged.
std::uint64_t state_digest(const Partition& partition) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    const auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 0x100000001b3ull; };
    const auto bits = [](float x) {
        std::uint32_t b;
        std::memcpy(&b, &x, sizeof b);
        return b;
    };
    for (const PartitionLayer& layer : partition.layers) {
        for (const Neuron& neuron : layer.neurons) {
            mix(bits(neuron.voltage));
            mix(bits(neuron.threshold));
            mix(neuron.last_update_t);
        }
        for (std::size_t g = 0; g < layer.pre_syn_groups.size(); ++g) {
            for (const Synapse& synapse : layer.pre_syn_groups.group_at(g).synapses) {
                mix(bits(synapse.weight));
                mix(bits(synapse.short_term_weight));
                mix(synapse.short_term_update_t);
            }
        }
    }
    return h;
}

void run(bool plastic) {
    std::mt19937_64 rng(12345);
    Partition partition = build(plastic, rng);
    std::bernoulli_distribution fires(kSpikeProbability);
    // Forced spikes are drawn up front so the timed loop measures the tick only.
    std::vector<std::vector<std::uint64_t>> forced(kWarmupTicks + kMeasuredTicks);
    for (auto& f : forced) {
        for (std::uint64_t nid = 0; nid < 2 * kNeuronsPerLayer; ++nid) {
            if (fires(rng)) f.push_back(nid);
        }
    }
    TickCommand command;
    std::uint64_t events = 0;
    std::uint64_t spikes = 0;
    std::uint64_t allocations_before = 0;
    std::uint64_t allocations_half = 0;
    double start = 0.0;
    for (int tick = 0; tick < kWarmupTicks + kMeasuredTicks; ++tick) {
        if (tick == kWarmupTicks) {
            events = 0;
            spikes = 0;
            allocations_before = g_allocations;
            start = thread_cpu_ns();
        }
        command.t = static_cast<std::uint64_t>(tick);
        std::swap(command.forced_nids, forced[static_cast<std::size_t>(tick)]);
        if (tick == kWarmupTicks + kMeasuredTicks / 2) allocations_half = g_allocations;
        PartitionTickResult result = run_partition_tick(partition, command);
        events += result.synaptic_transmission_count;
        spikes += result.spiking_nids.size();
        std::sort(result.spiking_nids.begin(), result.spiking_nids.end());
        std::swap(command.previous_spiking_nids, result.spiking_nids);
    }
    const double ns = thread_cpu_ns() - start;
    const std::uint64_t digest = state_digest(partition);
    // The command's lists are swapped, not copied, so every allocation in the
    // timed loop is made by run_partition_tick itself.
    // One allocation per tick is the result's spike list; the rest is growth
    // of batches and queues to new maxima, which dies out.
    const double half = kMeasuredTicks / 2.0;
    std::printf(
        "%-28s %7.2f ns/event  %6.0f events/tick  %5.1f spikes/tick  "
        "allocations/tick %.3f then %.3f  state %016llx\n",
        plastic ? "depression + LT + ST STDP:" : "static synapses:",
        ns / static_cast<double>(events), static_cast<double>(events) / kMeasuredTicks,
        static_cast<double>(spikes) / kMeasuredTicks,
        static_cast<double>(allocations_half - allocations_before) / half,
        static_cast<double>(g_allocations - allocations_half) / half,
        static_cast<unsigned long long>(digest));
}

}  // namespace
}  // namespace synaptor

int main(int argc, char** argv) {
    if (argc > 1) synaptor::kNeuronsPerLayer = std::strtoull(argv[1], nullptr, 10);
    if (argc > 3) synaptor::kWarmupTicks = std::atoi(argv[3]);
    synaptor::kMeasuredTicks =
        argc > 4 ? std::atoi(argv[4])
                 : static_cast<int>(1500 * 1500 /
                                    std::max<std::uint64_t>(synaptor::kNeuronsPerLayer, 1));
    if (synaptor::kNeuronsPerLayer < synaptor::kSynapsesPerNeuron) {
        std::fprintf(stderr, "need at least %llu neurons per layer\n",
                     static_cast<unsigned long long>(synaptor::kSynapsesPerNeuron));
        return 2;
    }
    std::printf("2 layers of %llu neurons, %llu synapses per pre-synaptic neuron, delays 1..20\n",
                static_cast<unsigned long long>(synaptor::kNeuronsPerLayer),
                static_cast<unsigned long long>(synaptor::kSynapsesPerNeuron));
    std::printf("Synapse record: %zu bytes, SynapticEvent: %zu bytes, Neuron: %zu bytes\n",
                sizeof(synaptor::Synapse), sizeof(synaptor::SynapticEvent),
                sizeof(synaptor::Neuron));
    // A second argument "static" or "plastic" runs only that case (for profiling).
    const std::string only = argc > 2 ? argv[2] : "";
    if (only != "plastic") synaptor::run(false);
    if (only != "static") synaptor::run(true);
    return 0;
}
