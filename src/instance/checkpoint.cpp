#include "instance/checkpoint.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "instance/instance.hpp"
#include "instance/state_file.hpp"
#include "partition/partition.hpp"
#include "partition/partition_state_codec.hpp"
#include "util/buffered_file.hpp"
#include "util/byte_writer.hpp"
#include "util/hash.hpp"

namespace synaptor {

namespace {

const std::string& kNoun = kStateFileNoun;

/// Bytes 0-31 of the header: the checksum covers them and the content.
constexpr std::size_t kCheckedHeaderBytes = 32;

[[noreturn]] void bad_content(const std::string& text) {
    throw StateFileError(StateFileError::Kind::Content, text);
}

[[noreturn]] void damaged(const std::string& detail) {
    bad_content("state file is damaged: " + detail);
}

/// A file shorter than it must be, named with both sizes: a copy or a save
/// that was cut short shows by how much.
[[noreturn]] void truncated(const std::string& path, std::uint64_t size, std::uint64_t expected,
                            const char* bound = "") {
    bad_content("state file is truncated: '" + path + "' has " + std::to_string(size) + " bytes, " +
                bound + std::to_string(expected) + " expected");
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int create_temporary(const std::string& path, std::string& temp_path) {
    static std::atomic<std::uint64_t> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_path = path + ".tmp-" + std::to_string(::getpid()) + "-" +
                    std::to_string(counter.fetch_add(1));
        const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) io_failure("cannot create state file", path);
    }
    io_failure("cannot create state file", path);
}

/// The hash of the content of a file of `length` content bytes, read in pieces.
std::uint64_t content_hash_of(int fd, const std::string& path, std::uint64_t length) {
    StreamHash content;
    std::vector<unsigned char> buffer(kFileBufferSize);
    std::uint64_t offset = kStateFileHeaderSize;
    for (std::uint64_t left = length; left > 0;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        if (!read_at(fd, path, kNoun, offset, buffer.data(), n)) {
            // The file shrank since its size was read.
            struct stat info;
            const std::uint64_t now =
                ::fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
            truncated(path, now, kStateFileHeaderSize + length);
        }
        content.update(buffer.data(), n);
        offset += n;
        left -= n;
    }
    return content.digest();
}

void put_rng(ByteWriter& out, const ChaChaRngState& state) {
    for (std::uint32_t word : state.key) out.u32(word);
    out.u64(state.counter);
    for (std::uint32_t word : state.buffer) out.u32(word);
    out.u32(state.index);
    out.u32(state.blocks_per_refill);
}

ChaChaRngState get_rng(FileReader& in) {
    ChaChaRngState state;
    for (std::uint32_t& word : state.key) word = in.u32();
    state.counter = in.u64();
    for (std::uint32_t& word : state.buffer) word = in.u32();
    state.index = in.u32();
    state.blocks_per_refill = in.u32();
    return state;
}

void put_pending(ByteWriter& out, const std::vector<PendingQueue>& pending) {
    out.u64(pending.size());
    for (const PendingQueue& queue : pending) {
        out.u64(queue.entries.size() - queue.head);
        for (std::size_t i = queue.head; i < queue.entries.size(); ++i) {
            out.u64(queue.entries[i].t);
            out.u64(queue.entries[i].id);
        }
    }
}

std::vector<PendingQueue> get_pending(FileReader& in) {
    std::vector<PendingQueue> pending(in.count(8));
    for (PendingQueue& queue : pending) {
        queue.entries.resize(in.count(16));
        for (PendingQueue::Entry& entry : queue.entries) {
            entry.t = in.u64();
            entry.id = in.u64();
        }
    }
    return pending;
}

}  // namespace

FileGuard::~FileGuard() {
    if (fd >= 0) ::close(fd);
    if (!remove_path.empty()) ::unlink(remove_path.c_str());
}

StateFileSave::StateFileSave(const std::string& path) : path_(path) {
    file_.fd = create_temporary(path, temp_path_);
    file_.remove_path = temp_path_;
    writer_ = std::make_unique<FileWriter>(file_.fd, path_, kNoun);
    unsigned char header[kStateFileHeaderSize] = {};
    write_all(file_.fd, path_, kNoun, header, sizeof header);  // rewritten by finish()
}

void StateFileSave::finish(std::uint64_t fingerprint) {
    writer_->flush();
    unsigned char header[kStateFileHeaderSize] = {};
    std::memcpy(header, kStateFileMagic, 8);
    put_le(header + 8, kStateFileVersion, 4);
    put_le(header + 12, kStateFileHeaderSize, 4);
    put_le(header + 16, fingerprint, 8);
    put_le(header + 24, writer_->length(), 8);
    put_le(header + 32,
           head_and_content_checksum(header, kCheckedHeaderBytes, writer_->content_hash()), 8);
    write_all_at(file_.fd, path_, kNoun, header, sizeof header, 0);
    if (::fsync(file_.fd) != 0) io_failure("cannot write state file", path_);
    const int fd = file_.fd;
    file_.fd = -1;
    if (::close(fd) != 0) io_failure("cannot write state file", path_);
    if (::rename(temp_path_.c_str(), path_.c_str()) != 0) {
        io_failure("cannot write state file", path_);
    }
    file_.remove_path.clear();
    // The rename itself reaches the disk with the directory.
    const int dir = ::open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
}

