// Failures of one rank's workers in a network spread over MPI ranks: every
// rank must raise the same failure, none may hang, and later ticks fail alike.
// Run under mpiexec with any number of ranks; the last rank is the one that
// fails. Prints "N passed, M failed" on rank 0; every rank exits non-zero when
// a check failed on any rank.
#include <mpi.h>

#include <cstdio>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "distributed/distributed_instance.hpp"
#include "distributed/mpi_tick_exchange.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

constexpr std::uint64_t kThreads = 2;
const char* const kDocument = R"({
  "layers": [
    {"num_neurons": 5, "neuron_params": {"tau_membrane": 10.0, "refractory_period": 2,
      "reset_voltage": 0.0, "t_cutoff_coincidence": 20, "adaptation_threshold": 1.0,
      "tau_threshold": 50.0, "voltage_floor": 0.0}},
    {"num_neurons": 7, "neuron_params": {"tau_membrane": 10.0, "refractory_period": 2,
      "reset_voltage": 0.0, "t_cutoff_coincidence": 20, "adaptation_threshold": 1.0,
      "tau_threshold": 50.0, "voltage_floor": 0.0}}],
  "layer_connections": [{"from_layer_id": 0, "to_layer_id": 1,
    "projection_params": {"synapse_params": {"max_weight": 1.0, "weight_scale_factor": 1.0},
      "stp_params": "NoStp"},
    "connect_density": 1.0, "connect_width": 2.0, "initial_syn_weight": {"Constant": 1.0},
    "conduction_delay_max_random_part": 0, "conduction_delay_position_distance_scale_factor": 0.0,
    "conduction_delay_add_on": 0, "allow_self_innervation": true}],
  "technical_params": {"num_threads": 2, "pin_threads": false}
})";

int g_rank = 0;
int g_size = 1;
std::uint64_t g_failing_partition = 0;  ///< the last rank's second partition
int g_passed = 0;
int g_failed = 0;

void check(bool condition, const std::string& what) {
    if (condition) {
        ++g_passed;
    } else {
        ++g_failed;
        std::fprintf(stderr, "rank %d: FAILED: %s\n", g_rank, what.c_str());
    }
}

DistributedCreation creation() {
    DistributedCreation c;
    c.text = kDocument;
    c.format = DocumentFormat::Json;
    c.seed = 5;
    c.fortran_comm = MPI_Comm_c2f(MPI_COMM_WORLD);
    return c;
}

TickInput input_with(std::vector<std::uint64_t> in_channels) {
    TickInput input;
    input.spiking_in_channel_ids = std::move(in_channels);
    return input;
}

/// Runs `call`; returns the text of the Panic it threw, "bad_alloc" for
/// std::bad_alloc, or "" when it returned.
std::string failure_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const Panic& failure) {
        return failure.text();
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    }
    return "";
}

std::string last_rank() { return "rank " + std::to_string(g_size - 1); }

void test_build_failure_on_one_rank() {
    DistributedCreation c = creation();
    c.options.test_hooks.before_build = [](std::uint64_t partition_index) {
        if (partition_index == g_failing_partition) panic("cannot build this partition");
    };
    const std::string text = failure_of([&] { (void)create_distributed_core(c); });
    check(text == last_rank() + " could not build its partitions: cannot build this partition",
          "build failure text: " + text);
}

void test_tick_failure_on_one_rank() {
    DistributedCreation c = creation();
    c.options.test_hooks.before_tick = [](std::uint64_t partition_index,
                                          const TickCommand& command) {
        if (partition_index == g_failing_partition && command.t == 3) panic("tick 3 went wrong");
    };
    Result<std::unique_ptr<Instance>> created = create_distributed_instance(c);
    check(created.ok(), "creation with a tick hook");
    if (!created) return;
    Instance& instance = *created.value();
    for (std::uint64_t t = 0; t < 3; ++t) {
        check(failure_of([&] { (void)instance.tick(input_with({t % 5})); }).empty(),
              "tick before the failure");
    }
    const std::string expected = last_rank() + ": tick 3 went wrong";
    check(failure_of([&] { (void)instance.tick(input_with({1})); }) == expected,
          "every rank fails at tick 3");
    // The failure is shared: later ticks and batches fail alike, with no exchange.
    check(failure_of([&] { (void)instance.tick(input_with({})); }) == expected,
          "a later tick fails alike");
    check(failure_of([&] { (void)instance.tick_until(10); }) == expected,
          "a later batch fails alike");
    check(instance.t() == 3, "no tick counted after the failure");
}

