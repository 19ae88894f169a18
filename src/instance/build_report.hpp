// Build report: how the workers tell the creating thread that their
// partitions are built, or that building one failed. Each worker reports
// exactly once; creation waits for all of them, so a network that cannot be
// built fails the call that created it. Shared by the creating thread and the
// workers; the first failure reported is the one kept.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "instance/wait_point.hpp"

namespace synaptor {

struct BuildFailure {
    /// True when the partition did not fit in memory.
    bool out_of_memory = false;
    std::string text;
};

class BuildReport {
public:
    /// A worker's partition is built.
    void built() { report(); }

    /// A worker failed while building. Without memory for the text the
    /// failure is still counted, with an empty text.
    void failed(bool out_of_memory, const char* text) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!failure_) {
                try {
                    failure_ = BuildFailure{out_of_memory, text};
                } catch (...) {
                    failure_.emplace();
                    failure_->out_of_memory = out_of_memory;
                }
            }
        }
        report();
    }

    /// Waits until `count` workers have reported; returns the first failure.
    std::optional<BuildFailure> wait(std::uint64_t count) {
        reported_point_.wait_until(
            [&] { return reported_.load(std::memory_order_seq_cst) >= count; }, SpinPolicy{0, 0});
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(failure_);
    }

private:
    void report() noexcept {
        reported_.fetch_add(1, std::memory_order_seq_cst);
        reported_point_.notify_all();
    }

    std::mutex mutex_;
    std::optional<BuildFailure> failure_;  ///< guarded by mutex_
    std::atomic<std::uint64_t> reported_{0};
    WaitPoint reported_point_;
};

}  // namespace synaptor
