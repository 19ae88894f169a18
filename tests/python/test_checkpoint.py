"""save_state / restore_state: continuing from a file equals never stopping."""

import os
import pathlib
import struct

import pytest

import synaptor
from conftest import rich_document, tick_empty

SAVE_T = 300
END_T = 600


def make(num_threads, seed=5):
    inst = synaptor.create_from_json(rich_document(num_threads), seed)
    inst.non_coherent_stimulation_rate = 0.02
    inst.reward_rate = 0.5
    return inst


def drive(inst, t_end):
    """Batches, a stimulus that reaches past the save tick, and single ticks
    with reward; returns everything observable, floats as bits."""
    seen = []
    while inst.get_t() < t_end:
        t = inst.get_t()
        if t == 250:
            stimulus = synaptor.Stimulus()
            stimulus.in_channel_spikes_ts = [10, 80, 120]
            stimulus.in_channel_spikes_ids = [1, 2, 3]
            stimulus.force_neuron_spikes_ts = [60, 200]
            stimulus.force_neuron_spikes_ids = [50, 100]
            inst.apply_stimulus(stimulus)
        if t % 100 == 99:
            r = inst.tick([t % 40], [], [], 1.0, True)
            snap = r.state_snapshot
            synapses = sorted(
                zip(snap.pre_syn_nids, snap.post_syn_nids, (struct.pack("<f", w) for w in snap.weights))
            )
            voltages = struct.pack(f"<{len(snap.membrane_voltages)}f", *snap.membrane_voltages)
            seen.append((t, r.spiking_nids, r.spiking_out_channel_ids, r.synaptic_transmission_count))
            seen.append((voltages, synapses))
        else:
            b = inst.tick_until(min(t_end, (t // 100 + 1) * 100 - 1))
            seen.append(
                (b.neuron_spikes_ts, b.neuron_spikes_ids, b.out_channel_spikes_ids, b.synaptic_transmission_count)
            )
    return seen


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    path = tmp_path_factory.mktemp("state") / "run.state"
    inst = make(2)
    drive(inst, SAVE_T)
    inst.save_state(path)
    return path, drive(inst, END_T)


@pytest.mark.parametrize("num_threads", [1, 2])
def test_restore_continues_bit_for_bit(saved, num_threads):
    path, expected = saved
    inst = make(num_threads, seed=77)  # another stimulus seed: the file's generator wins
    inst.non_coherent_stimulation_rate = 0.0
    inst.reward_rate = -1.0
    tick_empty(inst)
    inst.restore_state(str(path))
    assert inst.get_t() == SAVE_T
    assert inst.non_coherent_stimulation_rate == 0.02
    assert inst.reward_rate == 0.5
    after = drive(inst, END_T)
    assert after == expected
    spikes = sum(len(entry[1]) for entry in expected if len(entry) == 4 and isinstance(entry[1], list))
    assert spikes > 0


def test_state_file_is_the_same_for_any_thread_count(saved, tmp_path):
    path, _ = saved
    inst = make(1)
    inst.restore_state(pathlib.Path(path))
    again = tmp_path / "again.state"
    inst.save_state(again)
    assert again.read_bytes() == pathlib.Path(path).read_bytes()
    assert again.read_bytes()[:8] == b"SYNSTATE"


def test_bad_files_are_refused_and_change_nothing(saved, tmp_path):
    path, expected = saved
    good = pathlib.Path(path).read_bytes()
    other = synaptor.create_from_json(rich_document(1, sizes=(40, 60, 21)), 5)
    other_path = tmp_path / "other.state"
    other.save_state(os.fspath(other_path))

    inst = make(2)
    inst.restore_state(path)
    flipped = bytearray(good)
    flipped[len(good) // 2] ^= 1
    newer = bytearray(good)
    newer[8] = 9
    cases = {
        "empty": (b"", ValueError, "not a state file"),
        "yaml": (b"layers: []\n", ValueError, "not a state file"),
        "truncated": (good[:-7], ValueError, "truncated"),
        "corrupted": (bytes(flipped), ValueError, "checksum"),
        "newer": (bytes(newer), ValueError, "newer"),
        "other network": (other_path.read_bytes(), ValueError, "different network"),
    }
    for name, (content, error, text) in cases.items():
        bad = tmp_path / name
        bad.write_bytes(content)
        with pytest.raises(error, match=text):
            inst.restore_state(bad)
    with pytest.raises(FileNotFoundError):
        inst.restore_state(tmp_path / "missing.state")
    with pytest.raises(IsADirectoryError):
        inst.restore_state(tmp_path)
    with pytest.raises(OSError):
        inst.save_state(tmp_path / "missing-dir" / "x.state")
    with pytest.raises(TypeError, match="path"):
        inst.save_state(12)
    assert inst.get_t() == SAVE_T
    assert drive(inst, END_T) == expected
