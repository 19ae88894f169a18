// Mutation fuzzing of the two document readers. Starting from the documents
// of a corpus, each run mutates one of them (bit flips, byte edits, inserted
// schema and syntax tokens, chunk copies, splices with another document) and
// reads the result with both readers. A reader must return a document or an
// error text: anything thrown, any sanitizer report, a leak (the address
// sanitizer's leak check at exit) or a read that takes longer than the hang
// limit fails the run, and the offending input is written out for replay.
//
// Usage: params_fuzz SECONDS OUT_DIR CORPUS_DIR...     (a fixed seed: runs repeat)
//        params_fuzz --replay FILE...
// Single-threaded apart from the watchdog thread that detects hangs.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "params/params_reader.hpp"
#include "splitmix.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kHangLimit = std::chrono::seconds(10);
constexpr std::size_t kMaxInputSize = 64 * 1024;

/// Tokens that steer mutations towards the grammar and the schema.
// clang-format off
const char* const kTokens[] = {
    "layers", "layer_connections", "technical_params", "num_neurons", "neuron_params",
    "plasticity_modulation_params", "tau_membrane", "refractory_period", "stp_params",
    "projection_params", "synapse_params", "initial_syn_weight", "num_threads", "pin_threads",
    "seed_override", "long_term_stdp_params", "short_term_stdp_params", "stdp_params",
    "!Depression", "!Facilitation", "!NoStp", "!Constant", "!Randomized", "NoStp", "Depression",
    "Constant", "Randomized", "{\"Depression\": ", "{\"Constant\": ", "&a ", "*a", "<<: ", "---\n",
    "...\n", "{", "}", "[", "]", ": ", ", ", "- ", "\n", "\n  ", "\t", "~", "null", "true", "False",
    ".inf", "-.inf", ".NaN", "1e309", "-0.0", "18446744073709551615", "18446744073709551616",
    "255", "256", "-1", "0x1F", "0o17", "2.5", "'", "\"", "\\u0000", "\\ud800", "\\", "%YAML 1.1\n",
    "%TAG ! tag:x,2000:\n", "? ", "|\n", ">-\n", "#", "!!str ", "!!map ", "!<tag:x> ",
    "\xEF\xBB\xBF", "\xC3\xA9", "\xFF", "\0", "[1, 2, 3]", "[[], [], {}]",
};
// clang-format on

using Rng = synaptor::test::SplitMix64;

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void mutate_once(std::string& s, const std::vector<std::string>& corpus, Rng& rng) {
    const std::size_t pos = rng.below(s.size() + 1);
    switch (rng.below(9)) {
        case 0:
            if (!s.empty()) s[rng.below(s.size())] ^= static_cast<char>(1u << rng.below(8));
            break;
        case 1:
            if (!s.empty()) s[rng.below(s.size())] = static_cast<char>(rng.below(256));
            break;
        case 2:
            s.insert(pos, 1, static_cast<char>(rng.below(256)));
            break;
        case 3:
            if (!s.empty()) s.erase(rng.below(s.size()), 1 + rng.below(16));
            break;
        case 4:
        case 5: {
            const char* token = kTokens[rng.below(std::size(kTokens))];
            s.insert(pos, token, std::max<std::size_t>(std::strlen(token), 1));
            break;
        }
        case 6:
            if (!s.empty()) {
                // Copy a chunk somewhere else: repeats keys and nests structures.
                const std::size_t from = rng.below(s.size());
                const std::string chunk = s.substr(from, 1 + rng.below(64));
                s.insert(rng.below(s.size() + 1), chunk);
            }
            break;
        case 7: {
            // Splice: the head of this document, the tail of another.
            const std::string& other = corpus[rng.below(corpus.size())];
            s = s.substr(0, pos) + other.substr(rng.below(other.size() + 1));
            break;
        }
        default:
            s.resize(pos);
            break;
    }
}

