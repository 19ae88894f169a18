// Construction benchmark: a network of 100,000 neurons and about 10 million
// synapses, built as one partition and as two partitions on two threads at
// once (as the workers do). Prints time, synapses per second and the bytes
// per synapse of everything the partitions hold, measured twice: by the
// allocator's own count and by summing the containers' capacities.
// Given a workload document (`construction_bench DOC.yaml [PARTITIONS]`), it
// builds that network instead, only as the workers would (one thread per
// partition), and also prints the resident memory after the build, its peak,
// and a digest of every built synapse and group in storage order: a change
// meant to build the same network must leave the digest as it was.
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "params/params_reader.hpp"
#include "partition/build_partition.hpp"
#include "util/hash.hpp"

using namespace synaptor;

namespace {

InstanceParams bench_network() {
    InstanceParams params;
    LayerParams layer;
    layer.num_neurons = 50000;
    layer.neuron_params.tau_membrane = 10.0f;
    params.layers = {layer, layer};
    LayerConnectionParams c;
    c.from_layer_id = 0;
    c.to_layer_id = 1;
    c.connect_width = 0.02;   // about 1,000 candidates
    c.connect_density = 0.1;  // about 100 synapses per pre-synaptic neuron
    c.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 1.0f};
    c.conduction_delay_max_random_part = 10;
    c.conduction_delay_position_distance_scale_factor = 20.0;
    c.conduction_delay_add_on = 1;
    c.projection_params.synapse_params = {1.0f, 1.0f};
    c.projection_params.stp_params = {StpParams::Kind::Depression, 20.0f, 0.5f, 0.2f};
    c.projection_params.long_term_stdp_params = StdpParams{0.01f, 20.0f, -0.01f, 20.0f};
    LayerConnectionParams recurrent = c;
    recurrent.from_layer_id = 1;
    params.layer_connections = {c, recurrent};
    params.technical_params.seed_override = 1234;
    return params;
}

std::size_t allocated_bytes() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

struct Footprint {
    std::size_t synapses = 0;
    std::size_t bytes = 0;
};

/// Capacity-based size: synapse vectors, group records and their STP state,
/// the group map's keys and slot table, the ring, and the neurons.
Footprint footprint(const Partition& partition) {
    Footprint f;
    for (const PartitionLayer& layer : partition.layers) {
        const PreSynGroupMap& map = layer.pre_syn_groups;
        std::size_t table_slots = 16;
        while (table_slots < 2 * map.size()) table_slots *= 2;
        f.bytes += map.size() * (sizeof(PreSynapticGroup) + sizeof(std::uint64_t)) +
                   table_slots * sizeof(std::uint32_t) + map.synapse_bytes();
        for (std::size_t g = 0; g < map.size(); ++g) {
            const PreSynapticGroup& group = map.group_at(g);
            f.synapses += group.synapses.size();
            f.bytes += sizeof(DepressionState);
        }
        f.bytes += layer.delivery_buffer.bytes_held();
        f.bytes +=
            layer.neurons.capacity() * sizeof(Neuron) + layer.coincidence_windows.bytes_held();
    }
    return f;
}

/// CPU time of the calling thread: on a shared machine the wall time also
/// counts other programs' turns.
double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* label, double seconds, double cpu_seconds, std::size_t heap_bytes,
            const std::vector<Partition>& partitions) {
    Footprint total;
    for (const Partition& p : partitions) {
        const Footprint f = footprint(p);
        total.synapses += f.synapses;
        total.bytes += f.bytes;
    }
    const double n = static_cast<double>(total.synapses);
    std::printf(
        "%s: %zu synapses in %.3f s (slowest thread's CPU time %.3f s), %.2f M synapses/s, "
        "%.1f bytes/synapse all-in (allocator), %.1f (capacities)\n",
        label, total.synapses, seconds, cpu_seconds, n / seconds / 1e6,
        static_cast<double>(heap_bytes) / n, static_cast<double>(total.bytes) / n);
}

/// A field of /proc/self/status in MB (VmRSS now, VmHWM the peak so far).
double status_mb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
    }
    return 0.0;
}

