// The file side of a state file, shared by the save and restore of one
// process (checkpoint.cpp) and of a network spread over processes
// (checkpoint_spread.cpp): the temporary renamed into place, the header, the
// checks of a whole file before anything is read from it, and the
// instance's own section. Used on the thread of a save or a restore.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "instance/checkpoint.hpp"
#include "instance/instance.hpp"
#include "random/chacha_rng.hpp"
#include "util/buffered_file.hpp"

namespace synaptor {

inline const std::string kStateFileNoun = "state file";

/// Closes a descriptor on every way out; a temporary file is removed unless kept.
struct FileGuard {
    int fd = -1;
    std::string remove_path;
    FileGuard() = default;
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    ~FileGuard();
};

/// A save in progress: a temporary beside the file, its header left blank
/// until finish() writes it and renames the temporary into place. Dropped
/// unfinished, the temporary is removed.
class StateFileSave {
public:
    explicit StateFileSave(const std::string& path);
    ByteWriter& out() { return writer_->out(); }
    void flush() { writer_->flush(); }
    void finish(std::uint64_t fingerprint);

private:
    std::string path_;
    std::string temp_path_;
    FileGuard file_;
    std::unique_ptr<FileWriter> writer_;
};

/// A state file whose header, length, checksum and network fingerprint
/// have been checked; its content is `length` bytes after the header.
struct CheckedStateFile {
    FileGuard file;
    std::string path;
    std::uint32_t version = 0;
    std::uint64_t length = 0;

    FileReader content() const {
        return FileReader(file.fd, path, kStateFileNoun, kStateFileHeaderSize, length);
    }
};

/// Opens and checks the file; a StateFileError when it cannot be read or
/// is not a state file of the network with `fingerprint`.
std::unique_ptr<CheckedStateFile> open_state_file(const std::string& path,
                                                  std::uint64_t fingerprint);

/// What a state file holds of the instance beyond its partitions.
struct InstanceSection {
    std::uint64_t t = 0;
    double rate = 0.0;
    float reward = 0.0f;
    bool plasticity_enabled = true;  ///< files before version 2 learn
    std::optional<ChaChaRng> rng;
    std::vector<std::uint64_t> spikes;
    std::vector<PendingQueue> pending[3];
};

/// Reads the instance's section of a file of `version`, checked against a
/// network of `num_neurons` neurons.
InstanceSection read_instance_section(FileReader& in, std::uint32_t version,
                                      std::uint64_t num_neurons);

/// Checks the whole content of `file` against `core`'s network: the
/// instance's section, `check(in, t)` for the partitions' share, and
/// nothing after. A StateFileError when anything does not fit.
template <class Check>
void check_state_content(const InstanceCore& core, const CheckedStateFile& file, Check&& check) {
    FileReader in = file.content();
    const std::uint64_t t = read_instance_section(in, file.version, core.num_neurons()).t;
    check(in, t);
    if (in.remaining() != 0) in.damaged("content follows the last layer");
}

/// Reads a checked content again and applies it: `apply(in, t)` for the
/// partitions' share, then `finish(section)` for the instance's. What fails
/// now (the file replaced between the readings, or memory) leaves the
/// instance failed rather than half restored.
template <class Apply, class Finish>
void apply_state_content(InstanceCore& core, const CheckedStateFile& file, Apply&& apply,
                         Finish&& finish) {
    try {
        FileReader in = file.content();
        InstanceSection section = read_instance_section(in, file.version, core.num_neurons());
        apply(in, section.t);
        finish(std::move(section));
    } catch (const std::exception& failure) {
        core.fail(std::string("restoring the state failed part way: ") + failure.what());
    }
}

}  // namespace synaptor
