// State files: the complete state of a running network written to one file
// and read back into an instance of the same network, whatever the number of
// partitions of either. The layout is described in docs/checkpoint.md: a
// fixed header (format name, version, network fingerprint, content length and
// checksum) and a content in which every neuron, synapse, trace and event in
// flight appears once, in an order that does not depend on the partitioning.
// Here: the file's handling (a temporary renamed into place, the header, the
// checks before anything changes), the instance's own state and the network
// fingerprint; the partitions encode theirs (partition/partition_state_codec.hpp).
// Saved and restored on the calling thread while it holds every partition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "params/params.hpp"
#include "util/file_error.hpp"

namespace synaptor {

/// A state file that cannot be written or read. `Io`: the system refused
/// (errno in error_number()); `Content`: the file is not a state file this
/// instance can take.
using StateFileError = FileError;

inline constexpr char kStateFileMagic[8] = {'S', 'Y', 'N', 'S', 'T', 'A', 'T', 'E'};
/// Version 2 added the plasticity switch; files of version 1 restore with it on.
inline constexpr std::uint32_t kStateFileVersion = 2;
inline constexpr std::uint32_t kStateFileHeaderSize = 40;

/// Hash of every parameter that decides the network and its dynamics, floats
/// by their bits, and the network seed; the thread settings are left out
/// (network_fingerprint.cpp).
std::uint64_t network_fingerprint(const InstanceParams& params);

/// The checksum a state file of `size` bytes (header and content) carries at
/// bytes 32-39 of its header: a 64-bit hash of the header's first 32 bytes
/// followed by the little-endian 64-bit hash of the content. The file must
/// hold at least the header.
std::uint64_t state_file_checksum(const void* file, std::size_t size);

}  // namespace synaptor
