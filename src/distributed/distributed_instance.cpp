#include "distributed/distributed_instance.hpp"

#include <gnu/libc-version.h>
#include <mpi.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "distributed/mpi_communicator.hpp"
#include "distributed/mpi_tick_exchange.hpp"
#include "distributed/rank_threads.hpp"
#include "params/params_reader.hpp"
#include "params/validate_params.hpp"
#include "util/available_cpus.hpp"
#include "util/hash.hpp"
#include "util/panic.hpp"

namespace synaptor {

namespace {

// The words of the first creation handshake.
enum CreationWord : std::size_t { kValid, kDocument, kSeed, kThreads, kBuild, kCreationWords };
// The words of the second.
enum BuildWord : std::size_t { kBuildStatus, kTextLength, kBuildWords };
enum BuildStatus : std::uint64_t { kBuilt = 0, kBuildFailed = 1, kBuildOutOfMemory = 2 };

constexpr std::size_t kMaxBuildText = 4096;

const char* const kWhen = "at creation";

/// Gathers every process's text of `length` bytes (lengths already known to all).
std::string gather_text(MPI_Comm comm, const std::string& mine,
                        const std::vector<std::uint64_t>& words, std::size_t stride,
                        std::size_t length_word, int wanted_rank) {
    const std::size_t ranks = words.size() / stride;
    std::vector<int> counts(ranks);
    std::vector<int> displacements(ranks);
    int total = 0;
    for (std::size_t r = 0; r < ranks; ++r) {
        counts[r] = static_cast<int>(words[r * stride + length_word]);
        displacements[r] = total;
        total += counts[r];
    }
    int rank = 0;
    MpiCommunicator::check(MPI_Comm_rank(comm, &rank), "MPI_Comm_rank", kWhen);
    std::string texts(static_cast<std::size_t>(total), '\0');
    MpiCommunicator::check(
        MPI_Allgatherv(mine.data(), counts[static_cast<std::size_t>(rank)], MPI_CHAR, texts.data(),
                       counts.data(), displacements.data(), MPI_CHAR, comm),
        "MPI_Allgatherv", kWhen);
    return texts.substr(
        static_cast<std::size_t>(displacements[static_cast<std::size_t>(wanted_rank)]),
        static_cast<std::size_t>(counts[static_cast<std::size_t>(wanted_rank)]));
}

void check_mpi_ready(const DistributedCreation& creation) {
    int initialized = 0;
    int finalized = 0;
    MpiCommunicator::check(MPI_Initialized(&initialized), "MPI_Initialized", kWhen);
    MpiCommunicator::check(MPI_Finalized(&finalized), "MPI_Finalized", kWhen);
    if (!initialized || finalized) {
        panic(finalized ? "MPI is already finalised" : "MPI is not initialised");
    }
    int level = MPI_THREAD_SINGLE;
    MpiCommunicator::check(MPI_Query_thread(&level), "MPI_Query_thread", kWhen);
    if (level < MPI_THREAD_SERIALIZED) {
        panic(
            "MPI was initialised with a thread level below MPI_THREAD_SERIALIZED; the "
            "instance's worker threads need at least that");
    }
    if (!creation.caller_mpi_library.empty() &&
        creation.caller_mpi_library != mpi_library_version()) {
        panic("the communicator comes from another MPI library than the one this module uses (" +
              mpi_library_version() + ")");
    }
}

}  // namespace

std::uint64_t build_fingerprint() {
    std::uint64_t hash = hash_bytes(__VERSION__);
    hash = hash_bytes(gnu_get_libc_version(), hash);
    // The results depend bit for bit on expf; a different C library version
    // with the same name would show here.
    for (float x : {-3.5f, -0.25f, 0.1f, 1.0f / 3.0f, 7.75f}) {
        hash = mix64(hash ^ std::bit_cast<std::uint32_t>(std::exp(x)));
    }
    return hash;
}

std::string mpi_library_version() {
    char text[MPI_MAX_LIBRARY_VERSION_STRING] = {};
    int length = 0;
    if (MPI_Get_library_version(text, &length) != MPI_SUCCESS) return {};
    std::string version(text, static_cast<std::size_t>(length));
    while (!version.empty() && (version.back() == '\n' || version.back() == '\0')) {
        version.pop_back();
    }
    return version;
}

Result<std::unique_ptr<InstanceCore>> create_distributed_core(const DistributedCreation& creation,
                                                              std::optional<std::string>* warning) {
    check_mpi_ready(creation);
    MPI_Comm user_comm = MPI_Comm_f2c(static_cast<MPI_Fint>(creation.fortran_comm));
    if (user_comm == MPI_COMM_NULL) panic("the communicator is MPI_COMM_NULL");
    auto communicator = std::make_shared<MpiCommunicator>(user_comm);
    MPI_Comm comm = communicator->comm();
    const int rank = communicator->rank();
    const auto ranks = static_cast<std::uint64_t>(communicator->size());

    // The processes sharing this one's node (its memory), for pinning and
    // for sizing the default thread count.
    int local_rank = 0;
    int local_size = 1;
    {
        MPI_Comm node = MPI_COMM_NULL;
        MpiCommunicator::check(
            MPI_Comm_split_type(comm, MPI_COMM_TYPE_SHARED, rank, MPI_INFO_NULL, &node),
            "MPI_Comm_split_type", kWhen);
        int rc = MPI_Comm_rank(node, &local_rank);
        if (rc == MPI_SUCCESS) rc = MPI_Comm_size(node, &local_size);
        (void)MPI_Comm_free(&node);
        MpiCommunicator::check(rc, "MPI_Comm_rank", kWhen);
    }
    const std::uint64_t ranks_on_node = static_cast<std::uint64_t>(local_size);

    // Local: read and validate, keeping the error instead of raising, so that
    // no process leaves while another waits in the handshake.
    std::uint64_t document = hash_bytes(creation.text);
    document = mix64(document ^ static_cast<std::uint64_t>(creation.format));
    Result<InstanceParams> params = creation.format == DocumentFormat::Json
                                        ? params_from_json(creation.text)
                                        : params_from_yaml(creation.text);
    std::optional<std::string> invalid;
    std::uint64_t threads = 0;
    bool threads_from_document = false;
    if (!params) {
        invalid = params.error();
    } else {
        const Status valid = validate_params(params.value());
        if (!valid) invalid = "invalid instance parameters, " + valid.error();
        const auto& num_threads = params.value().technical_params.num_threads;
        threads_from_document = num_threads.has_value();
        threads = threads_from_document
                      ? *num_threads
                      : default_threads_per_rank(available_cpu_count(), ranks_on_node);
    }

    const std::uint64_t mine[kCreationWords] = {invalid ? 1u : 0u, document, creation.seed, threads,
                                                build_fingerprint()};
    std::vector<std::uint64_t> all(ranks * kCreationWords);
    MpiCommunicator::check(MPI_Allgather(mine, kCreationWords, MPI_UINT64_T, all.data(),
                                         kCreationWords, MPI_UINT64_T, comm),
                           "MPI_Allgather", kWhen);
    auto word = [&](std::uint64_t r, CreationWord w) { return all[r * kCreationWords + w]; };
    for (std::uint64_t r = 1; r < ranks; ++r) {
        const std::string who = "rank " + std::to_string(r);
        if (word(r, kDocument) != word(0, kDocument)) {
            return error_text(who +
                              " was given another parameter document than rank 0: every "
                              "rank must create the instance from the same document");
        }
        if (word(r, kSeed) != word(0, kSeed)) {
            return error_text(who + " was given the seed " + std::to_string(word(r, kSeed)) +
                              ", rank 0 the seed " + std::to_string(word(0, kSeed)) +
                              ": every rank must be given the same seed");
        }
        if (word(r, kBuild) != word(0, kBuild)) {
            return error_text(who +
                              " runs another build of the module than rank 0 (compiler, "
                              "C library or expf differ): results could not be identical");
        }
        if (word(r, kThreads) != word(0, kThreads) && !invalid && threads_from_document) {
            return error_text(who + " has " + std::to_string(word(r, kThreads)) +
                              " worker threads, rank 0 has " + std::to_string(word(0, kThreads)) +
                              ": every rank must have the same num_threads");
        }
    }
    // The same document everywhere, so the same verdict everywhere.
    if (invalid) return error_text(std::move(*invalid));
    if (!threads_from_document) {
        // Every process runs as many workers as the most crowded one can.
        for (std::uint64_t r = 0; r < ranks; ++r) threads = std::min(threads, word(r, kThreads));
        params.value().technical_params.num_threads = threads;
    }
    if (warning != nullptr && local_rank == 0) {
        *warning = oversubscription_warning(ranks_on_node, threads, available_cpu_count(),
                                            threads_from_document);
    }

    InstanceCoreOptions options = creation.options;
    options.partition_range =
        PartitionRange{static_cast<std::uint64_t>(rank) * threads, threads, ranks * threads};
    options.first_pinned_cpu = static_cast<std::uint64_t>(local_rank) * threads;
    options.exchange = std::make_shared<MpiTickExchange>(communicator);

    std::unique_ptr<InstanceCore> core;
    std::uint64_t status = kBuilt;
    std::string failure;
    try {
        Result<std::unique_ptr<InstanceCore>> created =
            create_instance_core(std::move(params).value(), options);
        if (created) {
            core = std::move(created).value();
        } else {
            status = kBuildFailed;
            failure = created.error();
        }
    } catch (const std::bad_alloc& error) {
        status = kBuildOutOfMemory;
        failure = error.what();
    } catch (const std::length_error& error) {
        status = kBuildOutOfMemory;
        failure = error.what();
    } catch (const std::exception& error) {
        status = kBuildFailed;
        failure = error.what();
    }
    if (failure.size() > kMaxBuildText) failure.resize(kMaxBuildText);

    const std::uint64_t built[kBuildWords] = {status, status == kBuilt ? 0 : failure.size()};
    std::vector<std::uint64_t> all_built(ranks * kBuildWords);
    MpiCommunicator::check(MPI_Allgather(built, kBuildWords, MPI_UINT64_T, all_built.data(),
                                         kBuildWords, MPI_UINT64_T, comm),
                           "MPI_Allgather", kWhen);
    for (std::uint64_t r = 0; r < ranks; ++r) {
        const std::uint64_t their = all_built[r * kBuildWords + kBuildStatus];
        if (their == kBuilt) continue;
        const std::string text =
            gather_text(comm, failure, all_built, kBuildWords, kTextLength, static_cast<int>(r));
        // The others' workers are joined before raising.
        core.reset();
        if (static_cast<int>(r) == rank && their == kBuildOutOfMemory) throw std::bad_alloc();
        panic("rank " + std::to_string(r) + " could not build its partitions: " + text);
    }
    return core;
}

Result<std::unique_ptr<Instance>> create_distributed_instance(const DistributedCreation& creation,
                                                              std::optional<std::string>* warning) {
    Result<std::unique_ptr<InstanceCore>> core = create_distributed_core(creation, warning);
    if (!core) return error_text(core.error());
    return std::make_unique<Instance>(std::move(core).value(), creation.seed);
}

}  // namespace synaptor