/// Every group's key, shared parameters and synapses, in storage order.
std::uint64_t digest(const std::vector<Partition>& partitions) {
    std::uint64_t h = 0;
    auto fold = [&h](std::uint64_t word) { h = mix64(h ^ word); };
    for (const Partition& partition : partitions) {
        for (const PartitionLayer& layer : partition.layers) {
            fold(layer.first_nid);
            fold(layer.neurons.size());
            fold(layer.delivery_buffer.num_slots());
            const PreSynGroupMap& map = layer.pre_syn_groups;
            for (std::size_t g = 0; g < map.size(); ++g) {
                const PreSynapticGroup& group = map.group_at(g);
                fold(map.key_at(g));
                fold(map.index_of(map.key_at(g)));
                fold(static_cast<std::uint64_t>(group.stp_params.kind));
                fold(std::bit_cast<std::uint32_t>(group.max_weight));
                fold(std::bit_cast<std::uint32_t>(group.weight_scale_factor));
                for (const Synapse s : group.synapses) {
                    fold(s.post_index | std::uint64_t{s.conduction_delay} << 32);
                    fold(std::bit_cast<std::uint32_t>(s.weight) |
                         std::uint64_t{std::bit_cast<std::uint32_t>(s.short_term_weight)} << 32);
                    fold(s.short_term_update_t);
                }
            }
        }
    }
    return h;
}

int build_document(const char* path, std::uint64_t num_partitions) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    const std::string doc = text.str();
    const bool json = doc.find_first_not_of(" \t\r\n") != std::string::npos &&
                      doc[doc.find_first_not_of(" \t\r\n")] == '{';
    Result<InstanceParams> read = json ? params_from_json(doc) : params_from_yaml(doc);
    if (!read) {
        std::fprintf(stderr, "%s: %s\n", path, read.error().c_str());
        return 1;
    }
    const InstanceParams& params = read.value();
    const double rss_before = status_mb("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    std::vector<Partition> partitions(num_partitions);
    std::vector<double> cpu(num_partitions);
    std::vector<std::thread> workers;
    for (std::uint64_t i = 0; i < num_partitions; ++i) {
        workers.emplace_back([&partitions, &params, &cpu, num_partitions, i] {
            const double cpu_start = thread_cpu_seconds();
            partitions[i] = build_partition(params, num_partitions, i);
            cpu[i] = thread_cpu_seconds() - cpu_start;
        });
    }
    for (std::thread& w : workers) w.join();
    const double seconds = seconds_since(start);
    std::size_t synapses = 0;
    for (const Partition& p : partitions) synapses += footprint(p).synapses;
    std::printf("%s: %zu synapses in %.3f s wall, CPU", path, synapses, seconds);
    for (const double c : cpu) std::printf(" %.3f", c);
    std::printf(" s; RSS %.1f MB after (%.1f before), peak %.1f MB; digest %016llx\n",
                status_mb("VmRSS"), rss_before, status_mb("VmHWM"),
                static_cast<unsigned long long>(digest(partitions)));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        return build_document(argv[1], argc > 2 ? std::stoull(argv[2]) : 2);
    }
    const InstanceParams params = bench_network();
    std::printf("sizeof Synapse %zu, PreSynapticGroup %zu, Neuron %zu\n", sizeof(Synapse),
                sizeof(PreSynapticGroup), sizeof(Neuron));
    {
        const std::size_t before = allocated_bytes();
        const auto start = std::chrono::steady_clock::now();
        std::vector<Partition> partitions;
        const double cpu_start = thread_cpu_seconds();
        partitions.push_back(build_partition(params, 1, 0));
        const double cpu = thread_cpu_seconds() - cpu_start;
        const double seconds = seconds_since(start);
        report("1 partition ", seconds, cpu, allocated_bytes() - before, partitions);
    }
    {
        const std::size_t before = allocated_bytes();
        const auto start = std::chrono::steady_clock::now();
        std::vector<Partition> partitions(2);
        std::vector<double> cpu(2);
        std::vector<std::thread> workers;
        for (std::uint64_t i = 0; i < 2; ++i) {
            workers.emplace_back([&partitions, &params, &cpu, i] {
                const double cpu_start = thread_cpu_seconds();
                partitions[i] = build_partition(params, 2, i);
                cpu[i] = thread_cpu_seconds() - cpu_start;
            });
        }
        for (std::thread& w : workers) w.join();
        const double seconds = seconds_since(start);
        report("2 partitions", seconds, std::max(cpu[0], cpu[1]), allocated_bytes() - before,
               partitions);
    }
    return 0;
}
