// Mutation fuzzing of the state file reader. A small network with every kind
// of plasticity is run and saved at a few ticks; each run mutates one of those
// files (bit flips, byte edits, little-endian fields set to edge values,
// inserted, erased and copied chunks, truncation), usually puts the right
// checksum back so that the structure checks are reached, and restores it into
// a running instance. A restore must either succeed, after which the instance
// must tick, or fail with a StateFileError and leave the instance ticking.
// Anything else thrown, any sanitizer report, a leak or a restore that takes
// longer than the hang limit fails the run; the offending file is written out.
//
// Usage: state_fuzz SECONDS OUT_DIR          (a fixed seed: runs repeat)
//        state_fuzz --replay FILE...

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "instance/checkpoint.hpp"
#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "splitmix.hpp"
#include "util/panic.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
using namespace synaptor;

constexpr auto kHangLimit = std::chrono::seconds(10);

using Rng = synaptor::test::SplitMix64;

InstanceParams network() {
    InstanceParams params;
    for (std::uint64_t n : {12, 16, 6}) {
        LayerParams layer;
        layer.num_neurons = n;
        layer.neuron_params = NeuronParams{10.0f, 2, 0.0f, 20, 1.0f, 50.0f, 0.0f};
        params.layers.push_back(layer);
    }
    params.layers[1].plasticity_modulation_params =
        PlasticityModulationParams{8.0f, 2, 0.5f, 30, 6, 3};
    const StdpParams stdp{0.05f, 6.0f, -0.04f, 7.0f};
    auto connect = [&](std::uint64_t from, std::uint64_t to, StpParams stp) {
        LayerConnectionParams c;
        c.from_layer_id = from;
        c.to_layer_id = to;
        c.projection_params.synapse_params = {1.0f, 1.0f};
        c.projection_params.stp_params = stp;
        c.projection_params.long_term_stdp_params = stdp;
        c.connect_density = 0.7;
        c.connect_width = 1.0;
        c.initial_syn_weight = {InitialSynWeight::Kind::Randomized, 0.8f};
        c.conduction_delay_max_random_part = 3;
        c.conduction_delay_add_on = 1;
        c.allow_self_innervation = true;
        params.layer_connections.push_back(c);
        return &params.layer_connections.back();
    };
    connect(0, 1, {StpParams::Kind::Depression, 5.0f, 0.8f, 0.5f});
    connect(1, 1, {})->projection_params.short_term_stdp_params = ShortTermStdpParams{stdp, 4.0f};
    connect(1, 2, {StpParams::Kind::Facilitation, 4.0f, 0.3f, 0.4f});
    params.technical_params.seed_override = 3;
    params.technical_params.num_threads = 2;
    return params;
}

std::unique_ptr<Instance> make_instance() {
    InstanceCoreOptions options;
    options.check_cpu_count = false;
    auto core = create_instance_core(network(), options);
    if (!core) panic(core.error());
    auto instance = std::make_unique<Instance>(std::move(core).value(), 1);
    instance->non_coherent_stimulation_rate = 0.05;
    instance->reward_rate = 0.5f;
    return instance;
}