void test_worker_out_of_memory_on_one_rank() {
    DistributedCreation c = creation();
    c.options.test_hooks.after_tick = [](std::uint64_t partition_index, PartitionTickResult&) {
        static std::uint64_t ticks = 0;
        if (partition_index == g_failing_partition && ++ticks == 2) throw std::bad_alloc();
    };
    Result<std::unique_ptr<Instance>> created = create_distributed_instance(c);
    check(created.ok(), "creation with an after-tick hook");
    if (!created) return;
    Instance& instance = *created.value();
    check(failure_of([&] { (void)instance.tick_until(1); }).empty(), "first tick");
    // A worker that ran out of memory ends as in one process, where its
    // text becomes the failure of the tick: every rank names it alike.
    const std::string text = failure_of([&] { (void)instance.tick_until(5); });
    check(text == last_rank() + ": std::bad_alloc", "every rank names the rank: " + text);
}

void test_segments_survive_encoding() {
    SnapshotSegment a{7, {0.5f, -0.0f, 1e-30f}, {{1, 7, 0.25f, 3}, {2, 8, -1.5f, 255}}};
    SnapshotSegment empty{10, {}, {}};
    const std::vector<const SnapshotSegment*> segments{&a, &empty};
    const std::vector<std::uint8_t> bytes = encode_segments(segments);
    std::vector<SnapshotSegment> decoded;
    decode_segments(bytes.data(), bytes.size(), decoded);
    bool same = decoded.size() == 2 && decoded[0].first_nid == 7 &&
                decoded[0].membrane_voltages == a.membrane_voltages &&
                decoded[0].synapse_states.size() == 2 && decoded[1].first_nid == 10 &&
                decoded[1].membrane_voltages.empty() && decoded[1].synapse_states.empty();
    for (std::size_t i = 0; same && i < 2; ++i) {
        const SynapseState& x = decoded[0].synapse_states[i];
        const SynapseState& y = a.synapse_states[i];
        same = x.pre_syn_nid == y.pre_syn_nid && x.post_syn_nid == y.post_syn_nid &&
               x.weight == y.weight && x.conduction_delay == y.conduction_delay;
    }
    check(same, "segments decode to what was encoded");
    // Truncated bytes are refused, never read past their end.
    std::vector<SnapshotSegment> partial;
    check(!failure_of([&] { decode_segments(bytes.data(), bytes.size() - 1, partial); }).empty(),
          "truncated snapshot bytes are refused");
}

}  // namespace
}  // namespace synaptor

int main(int argc, char** argv) {
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &synaptor::g_rank);
    MPI_Comm_size(MPI_COMM_WORLD, &synaptor::g_size);
    synaptor::g_failing_partition =
        static_cast<std::uint64_t>(synaptor::g_size - 1) * synaptor::kThreads + 1;

    synaptor::test_segments_survive_encoding();
    synaptor::test_build_failure_on_one_rank();
    synaptor::test_tick_failure_on_one_rank();
    synaptor::test_worker_out_of_memory_on_one_rank();

    int failed = 0;
    MPI_Allreduce(&synaptor::g_failed, &failed, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    int passed = 0;
    MPI_Allreduce(&synaptor::g_passed, &passed, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    if (synaptor::g_rank == 0) std::printf("%d passed, %d failed\n", passed, failed);
    MPI_Finalize();
    return failed == 0 ? 0 : 1;
}