std::atomic<std::int64_t> read_started_ns{-1};
std::string current_input;  ///< the input being read; written before read_started_ns is set
std::uint64_t documents_read[2] = {0, 0};  ///< inputs each reader accepted
std::string out_dir = ".";

std::string save_input(const std::string& input, const char* kind) {
    static int count = 0;
    const std::string path = out_dir + "/fuzz-" + kind + "-" + std::to_string(++count);
    std::ofstream(path, std::ios::binary) << input;
    return path;
}

/// Reads `input` with both readers; returns false after reporting a failure.
bool read_both(const std::string& input) {
    const auto started = Clock::now().time_since_epoch();
    read_started_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(started).count());
    bool ok = true;
    for (int format = 0; format < 2; ++format) {
        try {
            const synaptor::Result<synaptor::InstanceParams> params =
                format == 0 ? synaptor::params_from_yaml(input) : synaptor::params_from_json(input);
            if (params) ++documents_read[format];
            // An error must say something.
            if (!params && params.error().empty()) {
                std::fprintf(stderr, "params_fuzz: empty error text from the %s reader: %s\n",
                             format == 0 ? "YAML" : "JSON",
                             save_input(input, "empty-error").c_str());
                ok = false;
            }
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "params_fuzz: the %s reader threw \"%s\": %s\n",
                         format == 0 ? "YAML" : "JSON", failure.what(),
                         save_input(input, "exception").c_str());
            ok = false;
        }
    }
    read_started_ns.store(-1);
    return ok;
}

void watch_for_hangs() {
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::int64_t started = read_started_ns.load();
        if (started < 0) continue;
        const auto now =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
                .count();
        if (now - started > std::chrono::nanoseconds(kHangLimit).count()) {
            // The main thread is stuck in a reader: its input is stable.
            std::fprintf(stderr, "params_fuzz: a read took longer than %lld s: %s\n",
                         static_cast<long long>(kHangLimit.count()),
                         save_input(current_input, "hang").c_str());
            std::fflush(stderr);
            _exit(3);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string_view(argv[1]) == "--replay") {
        bool ok = true;
        for (int i = 2; i < argc; ++i) ok = read_both(read_file(argv[i])) && ok;
        return ok ? 0 : 1;
    }
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: params_fuzz SECONDS OUT_DIR CORPUS_DIR...\n"
                     "       params_fuzz --replay FILE...\n");
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    out_dir = argv[2];
    std::filesystem::create_directories(out_dir);
    std::vector<std::string> corpus;
    for (int i = 3; i < argc; ++i) {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());  // a fixed order keeps runs repeatable
        for (const auto& file : files) corpus.push_back(read_file(file));
    }
    if (corpus.empty()) {
        std::fprintf(stderr, "params_fuzz: empty corpus\n");
        return 2;
    }

    std::thread(watch_for_hangs).detach();
    // Every corpus document as it is, then mutations until the time is up.
    for (const std::string& input : corpus) {
        current_input = input;
        if (!read_both(input)) return 1;
    }
    Rng rng{0x5EED};
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    std::uint64_t runs = 0;
    while (Clock::now() < deadline) {
        for (int batch = 0; batch < 64; ++batch, ++runs) {
            std::string input = corpus[rng.below(corpus.size())];
            const std::size_t mutations = 1 + rng.below(8);
            for (std::size_t m = 0; m < mutations; ++m) mutate_once(input, corpus, rng);
            if (input.size() > kMaxInputSize) input.resize(kMaxInputSize);
            current_input = input;
            if (!read_both(input)) return 1;
        }
    }
    std::printf(
        "params_fuzz: %llu mutated documents read by both readers in %.0f s, no failure "
        "(%llu accepted as YAML, %llu as JSON)\n",
        static_cast<unsigned long long>(runs), seconds,
        static_cast<unsigned long long>(documents_read[0]),
        static_cast<unsigned long long>(documents_read[1]));
    return 0;
}