std::unique_ptr<CheckedStateFile> open_state_file(const std::string& path,
                                                  std::uint64_t fingerprint) {
    auto checked = std::make_unique<CheckedStateFile>();
    checked->path = path;
    FileGuard& file = checked->file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) io_failure("cannot open state file", path);
    struct stat info;
    if (::fstat(file.fd, &info) != 0) io_failure("cannot read state file", path);
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        io_failure("cannot read state file", path);
    }

    unsigned char header[kStateFileHeaderSize];
    const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    const bool whole_header = read_at(file.fd, path, kNoun, 0, header, sizeof header);
    if (size < 8 || std::memcmp(header, kStateFileMagic, 8) != 0) {
        bad_content("not a state file: '" + path + "' does not begin with SYNSTATE");
    }
    if (!whole_header) truncated(path, size, kStateFileHeaderSize, "at least ");
    checked->version = static_cast<std::uint32_t>(get_le(header + 8, 4));
    if (checked->version > kStateFileVersion) {
        bad_content("state file format version " + std::to_string(checked->version) +
                    " is newer than the supported version " + std::to_string(kStateFileVersion));
    }
    if (checked->version == 0 || get_le(header + 12, 4) != kStateFileHeaderSize) {
        damaged("the header is not one of a known version");
    }
    const std::uint64_t length = get_le(header + 24, 8);
    if (size - kStateFileHeaderSize < length) truncated(path, size, kStateFileHeaderSize + length);
    if (size - kStateFileHeaderSize > length) damaged("data follows the content");
    checked->length = length;

    // The checksum first, so that damage reads as such before any detail.
    if (head_and_content_checksum(header, kCheckedHeaderBytes,
                                  content_hash_of(file.fd, path, length)) !=
        get_le(header + 32, 8)) {
        bad_content("state file is corrupted: checksum mismatch");
    }
    if (get_le(header + 16, 8) != fingerprint) {
        bad_content("state file was saved from a different network");
    }
    return checked;
}

std::uint64_t state_file_checksum(const void* file, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(file);
    return head_and_content_checksum(
        bytes, kCheckedHeaderBytes,
        hash_memory(bytes + kStateFileHeaderSize, size - kStateFileHeaderSize));
}

void Instance::write_instance_section(ByteWriter& out) const {
    out.u64(core_->t());
    out.f64(non_coherent_stimulation_rate);
    out.f32(reward_rate);
    out.flag(plasticity_enabled_);
    put_rng(out, stimulus_rng_.state());
    const std::vector<std::uint64_t>& spikes = core_->last_spiking_nids();
    out.u64(spikes.size());
    for (std::uint64_t nid : spikes) out.u64(nid);
    put_pending(out, pending_in_channel_spikes_);
    put_pending(out, pending_force_out_channel_spikes_);
    put_pending(out, pending_force_neuron_spikes_);
}

InstanceSection read_instance_section(FileReader& in, std::uint32_t version,
                                      std::uint64_t num_neurons) {
    InstanceSection section;
    section.t = in.u64();
    section.rate = in.f64();
    section.reward = in.f32();
    if (version >= 2) section.plasticity_enabled = in.flag();
    section.rng = ChaChaRng::from_state(get_rng(in));
    if (!section.rng) in.damaged("the stimulus generator's state is impossible");
    section.spikes.resize(in.count(8));
    for (std::size_t i = 0; i < section.spikes.size(); ++i) {
        section.spikes[i] = in.u64();
        if (section.spikes[i] >= num_neurons ||
            (i > 0 && section.spikes[i] < section.spikes[i - 1])) {
            in.damaged("the last tick's spikes are not ascending neuron ids");
        }
    }
    for (std::vector<PendingQueue>& pending : section.pending) pending = get_pending(in);
    return section;
}

void Instance::apply_instance_section(InstanceSection section,
                                      const std::vector<Partition*>& partitions) {
    for (Partition* partition : partitions) {
        synaptor::set_plasticity_enabled(*partition, section.plasticity_enabled);
    }
    plasticity_enabled_ = section.plasticity_enabled;
    non_coherent_stimulation_rate = section.rate;
    reward_rate = section.reward;
    stimulus_rng_ = *section.rng;
    pending_in_channel_spikes_ = std::move(section.pending[0]);
    pending_force_out_channel_spikes_ = std::move(section.pending[1]);
    pending_force_neuron_spikes_ = std::move(section.pending[2]);
    core_->set_tick_state(section.t, std::move(section.spikes));
}

void Instance::save_state(const std::string& path) {
    if (TickExchange* exchange = core_->exchange_for_calls()) {
        save_state_spread(path, *exchange);
        return;
    }
    StateFileSave save(path);
    core_->visit_partitions([&](const std::vector<Partition*>& partitions) {
        write_instance_section(save.out());
        write_partition_state(save.out(), partitions, core_->t());
    });
    save.finish(core_->fingerprint());
}

void Instance::restore_state(const std::string& path) {
    if (TickExchange* exchange = core_->exchange_for_calls()) {
        restore_state_spread(path, *exchange);
        return;
    }
    const std::unique_ptr<CheckedStateFile> file = open_state_file(path, core_->fingerprint());
    core_->visit_partitions([&](const std::vector<Partition*>& partitions) {
        check_state_content(*core_, *file, [&](FileReader& in, std::uint64_t t) {
            check_partition_state(in, partitions, t);
        });
        apply_state_content(
            *core_, *file,
            [&](FileReader& in, std::uint64_t t) { apply_partition_state(in, partitions, t); },
            [&](InstanceSection section) {
                apply_instance_section(std::move(section), partitions);
            });
    });
}

}  // namespace synaptor
