// A network split over several cores, each with a range of the partitions and
// an exchange that combines their ticks, must give what one core with all
// partitions gives. The exchange here joins cores of one process that tick on
// threads of their own (the MPI exchange is tested under mpiexec).
#include "instance/tick_exchange.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "instance/instance_core.hpp"
#include "instance/instance_core_options.hpp"
#include "instance/neuron_recorder.hpp"
#include "instance/synapse_access.hpp"
#include "params/params_reader.hpp"
#include "util/panic.hpp"

namespace synaptor {
namespace {

/// Cores of one process standing in for ranks: each deposits its share,
/// all wait, and each decides alike from all shares.
class SharedTable {
public:
    explicit SharedTable(std::uint64_t ranks)
        : ranks_(ranks),
          shares_(ranks),
          spikes_(ranks),
          segments_(ranks),
          recorded_(ranks),
          weights_(ranks),
          words_(ranks),
          arrived_(static_cast<std::ptrdiff_t>(ranks)),
          read_(static_cast<std::ptrdiff_t>(ranks)) {}

    void exchange(std::uint64_t rank, const LocalTick& local, std::vector<std::uint64_t>& spikes,
                  GlobalTick& global) {
        shares_[rank] = local;
        spikes_[rank] = spikes;
        segments_[rank].clear();
        for (const SnapshotSegment* segment : local.segments) segments_[rank].push_back(*segment);
        recorded_[rank] = {};
        for (const RecordedValues* recorded : local.recorded) {
            recorded_[rank].runs.insert(recorded_[rank].runs.end(), recorded->runs.begin(),
                                        recorded->runs.end());
            recorded_[rank].values.insert(recorded_[rank].values.end(), recorded->values.begin(),
                                          recorded->values.end());
        }
        weights_[rank].assign(local.weights.begin(), local.weights.end());
        arrived_.arrive_and_wait();
        decide(rank, spikes, global);
        read_.arrive_and_wait();
    }

    std::vector<std::uint64_t> gather_words(std::uint64_t rank,
                                            const std::vector<std::uint64_t>& words) {
        words_[rank] = words;
        arrived_.arrive_and_wait();
        std::vector<std::uint64_t> all;
        for (const std::vector<std::uint64_t>& one : words_) {
            all.insert(all.end(), one.begin(), one.end());
        }
        read_.arrive_and_wait();
        return all;
    }

    void gather_items(std::uint64_t rank, const void* mine, std::size_t item_size, void* all,
                      const std::vector<std::uint64_t>& counts) {
        items_[rank] = mine;
        arrived_.arrive_and_wait();
        std::size_t at = 0;
        for (std::uint64_t r = 0; r < ranks_; ++r) {
            if (counts[r] > 0) {
                std::memcpy(static_cast<char*>(all) + at, items_[r], counts[r] * item_size);
            }
            at += counts[r] * item_size;
        }
        read_.arrive_and_wait();
    }

    std::uint64_t ranks() const { return ranks_; }

private:
    void decide(std::uint64_t rank, std::vector<std::uint64_t>& spikes, GlobalTick& global) {
        for (std::uint64_t r = 0; r < ranks_; ++r) {
            if (shares_[r].status == LocalTickStatus::Failed ||
                shares_[r].status == LocalTickStatus::FailedOutOfMemory) {
                global.outcome = GlobalTick::Outcome::Failed;
                global.failure_text = "rank " + std::to_string(r) + ": " + shares_[r].failure_text;
                return;
            }
        }
        for (std::uint64_t r = 1; r < ranks_; ++r) {
            if (shares_[r].input_fingerprint != shares_[0].input_fingerprint ||
                shares_[r].status != shares_[0].status ||
                shares_[r].weights_sampled != shares_[0].weights_sampled ||
                shares_[r].plasticity_enabled != shares_[0].plasticity_enabled) {
                global.outcome = GlobalTick::Outcome::Failed;
                global.failure_text = "diverged";
                return;
            }
        }
        if (shares_[0].status == LocalTickStatus::Rejected) {
            global.outcome = GlobalTick::Outcome::Rejected;
            return;
        }
        spikes.clear();
        for (std::uint64_t r = 0; r < ranks_; ++r) {
            spikes.insert(spikes.end(), spikes_[r].begin(), spikes_[r].end());
            global.synaptic_transmission_count += shares_[r].synaptic_transmission_count;
            global.stop_requested = global.stop_requested || shares_[r].stop_requested;
        }
        std::sort(spikes.begin(), spikes.end());
        if (shares_[0].recording_sampled) {
            RecordedValues& all = gathered_[rank];
            all = {};
            for (const RecordedValues& one : recorded_) {
                all.runs.insert(all.runs.end(), one.runs.begin(), one.runs.end());
                all.values.insert(all.values.end(), one.values.begin(), one.values.end());
            }
            global.recorded = &all;
        }
        if (shares_[0].weights_sampled) {
            std::vector<float>& all = gathered_weights_[rank];
            all.clear();
            for (const std::vector<float>& one : weights_)
                all.insert(all.end(), one.begin(), one.end());
            global.recorded_weights = all;
        }
        if (rank == 0 && shares_[0].extract_state_snapshot) {
            global.holds_snapshot = true;
            for (std::uint64_t r = 1; r < ranks_; ++r) {
                global.remote_segments.insert(global.remote_segments.end(), segments_[r].begin(),
                                              segments_[r].end());
            }
        }
    }

