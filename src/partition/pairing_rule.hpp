// What pairing needs from a pre-synaptic group's spike-timing plasticity: its
// short- and long-term STDP parameters with their exponentials memoised (the
// short-term decay and both kernels). A layer keeps one rule per distinct
// parameter set among its groups, and each group finds its rule once, at its
// first propagation or pairing. Owned by a partition layer, used by its worker.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "params/params.hpp"
#include "partition/decay_table.hpp"
#include "partition/stdp_kernel.hpp"
#include "util/panic.hpp"

namespace synaptor {

class PairingRule {
public:
    /// The rule of groups with these parameters. With `memoise`, the
    /// exponentials are tabulated (the kernels for a window of `t_cutoff`
    /// ticks); without, every value is computed by the direct formulas.
    PairingRule(const std::optional<ShortTermStdpParams>& short_term,
                const std::optional<StdpParams>& long_term, std::uint64_t t_cutoff, bool memoise)
        : short_term_(short_term), long_term_(long_term), memoised_(memoise) {
        if (!memoise) return;
        if (short_term_) {
            short_term_decay_.build(short_term_->tau);
            short_term_kernel_.build(short_term_->stdp_params, t_cutoff);
        }
        if (long_term_) long_term_kernel_.build(*long_term_, t_cutoff);
    }

    /// Whether these are the rule's parameters, compared bit for bit.
    bool matches(const std::optional<ShortTermStdpParams>& short_term,
                 const std::optional<StdpParams>& long_term) const {
        if (short_term.has_value() != short_term_.has_value()) return false;
        if (long_term.has_value() != long_term_.has_value()) return false;
        if (short_term && (!same_bits(short_term->stdp_params, short_term_->stdp_params) ||
                           std::bit_cast<std::uint32_t>(short_term->tau) !=
                               std::bit_cast<std::uint32_t>(short_term_->tau))) {
            return false;
        }
        return !long_term || same_bits(*long_term, *long_term_);
    }

    const std::optional<ShortTermStdpParams>& short_term() const { return short_term_; }
    const std::optional<StdpParams>& long_term() const { return long_term_; }
    bool has_timing_plasticity() const { return short_term_ || long_term_; }

    /// The memoised short-term decay (built for the short-term tau), or null
    /// when there is none.
    const DecayTable* short_term_decay_table() const {
        return memoised_ && short_term_ ? &short_term_decay_ : nullptr;
    }

    /// expf(-dt / tau) of the short-term STDP parameters (which must be set).
    [[gnu::always_inline]] float short_term_decay(std::uint64_t dt) const {
        return memoised_ ? short_term_decay_.get_built(dt, short_term_->tau)
                         : decay_factor(dt, short_term_->tau);
    }
    /// stdp_value(dt) of the short-term STDP parameters (which must be set).
    [[gnu::always_inline]] float short_term_value(std::int64_t dt) const {
        return short_term_kernel_.get_built(dt, short_term_->stdp_params);
    }
    /// stdp_value(dt) of the long-term STDP parameters (which must be set).
    [[gnu::always_inline]] float long_term_value(std::int64_t dt) const {
        return long_term_kernel_.get_built(dt, *long_term_);
    }

private:
    std::optional<ShortTermStdpParams> short_term_;
    std::optional<StdpParams> long_term_;
    bool memoised_;
    DecayTable short_term_decay_;
    StdpKernel short_term_kernel_;  ///< unbuilt kernels compute directly
    StdpKernel long_term_kernel_;
};

/// The rules of one layer, found by value; positions never change once given.
class PairingRuleSet {
public:
    /// Rules beyond this many are not tabulated (each table takes up to 24 KB).
    static constexpr std::size_t kMaxMemoised = 64;
    static constexpr std::uint32_t kUnresolved = 0xFFFFFFFFu;

    /// The position of the rule for these parameters, added if new.
    std::uint32_t resolve(const std::optional<ShortTermStdpParams>& short_term,
                          const std::optional<StdpParams>& long_term, std::uint64_t t_cutoff) {
        for (std::size_t i = 0; i < rules_.size(); ++i) {
            if (rules_[i].matches(short_term, long_term)) return static_cast<std::uint32_t>(i);
        }
        rules_.emplace_back(short_term, long_term, t_cutoff, rules_.size() < kMaxMemoised);
        count_ = rules_.size();
        return static_cast<std::uint32_t>(count_ - 1);
    }

    /// The rule at `position`; a position no rule has is an internal error.
    const PairingRule& at(std::uint32_t position) const {
        if (position >= count_) [[unlikely]] {
            out_of_range(position);
        }
        return rules_[position];
    }
    std::size_t size() const { return rules_.size(); }

    /// Whether some rule has short-term STDP.
    bool any_short_term() const {
        for (const PairingRule& rule : rules_) {
            if (rule.short_term()) return true;
        }
        return false;
    }
    /// Whether the rules so far are one, with long-term STDP alone: the
    /// pairings of its groups then need only its long-term value.
    bool one_long_term_rule() const {
        return rules_.size() == 1 && rules_[0].long_term() && !rules_[0].short_term();
    }

private:
    [[noreturn, gnu::noinline, gnu::cold]] void out_of_range(std::uint32_t position) const {
        panic("pairing rule " + std::to_string(position) + " out of range for " +
              std::to_string(rules_.size()) + " rules");
    }

    std::vector<PairingRule> rules_;
    std::size_t count_ = 0;  ///< rules_.size(), kept at hand
};

}  // namespace synaptor
