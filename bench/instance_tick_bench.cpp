// Ticks per second of a tiny network (two layers of ten neurons, one
// connection), where the round trip of a tick through the command bus and the
// result channel is nearly the whole cost. Prints microseconds per tick for
// one and for two workers, and for no worker at all (the instance's own part).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "instance/instance_core.hpp"
#include "instance/instance_core_options.hpp"
#include "util/panic.hpp"

using namespace synaptor;

namespace {

InstanceParams tiny_network(std::uint64_t num_threads) {
    InstanceParams params;
    for (int i = 0; i < 2; ++i) {
        LayerParams layer;
        layer.num_neurons = 10;
        layer.neuron_params.tau_membrane = 10.0f;
        layer.neuron_params.refractory_period = 2;
        layer.neuron_params.reset_voltage = 0.0f;
        layer.neuron_params.t_cutoff_coincidence = 10;
        layer.neuron_params.adaptation_threshold = 1.2f;
        layer.neuron_params.tau_threshold = 5.0f;
        layer.neuron_params.voltage_floor = -1.0f;
        params.layers.push_back(layer);
    }
    LayerConnectionParams connection;
    connection.from_layer_id = 0;
    connection.to_layer_id = 1;
    connection.projection_params.synapse_params.max_weight = 1.0f;
    connection.projection_params.synapse_params.weight_scale_factor = 1.0f;
    connection.connect_density = 0.5;
    connection.connect_width = 0.5;
    connection.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 0.6f};
    params.layer_connections.push_back(connection);
    params.technical_params.num_threads = num_threads;
    return params;
}

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void measure(std::uint64_t num_threads, std::uint64_t num_ticks,
             std::optional<WaitPolicies> wait_policies) {
    InstanceCoreOptions options;
    options.wait_policies = wait_policies;
    options.check_cpu_count = false;  // report two workers even on a one-CPU machine
    auto created = create_instance_core(tiny_network(num_threads), options);
    if (!created.ok()) {
        std::printf("creation failed: %s\n", created.error().c_str());
        return;
    }
    std::unique_ptr<InstanceCore> core = std::move(created).value();
    TickInput input;
    std::uint64_t spikes = 0;
    // Warm-up: workers finish building, buffers reach their steady size.
    for (int i = 0; i < 2000; ++i) spikes += core->tick(input).value().spiking_nids.size();

    // Timed in batches: the best batch shows the cost on a quiet machine, the
    // median how much other load on the machine disturbed the run.
    constexpr std::uint64_t kBatches = 20;
    const std::uint64_t batch_ticks = num_ticks / kBatches;
    std::vector<double> us_per_tick;
    std::uint64_t i = 0;
    for (std::uint64_t batch = 0; batch < kBatches; ++batch) {
        const auto start = std::chrono::steady_clock::now();
        for (std::uint64_t k = 0; k < batch_ticks; ++k, ++i) {
            input.spiking_in_channel_ids.clear();
            if (i % 3 == 0) input.spiking_in_channel_ids.push_back(i % 10);
            spikes += core->tick(input).value().spiking_nids.size();
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        us_per_tick.push_back(elapsed.count() * 1e6 / static_cast<double>(batch_ticks));
    }
    std::sort(us_per_tick.begin(), us_per_tick.end());

    // An idle instance must not burn CPU: the process's CPU time while the
    // caller sleeps is what the waiting workers consume.
    const double cpu_before = process_cpu_seconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double idle_cpu_ms = (process_cpu_seconds() - cpu_before) * 1e3;
    std::printf(
        "workers %llu: best %.3f us per tick (%.0f ticks/s), median %.3f us, idle CPU "
        "%.2f ms in 200 ms (%llu ticks, %llu spikes)\n",
        static_cast<unsigned long long>(num_threads), us_per_tick.front(),
        1e6 / us_per_tick.front(), us_per_tick[kBatches / 2], idle_cpu_ms,
        static_cast<unsigned long long>(i), static_cast<unsigned long long>(spikes));
}

}  // namespace

/// Optional arguments, to compare with the built-in choice: pause spins and
/// awake time in ns of the waiting workers, then of the waiting caller.
int main(int argc, char** argv) {
    std::optional<WaitPolicies> wait_policies;
    if (argc == 5) {
        auto policy = [&](int i) {
            return SpinPolicy{static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)),
                              std::strtoull(argv[i + 1], nullptr, 10)};
        };
        wait_policies = WaitPolicies{policy(1), policy(3)};
    }
    try {
        measure(0, 200'000, wait_policies);  // the tick's own bookkeeping, no thread round trip
        measure(1, 200'000, wait_policies);
        measure(2, 200'000, wait_policies);
    } catch (const Panic& failure) {
        std::printf("internal failure: %s\n", failure.text().c_str());
        return 1;
    }
    return 0;
}
