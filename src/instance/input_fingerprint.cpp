#include "instance/input_fingerprint.hpp"

#include <bit>
#include <vector>

#include "util/hash.hpp"

namespace synaptor {

namespace {

class Fingerprint {
public:
    void add(std::uint64_t word) { hash_ = mix64(hash_ ^ word); }
    /// A list with its length first, so that words cannot move unseen from
    /// one list to the next.
    void add(const std::vector<std::uint64_t>& words) {
        add(words.size());
        for (std::uint64_t word : words) add(word);
    }
    std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 0;
};

}  // namespace

std::uint64_t input_fingerprint(std::uint64_t t, const TickInput& input) {
    Fingerprint fingerprint;
    fingerprint.add(t);
    fingerprint.add(input.spiking_in_channel_ids);
    fingerprint.add(input.force_spiking_out_channel_ids);
    fingerprint.add(input.force_spiking_nids);
    fingerprint.add(std::bit_cast<std::uint32_t>(input.reward));
    fingerprint.add(input.extract_state_snapshot ? 1 : 0);
    fingerprint.add(input.caller_fingerprint);
    return fingerprint.value();
}

}  // namespace synaptor
