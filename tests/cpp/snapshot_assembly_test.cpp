#include "instance/snapshot_assembly.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace synaptor {
namespace {

SnapshotSegment segment(std::uint64_t first_nid, std::vector<float> voltages,
                        std::vector<SynapseState> synapses) {
    SnapshotSegment s;
    s.first_nid = first_nid;
    s.membrane_voltages = std::move(voltages);
    s.synapse_states = std::move(synapses);
    return s;
}

TEST(AssembleSnapshot, PutsSegmentsInNidOrderWhateverTheirArrival) {
    const SnapshotSegment a = segment(0, {0.5f, 1.5f}, {{7, 0, 0.25f, 3}});
    const SnapshotSegment b = segment(2, {2.5f}, {{0, 2, 0.75f, 1}, {1, 2, -0.5f, 2}});
    const SnapshotSegment c = segment(3, {3.5f, 4.5f, 5.5f}, {});
    std::vector<const SnapshotSegment*> segments{&c, &a, &b};
    const StateSnapshot snapshot = assemble_snapshot(segments);

    EXPECT_EQ(snapshot.membrane_voltages, (std::vector<float>{0.5f, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f}));
    EXPECT_EQ(snapshot.pre_syn_nids, (std::vector<std::uint64_t>{7, 0, 1}));
    EXPECT_EQ(snapshot.post_syn_nids, (std::vector<std::uint64_t>{0, 2, 2}));
    EXPECT_EQ(snapshot.conduction_delays, (std::vector<std::uint8_t>{3, 1, 2}));
    EXPECT_EQ(snapshot.weights, (std::vector<float>{0.25f, 0.75f, -0.5f}));
    EXPECT_TRUE(segments.empty());
}

// A layer with no neurons in a partition's run gives an empty segment at the
// same first nid as the next layer's; arrival order decides between them, so
// the sort must be stable to keep the synapses in the partitions' order.
TEST(AssembleSnapshot, KeepsTheArrivalOrderOfSegmentsAtOneNid) {
    const SnapshotSegment empty_layer = segment(4, {}, {{1, 4, 1.0f, 1}});
    const SnapshotSegment layer = segment(4, {9.0f}, {{2, 4, 2.0f, 1}});
    const SnapshotSegment before = segment(0, {1.0f, 2.0f, 3.0f, 4.0f}, {});
    for (int order = 0; order < 2; ++order) {
        std::vector<const SnapshotSegment*> segments =
            order == 0 ? std::vector<const SnapshotSegment*>{&empty_layer, &before, &layer}
                       : std::vector<const SnapshotSegment*>{&layer, &before, &empty_layer};
        const StateSnapshot snapshot = assemble_snapshot(segments);
        EXPECT_EQ(snapshot.membrane_voltages, (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 9.0f}));
        EXPECT_EQ(snapshot.pre_syn_nids, order == 0 ? (std::vector<std::uint64_t>{1, 2})
                                                    : (std::vector<std::uint64_t>{2, 1}));
    }
}

TEST(AssembleSnapshot, OfNoSegmentsIsEmpty) {
    std::vector<const SnapshotSegment*> segments;
    const StateSnapshot snapshot = assemble_snapshot(segments);
    EXPECT_TRUE(snapshot.membrane_voltages.empty());
    EXPECT_TRUE(snapshot.weights.empty());
}

}  // namespace
}  // namespace synaptor
