"""State files under MPI: a file written by any layout (one process, or R
ranks x W threads) has the bytes one process writes, restores into any other
layout, and the run goes on bit for bit as if never stopped; a bad file, or a
file one rank cannot read, raises the same error on every rank and changes
nothing."""

import errno
import os
import tempfile

import pytest

import synaptor
import synaptor_mpi
from conftest import KINDS, collective, network

END = 220


def drive(inst, until):
    inst.non_coherent_stimulation_rate = 0.05
    inst.reward_rate = 1.0
    return inst.tick_until(until)


def spikes(batch):
    return batch.neuron_spikes_ts, batch.neuron_spikes_ids


@pytest.fixture
def shared_dir(comm):
    path = tempfile.mkdtemp(prefix="synaptor-mpi-state-") if comm.rank == 0 else None
    path = comm.bcast(path, root=0)
    yield path
    comm.Barrier()
    if comm.rank == 0:
        for name in os.listdir(path):
            os.unlink(os.path.join(path, name))
        os.rmdir(path)


ONE_PROCESS = "one process"


def layouts(comm):
    """(name, communicator, threads): the communicator is ONE_PROCESS for a
    single process on every rank, and None on ranks outside the layout."""
    out = [("one process x 2", ONE_PROCESS, 2)]
    for size in range(1, comm.size + 1):
        sub = comm.Split(0 if comm.rank < size else 1, comm.rank)
        out.append((f"{size}x1", sub if comm.rank < size else None, 1))
    if comm.size <= 2:
        # (Three ranks of two threads would crowd this machine's two CPUs.)
        out.append((f"{comm.size}x2", comm, 2))
    return out


def create(kind, layout):
    _, sub, threads = layout
    if sub is ONE_PROCESS:
        return synaptor.create_from_json(network(kind, threads), 6)
    if sub is None:
        return None
    return synaptor_mpi.create_from_json(network(kind, threads), 6, sub)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("kind", KINDS)
# Early, some synapses of a group have short-term state and others not yet.
@pytest.mark.parametrize("save_at", [10, 120])
def test_every_layout_writes_one_processes_file_and_restores_every_others(
        comm, shared_dir, kind, save_at):
    def body():
        ref = synaptor.create_from_json(network(kind, 1), 6)
        drive(ref, save_at)
        mine = os.path.join(shared_dir, f"reference-{comm.rank}.state")
        ref.save_state(mine)
        want = spikes(drive(ref, END))
        assert len(want[0]) > 100
        with open(mine, "rb") as f:
            reference = f.read()

        all_layouts = layouts(comm)
        files = []
        for i, layout in enumerate(all_layouts):
            inst = create(kind, layout)
            path = os.path.join(shared_dir, f"{kind}-{i}.state")
            if layout[1] is ONE_PROCESS:
                # Every rank runs its own single process: each writes a file.
                path += f".{comm.rank}"
            if inst is not None:
                drive(inst, save_at)
                inst.save_state(path)
                inst.close()
            comm.Barrier()
            files.append(path)
            with open(files[-1], "rb") as f:
                assert f.read() == reference, f"{layout[0]} wrote other bytes"

        for source, path in zip(all_layouts, files):
            for layout in all_layouts:
                inst = create(kind, layout)
                if inst is None:
                    continue
                inst.restore_state(path)
                assert inst.get_t() == save_at
                got = spikes(drive(inst, END))
                assert got == want, f"{source[0]} -> {layout[0]}"
                inst.close()
            comm.Barrier()

    collective(comm, body)


def raised(call):
    try:
        call()
    except Exception as failure:  # noqa: BLE001 - the test compares what each rank raised
        # An OSError's filename is the rank's own argument; its text is shared.
        text = failure.strerror if isinstance(failure, OSError) else str(failure)
        return type(failure).__name__, getattr(failure, "errno", None), text
    return None


def test_bad_files_raise_alike_on_every_rank_and_change_nothing(comm, shared_dir):
    def body():
        inst = synaptor_mpi.create_from_json(network("dopamine", 1), 6, comm)
        ref = synaptor.create_from_json(network("dopamine", 1), 6)
        drive(inst, 80)
        drive(ref, 80)
        good = os.path.join(shared_dir, "good.state")
        inst.save_state(good)
        comm.Barrier()
        with open(good, "rb") as f:
            data = bytearray(f.read())
        damaged = os.path.join(shared_dir, "damaged.state")
        truncated = os.path.join(shared_dir, "truncated.state")
        other = os.path.join(shared_dir, "other.state")
        if comm.rank == 0:
            flipped = bytearray(data)
            flipped[len(flipped) // 2] ^= 0x10
            with open(damaged, "wb") as f:
                f.write(flipped)
            with open(truncated, "wb") as f:
                f.write(data[: len(data) - 9])
            stranger = synaptor.create_from_json(network("depression", 1), 6)
            stranger.save_state(other)
        comm.Barrier()

        cases = {
            "damaged": (damaged, "ValueError", "checksum mismatch"),
            "truncated": (truncated, "ValueError", "is truncated"),
            "other network": (other, "ValueError", "different network"),
            "missing": (os.path.join(shared_dir, "none.state"), "FileNotFoundError", "cannot open"),
        }
        if comm.size > 1:
            # Only the last rank is given a file it cannot open: every rank
            # raises its error instead of waiting for it.
            lone = good if comm.rank < comm.size - 1 else os.path.join(shared_dir, "lone.state")
            cases["missing on one rank"] = (lone, "FileNotFoundError", "lone.state")
        for name, (path, kind, text) in cases.items():
            got = raised(lambda: inst.restore_state(path))
            assert got is not None and got[0] == kind and text in got[2], (name, got)
            assert comm.allgather(got) == [got] * comm.size, name
        if comm.size > 1:
            assert raised(lambda: inst.restore_state(cases["missing on one rank"][0]))[1] == errno.ENOENT

        # A save into a directory that does not exist fails on every rank.
        got = raised(lambda: inst.save_state(os.path.join(shared_dir, "no", "such.state")))
        assert got is not None and got[0] == "FileNotFoundError", got
        assert comm.allgather(got) == [got] * comm.size

        # Nothing changed: the run goes on as one process's that never tried.
        assert spikes(drive(inst, 200)) == spikes(drive(ref, 200))
        assert not [n for n in os.listdir(shared_dir) if ".tmp-" in n]
        inst.close()

    collective(comm, body)
