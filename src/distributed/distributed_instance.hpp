// Creation of an instance whose network is spread over the processes of an
// MPI communicator, R processes with W worker threads each holding R*W
// partitions: process r builds partitions r*W .. r*W+W-1 and nothing else.
// Collective: every process of the communicator calls it with the same
// document and seed, and every process returns or raises alike. The
// communicator crosses in as its Fortran handle, so callers need no MPI
// headers. Calling (Python) thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "instance/instance.hpp"
#include "instance/instance_core_options.hpp"
#include "params/schema_mapper.hpp"
#include "util/result.hpp"

namespace synaptor {

struct DistributedCreation {
    std::string_view text;
    DocumentFormat format = DocumentFormat::Yaml;
    std::uint64_t seed = 0;
    /// MPI_Comm_c2f of the communicator (as from mpi4py's `comm.py2f()`).
    std::int64_t fortran_comm = 0;
    /// The version string of the MPI library the caller uses; empty skips
    /// the check that it is this module's.
    std::string caller_mpi_library;
    /// Test hooks and waiting policies; the partition range, pinning and
    /// exchange are set here.
    InstanceCoreOptions options;
};

/// Document errors (parse, validation, differing documents, seeds, thread
/// counts or builds between processes) are error texts, raised alike on
/// every process. A process whose partitions cannot be built makes every
/// process panic with "rank r could not build its partitions: <text>" (that
/// process throws std::bad_alloc when it ran out of memory). MPI misuse
/// (not initialised, too low a thread level, another MPI library) panics.
/// Without num_threads in the document every process runs the CPUs it sees
/// divided by the processes on its node (the least of that over all
/// processes, at least 1). On the first process of each node, `warning` (when
/// given) receives a text if that node's processes run more worker threads
/// than it has CPUs.
Result<std::unique_ptr<InstanceCore>> create_distributed_core(
    const DistributedCreation& creation, std::optional<std::string>* warning = nullptr);

/// The same, with the stimulus state around the core.
Result<std::unique_ptr<Instance>> create_distributed_instance(
    const DistributedCreation& creation, std::optional<std::string>* warning = nullptr);

/// Hash that every process of one build computes alike: its version, its
/// compiler, its C library and the bits of `expf` at fixed arguments.
std::uint64_t build_fingerprint();

/// The version string of the MPI library this module runs on.
std::string mpi_library_version();

}  // namespace synaptor