    std::uint64_t ranks_;
    std::vector<LocalTick> shares_;
    std::vector<std::vector<std::uint64_t>> spikes_;
    std::vector<std::vector<SnapshotSegment>> segments_;
    std::vector<RecordedValues> recorded_;
    std::vector<RecordedValues> gathered_ = std::vector<RecordedValues>(ranks_);
    std::vector<std::vector<float>> weights_;
    std::vector<std::vector<float>> gathered_weights_ = std::vector<std::vector<float>>(ranks_);
    std::vector<std::vector<std::uint64_t>> words_;
    std::vector<const void*> items_ = std::vector<const void*>(ranks_);
    std::barrier<> arrived_;
    std::barrier<> read_;
};

class TableExchange : public TickExchange {
public:
    TableExchange(std::shared_ptr<SharedTable> table, std::uint64_t rank)
        : table_(std::move(table)), rank_(rank) {}
    void exchange(const LocalTick& local, std::vector<std::uint64_t>& spikes,
                  GlobalTick& global) override {
        table_->exchange(rank_, local, spikes, global);
    }
    bool prepare_recording(std::uint64_t, bool room, std::size_t, std::size_t,
                           std::size_t) override {
        const std::vector<std::uint64_t> rooms = table_->gather_words(rank_, {room ? 1u : 0u});
        return std::find(rooms.begin(), rooms.end(), 0u) == rooms.end();
    }
    std::vector<std::uint64_t> gather_words(const std::vector<std::uint64_t>& words) override {
        return table_->gather_words(rank_, words);
    }
    void gather_items(const void* mine, std::size_t item_size, void* all,
                      const std::vector<std::uint64_t>& counts) override {
        table_->gather_items(rank_, mine, item_size, all, counts);
    }
    void gather_bytes_to_first(const void* mine, void* all,
                               const std::vector<std::uint64_t>& sizes) override {
        std::vector<unsigned char> elsewhere;
        if (rank_ != 0) {
            std::uint64_t total = 0;
            for (std::uint64_t size : sizes) total += size;
            elsewhere.resize(total);
            all = elsewhere.data();
        }
        table_->gather_items(rank_, mine, 1, all, sizes);
    }
    std::uint64_t rank() const override { return rank_; }
    std::uint64_t num_ranks() const override { return table_->ranks(); }

private:
    std::shared_ptr<SharedTable> table_;
    std::uint64_t rank_;
};

InstanceParams full_network(std::uint64_t num_threads) {
    std::ifstream file(std::string(SYNAPTOR_TEST_DATA_DIR) + "/full_network.json");
    std::stringstream text;
    text << file.rdbuf();
    Result<InstanceParams> params = params_from_json(text.str());
    EXPECT_TRUE(params.ok());
    InstanceParams out = std::move(params).value();
    out.technical_params.num_threads = num_threads;
    return out;
}

/// `ranks` cores of `threads` partitions each over one exchange.
std::vector<std::unique_ptr<InstanceCore>> split_network(std::uint64_t ranks,
                                                         std::uint64_t threads) {
    auto table = std::make_shared<SharedTable>(ranks);
    std::vector<std::unique_ptr<InstanceCore>> cores;
    for (std::uint64_t r = 0; r < ranks; ++r) {
        InstanceCoreOptions options;
        options.check_cpu_count = false;
        options.partition_range = PartitionRange{r * threads, threads, ranks * threads};
        options.exchange = std::make_shared<TableExchange>(table, r);
        auto created = create_instance_core(full_network(threads), options);
        EXPECT_TRUE(created.ok());
        cores.push_back(std::move(created).value());
    }
    return cores;
}

/// Runs `tick(rank, core)` on every core at once, one thread each.
void on_every_rank(std::vector<std::unique_ptr<InstanceCore>>& cores,
                   const std::function<void(std::uint64_t, InstanceCore&)>& tick) {
    std::vector<std::thread> threads;
    for (std::uint64_t r = 0; r < cores.size(); ++r) {
        threads.emplace_back([&, r] { tick(r, *cores[r]); });
    }
    for (std::thread& thread : threads) thread.join();
}

TickInput input_at(std::uint64_t t) {
    TickInput input;
    input.spiking_in_channel_ids = {t % 20, (t * 7) % 20};
    if (t % 3 == 0) input.force_spiking_nids = {20 + t % 30};
    input.reward = t % 10 == 0 ? 1.0f : 0.0f;
    input.extract_state_snapshot = t % 50 == 49;
    return input;
}

struct Record {
    std::vector<std::uint64_t> spikes;
    std::vector<std::uint64_t> out_channels;
    std::uint64_t transmissions = 0;
    std::vector<float> voltages;
    std::vector<float> weights;
    bool operator==(const Record&) const = default;
};

Record record_of(const TickResult& result) {
    Record record{result.spiking_nids,
                  result.spiking_out_channel_ids,
                  result.synaptic_transmission_count,
                  {},
                  {}};
    if (result.state_snapshot) {
        record.voltages = result.state_snapshot->membrane_voltages;
        record.weights = result.state_snapshot->weights;
    }
    return record;
}

TEST(TickExchange, SplitCoresGiveTheResultsOfOneCoreWithAllPartitions) {
    constexpr std::uint64_t kTicks = 150;
    for (const auto& [ranks, threads] : {std::pair{2u, 1u}, std::pair{3u, 1u}, std::pair{2u, 2u}}) {
        InstanceCoreOptions single_options;
        single_options.check_cpu_count = false;
        auto single = create_instance_core(full_network(ranks * threads), single_options);
        ASSERT_TRUE(single.ok());
        std::vector<Record> expected;
        for (std::uint64_t t = 0; t < kTicks; ++t) {
            expected.push_back(record_of(single.value()->tick(input_at(t)).value()));
        }

        auto cores = split_network(ranks, threads);
        std::vector<std::vector<Record>> got(ranks);
        on_every_rank(cores, [&](std::uint64_t rank, InstanceCore& core) {
            for (std::uint64_t t = 0; t < kTicks; ++t) {
                got[rank].push_back(record_of(core.tick(input_at(t)).value()));
            }
        });
        std::uint64_t snapshots = 0;
        for (std::uint64_t t = 0; t < kTicks; ++t) {
            for (std::uint64_t r = 0; r < ranks; ++r) {
                Record want = expected[t];
                if (r != 0) want.voltages.clear(), want.weights.clear();
                ASSERT_EQ(got[r][t], want)
                    << ranks << "x" << threads << " rank " << r << " t " << t;
            }
            snapshots += expected[t].voltages.empty() ? 0 : 1;
        }
        EXPECT_EQ(snapshots, 3u);
        EXPECT_EQ(cores[1]->num_partitions(), threads);
        EXPECT_EQ(cores[1]->num_partitions_total(), ranks * threads);
    }
}

TEST(TickExchange, RejectionEverywhereChangesNothingAndDivergenceFailsEveryCore) {
    auto cores = split_network(2, 1);
    std::vector<std::string> texts(2);
    on_every_rank(cores, [&](std::uint64_t rank, InstanceCore& core) {
        TickInput bad;
        bad.force_spiking_nids = {1000};
        Result<TickResult> rejected = core.tick(bad);
        EXPECT_FALSE(rejected.ok());
        EXPECT_EQ(rejected.error(), "Invalid neuron id for forced spike: 1000");
        EXPECT_EQ(core.t(), 0u);
        EXPECT_EQ(core.tick(input_at(0)).value().t, 0u);
        TickInput differing = input_at(1);
        differing.reward = rank == 0 ? 0.5f : 0.25f;
        try {
            (void)core.tick(differing);
        } catch (const Panic& failure) {
            texts[rank] = failure.text();
        }
        // The failure is shared: a later tick raises it without an exchange.
        try {
            (void)core.tick(input_at(1));
            texts[rank] += " and then ticked";
        } catch (const Panic& failure) {
            EXPECT_EQ(failure.text(), "diverged");
        }
    });
    EXPECT_EQ(texts, (std::vector<std::string>{"diverged", "diverged"}));
}

TEST(TickExchange, SplitCoresRecordWhatOneCoreRecordsAndAgreeOnTheRequest) {
    constexpr std::uint64_t kTicks = 40;
    RecordingRequest request;
    request.nids = {45, 3, 20, 7, 0, 31};
    request.variables = {"spike", "voltage", "threshold"};
    request.every = 3;
    InstanceCoreOptions single_options;
    single_options.check_cpu_count = false;
    auto single = create_instance_core(full_network(2), single_options);
    ASSERT_TRUE(single.ok());
    ASSERT_TRUE(single.value()->record(request).ok());
    for (std::uint64_t t = 0; t < kTicks; ++t) (void)single.value()->tick(input_at(t)).value();
    const RecordedTraces expected = *single.value()->recorder().take();
    ASSERT_EQ(expected.ts.size(), 14u);

    auto cores = split_network(2, 1);
    std::vector<std::optional<RecordedTraces>> got(2);
    std::vector<std::string> disagreement(2);
    on_every_rank(cores, [&](std::uint64_t rank, InstanceCore& core) {
        EXPECT_TRUE(core.record(request).ok());
        for (std::uint64_t t = 0; t < kTicks; ++t) (void)core.tick(input_at(t)).value();
        got[rank] = core.recorder().take();
        // A request that differs on one core is refused by both, changing nothing.
        RecordingRequest differing = request;
        if (rank == 1) differing.every = 2;
        Result<std::optional<RecordedTraces>> refused = core.record(differing);
        disagreement[rank] = refused.ok() ? "accepted" : refused.error();
        EXPECT_TRUE(core.recorder().samples(kTicks + 2));
    });
    for (const std::optional<RecordedTraces>& traces : got) {
        ASSERT_TRUE(traces.has_value());
        EXPECT_EQ(traces->ts, expected.ts);
        EXPECT_EQ(traces->nids, expected.nids);
        EXPECT_EQ(traces->values, expected.values);
    }
    const std::string text =
        "ranks disagree on the recording request (rank 0 and rank 1): every rank must make the "
        "same calls with the same arguments";
    EXPECT_EQ(disagreement, (std::vector<std::string>{text, text}));
}

TEST(TickExchange, SplitCoresRecordSynapseWeightsAsOneCoreAndAgreeOnTheRequest) {
    constexpr std::uint64_t kTicks = 40;
    InstanceCoreOptions single_options;
    single_options.check_cpu_count = false;
    auto created = create_instance_core(full_network(3), single_options);
    ASSERT_TRUE(created.ok());
    InstanceCore& single = *created.value();
    const auto n = static_cast<std::int64_t>(read_synapses(single, {}).value().weights.size());
    // Synapses of every core, in no order, the first and the last included.
    const std::vector<std::int64_t> indices = {n - 1, 0, 17, n / 2, n / 3, 5, n - 2};
    ASSERT_TRUE(record_synapses(single, indices, 3).ok());
    for (std::uint64_t t = 0; t < kTicks; ++t) (void)single.tick(input_at(t)).value();
    const RecordedWeights expected = *single.synapse_recorder().take();
    ASSERT_EQ(expected.ts.size(), 14u);
    // Learning moved the recorded weights between the first and last sample.
    EXPECT_FALSE(std::equal(expected.weights.begin(), expected.weights.begin() + 7,
                            expected.weights.end() - 7));

    auto cores = split_network(3, 1);
    std::vector<std::optional<RecordedWeights>> got(3);
    std::vector<std::string> refusals(3);
    on_every_rank(cores, [&](std::uint64_t rank, InstanceCore& core) {
        EXPECT_TRUE(record_all_synapses(core, indices, 3).ok());
        for (std::uint64_t t = 0; t < kTicks; ++t) (void)core.tick(input_at(t)).value();
        got[rank] = core.synapse_recorder().take();
        // A request that differs on one core is refused by all, and a bad one
        // alike everywhere; each leaves the recording as it was.
        const std::int64_t every = rank == 2 ? 2 : 3;
        refusals[rank] = record_all_synapses(core, indices, every).error() + " / " +
                         record_all_synapses(core, std::vector<std::int64_t>{4, n}, 1).error();
        EXPECT_TRUE(core.synapse_recorder().samples(kTicks + 2));
    });
    for (const std::optional<RecordedWeights>& weights : got) {
        ASSERT_TRUE(weights.has_value());
        EXPECT_EQ(weights->ts, expected.ts);
        EXPECT_EQ(weights->indices, expected.indices);
        EXPECT_EQ(weights->weights, expected.weights);
    }
    const std::string text =
        "ranks disagree on the synapse recording request (rank 0 and rank 2): every rank must "
        "make the same calls with the same arguments / indices[1] = " +
        std::to_string(n) + " is out of range: the network has " + std::to_string(n) + " synapses";
    EXPECT_EQ(refusals, std::vector<std::string>(3, text));
}

TEST(TickExchange, SplitCoresReadTheSynapsesOfOneCoreInItsOrder) {
    InstanceCoreOptions single_options;
    single_options.check_cpu_count = false;
    auto single = create_instance_core(full_network(3), single_options);
    ASSERT_TRUE(single.ok());
    for (std::uint64_t t = 0; t < 60; ++t) (void)single.value()->tick(input_at(t)).value();
    auto cores = split_network(3, 1);
    for (const SynapseFilter filter :
         {SynapseFilter{}, SynapseFilter{1, std::nullopt}, SynapseFilter{std::nullopt, 1}}) {
        const SynapseTable want = read_synapses(*single.value(), filter).value();
        ASSERT_GT(want.weights.size(), 100u);
        std::vector<std::optional<SynapseTable>> got(3);
        on_every_rank(cores, [&](std::uint64_t rank, InstanceCore& core) {
            if (core.t() == 0) {
                for (std::uint64_t t = 0; t < 60; ++t) (void)core.tick(input_at(t)).value();
            }
            got[rank] = read_all_synapses(core, filter).value();
        });
        for (const std::optional<SynapseTable>& table : got) {
            EXPECT_TRUE(std::equal(table->pre_syn_nids.begin(), table->pre_syn_nids.end(),
                                   want.pre_syn_nids.begin(), want.pre_syn_nids.end()));
            EXPECT_TRUE(std::equal(table->post_syn_nids.begin(), table->post_syn_nids.end(),
                                   want.post_syn_nids.begin(), want.post_syn_nids.end()));
            EXPECT_TRUE(std::equal(table->weights.begin(), table->weights.end(),
                                   want.weights.begin(), want.weights.end()));
            EXPECT_TRUE(std::equal(table->conduction_delays.begin(), table->conduction_delays.end(),
                                   want.conduction_delays.begin(), want.conduction_delays.end()));
        }
    }
    // The same bad layer everywhere is the same error everywhere, with no exchange.
    on_every_rank(cores, [&](std::uint64_t, InstanceCore& core) {
        EXPECT_EQ(read_all_synapses(core, SynapseFilter{5, std::nullopt}).error(),
                  "from_layer 5 is out of range: the network has 3 layers");
    });
}

TEST(TickExchange, SplitCoresWriteWeightsAsOneCoreAndRefuseAlike) {
    InstanceCoreOptions single_options;
    single_options.check_cpu_count = false;
    auto created = create_instance_core(full_network(3), single_options);
    ASSERT_TRUE(created.ok());
    InstanceCore& single = *created.value();
    const SynapseTable before = read_synapses(single, {}).value();
    std::vector<float> halved(before.weights.begin(), before.weights.end());
    for (float& w : halved) w *= 0.5f;
    std::vector<float> faulty = halved;
    faulty.back() = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::int64_t> indices = {5, 0, static_cast<std::int64_t>(halved.size()) - 1};
    const std::vector<float> picked = {0.25f, 0.125f, 0.375f};
    const std::vector<float> picked_faulty = {0.25f, 0.125f, 9.0f};

    const std::string want_fault = write_weights(single, {}, faulty).error();
    const std::string want_fault_at = write_weights_at(single, indices, picked_faulty).error();
    ASSERT_TRUE(write_weights(single, {}, halved).ok());
    ASSERT_TRUE(write_weights_at(single, indices, picked).ok());
    const SynapseTable want = read_synapses(single, {}).value();

    auto cores = split_network(3, 1);
    std::vector<std::string> faults(3);
    std::vector<std::string> faults_at(3);
    std::vector<std::optional<SynapseTable>> got(3);
    on_every_rank(cores, [&](std::uint64_t rank, InstanceCore& core) {
        faults[rank] = write_all_weights(core, {}, faulty).error();
        faults_at[rank] = write_all_weights_at(core, indices, picked_faulty).error();
        EXPECT_TRUE(write_all_weights(core, {}, halved).ok());
        EXPECT_TRUE(write_all_weights_at(core, indices, picked).ok());
        got[rank] = read_all_synapses(core, {}).value();
    });
    EXPECT_EQ(faults, std::vector<std::string>(3, want_fault));
    EXPECT_EQ(faults_at, std::vector<std::string>(3, want_fault_at));
    for (const std::optional<SynapseTable>& table : got) {
        EXPECT_TRUE(std::equal(table->weights.begin(), table->weights.end(), want.weights.begin(),
                               want.weights.end()));
    }
}

}  // namespace
}  // namespace synaptor