void tick(Instance& instance, int n) {
    if (n < 0) n = 0;
    for (int i = 0; i < n; ++i) {
        TickInput input;
        input.spiking_in_channel_ids = {instance.t() % 12};
        input.reward = 0.25f;
        // A pending stimulus may name ids that the tick refuses, as one
        // applied by hand may: a refused tick is an answer, not a failure.
        (void)instance.tick(std::move(input));
    }
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void mutate_once(Bytes& s, Rng& rng) {
    // Mostly past the header, where the structure lies.
    const std::size_t pos = rng.below(s.size() + 1);
    switch (rng.below(8)) {
        case 0:
            if (!s.empty())
                s[rng.below(s.size())] ^= static_cast<unsigned char>(1u << rng.below(8));
            break;
        case 1:
            if (!s.empty()) s[rng.below(s.size())] = static_cast<unsigned char>(rng.below(256));
            break;
        case 2:
        case 3: {
            // A little-endian field set to an edge value.
            static const std::uint64_t kValues[] = {
                0,     1,         2,         3, 255, 256, 0x7FFFFFFF, 0xFFFFFFFF, 0x100000000ull,
                ~0ull, ~0ull - 1, 1ull << 63};
            if (s.size() < 8) break;
            const std::size_t at = rng.below(s.size() - 7);
            const std::uint64_t v = kValues[rng.below(std::size(kValues))];
            const int width = rng.below(2) ? 8 : 4;
            for (int i = 0; i < width && at + i < s.size(); ++i) {
                s[at + i] = static_cast<unsigned char>(v >> (8 * i));
            }
            break;
        }
        case 4:
            s.insert(s.begin() + static_cast<std::ptrdiff_t>(pos), 1 + rng.below(8),
                     static_cast<unsigned char>(rng.below(256)));
            break;
        case 5:
            if (!s.empty()) {
                const std::size_t from = rng.below(s.size());
                const std::size_t n = std::min<std::size_t>(1 + rng.below(32), s.size() - from);
                s.erase(s.begin() + static_cast<std::ptrdiff_t>(from),
                        s.begin() + static_cast<std::ptrdiff_t>(from + n));
            }
            break;
        case 6:
            if (!s.empty()) {
                const std::size_t from = rng.below(s.size());
                const Bytes chunk(s.begin() + static_cast<std::ptrdiff_t>(from),
                                  s.begin() + static_cast<std::ptrdiff_t>(
                                                  std::min(s.size(), from + 1 + rng.below(64))));
                s.insert(s.begin() + static_cast<std::ptrdiff_t>(rng.below(s.size() + 1)),
                         chunk.begin(), chunk.end());
            }
            break;
        default:
            if (rng.below(8) == 0) s.resize(pos);
            break;
    }
}

void fix_checksum(Bytes& s) {
    if (s.size() < kStateFileHeaderSize) return;
    const std::uint64_t sum = state_file_checksum(s.data(), s.size());
    for (int i = 0; i < 8; ++i) s[32 + i] = static_cast<unsigned char>(sum >> (8 * i));
    // The content length follows the file, so that truncation and growth
    // reach the structure checks too.
    const std::uint64_t length = s.size() - kStateFileHeaderSize;
    for (int i = 0; i < 8; ++i) s[24 + i] = static_cast<unsigned char>(length >> (8 * i));
    const std::uint64_t again = state_file_checksum(s.data(), s.size());
    for (int i = 0; i < 8; ++i) s[32 + i] = static_cast<unsigned char>(again >> (8 * i));
}

std::atomic<std::int64_t> restore_started_ns{-1};
std::string out_dir = ".";
std::string current_path;
std::uint64_t restored = 0;

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

std::string keep(const Bytes& input, const char* kind) {
    static int count = 0;
    const std::string path = out_dir + "/state-fuzz-" + kind + "-" + std::to_string(++count);
    write_file(path, input);
    return path;
}

/// Restores `input`; false after reporting a failure.
bool try_restore(Instance& instance, const Bytes& input) {
    write_file(current_path, input);
    restore_started_ns.store(now_ns());
    bool ok = true;
    try {
        try {
            instance.restore_state(current_path);
            ++restored;
        } catch (const StateFileError& refused) {
            if (std::string_view(refused.what()).empty()) {
                std::fprintf(stderr, "state_fuzz: empty error text: %s\n",
                             keep(input, "empty-error").c_str());
                ok = false;
            }
        }
        // Either way the instance goes on.
        tick(instance, 3);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "state_fuzz: \"%s\": %s\n", failure.what(),
                     keep(input, "exception").c_str());
        ok = false;
    }
    restore_started_ns.store(-1);
    return ok;
}

void watch_for_hangs() {
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::int64_t started = restore_started_ns.load();
        if (started < 0) continue;
        if (now_ns() - started > std::chrono::nanoseconds(kHangLimit).count()) {
            std::fprintf(stderr, "state_fuzz: a restore took longer than %lld s; input in %s\n",
                         static_cast<long long>(kHangLimit.count()), current_path.c_str());
            std::fflush(stderr);
            _exit(3);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string_view(argv[1]) == "--replay") {
        auto instance = make_instance();
        out_dir = std::filesystem::temp_directory_path().string();
        current_path = out_dir + "/state-fuzz-replay-" + std::to_string(::getpid());
        bool ok = true;
        for (int i = 2; i < argc; ++i) ok = try_restore(*instance, read_file(argv[i])) && ok;
        std::filesystem::remove(current_path);
        return ok ? 0 : 1;
    }
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: state_fuzz SECONDS OUT_DIR\n"
                     "       state_fuzz --replay FILE...\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    out_dir = argv[2];
    std::filesystem::create_directories(out_dir);
    current_path = out_dir + "/state-fuzz-current";

    // Seed files: the state at a few ticks of one run, with traces, events in
    // flight and a pending stimulus.
    std::vector<Bytes> corpus;
    {
        auto source = make_instance();
        Stimulus stimulus;
        stimulus.force_neuron_spikes_ts = {5, 50, 500};
        stimulus.force_neuron_spikes_ids = {20, 21, 22};
        source->apply_stimulus(stimulus);
        for (int stop : {0, 7, 40, 90}) {
            tick(*source, stop - static_cast<int>(source->t()));
            source->save_state(current_path);
            corpus.push_back(read_file(current_path));
        }
    }

    auto instance = make_instance();
    std::thread(watch_for_hangs).detach();
    for (const Bytes& input : corpus) {
        if (!try_restore(*instance, input)) return 1;
    }
    Rng rng{0x5EED};
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    std::uint64_t runs = 0;
    while (Clock::now() < deadline) {
        for (int batch = 0; batch < 16; ++batch, ++runs) {
            Bytes input = corpus[rng.below(corpus.size())];
            const std::size_t mutations = 1 + rng.below(4);
            for (std::size_t m = 0; m < mutations; ++m) mutate_once(input, rng);
            if (rng.below(8) != 0) fix_checksum(input);
            if (!try_restore(*instance, input)) return 1;
        }
    }
    std::filesystem::remove(current_path);
    std::printf("state_fuzz: %llu mutated state files in %.0f s, no failure (%llu restored)\n",
                static_cast<unsigned long long>(runs), seconds,
                static_cast<unsigned long long>(restored));
    return 0;
}
