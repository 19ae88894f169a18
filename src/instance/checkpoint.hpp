// State files: the complete state of a running network written to one file
// and read back into an instance of the same network, whatever the number of
// partitions of either. The layout is described in docs/checkpoint.md: a
// fixed header (format name, version, network fingerprint, content length and
// checksum) and a content in which every neuron, synapse, trace and event in
// flight appears once, in an order that does not depend on the partitioning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "params/params.hpp"

namespace synaptor {

/// A state file that cannot be written or read. `Io`: the system refused
/// (errno in error_number()); `Content`: the file is not a state file this
/// instance can take.
class StateFileError : public std::runtime_error {
public:
    enum class Kind { Io, Content };
    StateFileError(Kind kind, const std::string& text, int error_number = 0)
        : std::runtime_error(text), kind_(kind), error_number_(error_number) {}
    Kind kind() const { return kind_; }
    int error_number() const { return error_number_; }

private:
    Kind kind_;
    int error_number_;
};

inline constexpr char kStateFileMagic[8] = {'S', 'Y', 'N', 'S', 'T', 'A', 'T', 'E'};
inline constexpr std::uint32_t kStateFileVersion = 1;
inline constexpr std::uint32_t kStateFileHeaderSize = 40;

/// Hash of every parameter that decides the network and its dynamics, floats
/// by their bits, and the network seed; the thread settings are left out.
std::uint64_t network_fingerprint(const InstanceParams& params);

/// The checksum a state file of `size` bytes (header and content) carries at
/// bytes 32-39 of its header: a 64-bit hash of the header's first 32 bytes
/// followed by the little-endian 64-bit hash of the content. The file must
/// hold at least the header.
std::uint64_t state_file_checksum(const void* file, std::size_t size);

}  // namespace synaptor
