"""A stimulus checked against its network before it is scheduled.

`Instance.apply_stimulus` checks nothing: an id out of range fails the tick
that delivers it, many ticks later, a tick list longer than its id list loses
its last entries, and a tick below the one before it never comes, so that its
spike and every later one of its list are never delivered.
"""

from __future__ import annotations

from typing import Any, List, Sequence

from .document import layout

# (tick list, id list, what an id names) of each part of a stimulus.
_PARTS = (
    ("in_channel_spikes_ts", "in_channel_spikes_ids", "input channel"),
    ("force_out_channel_spikes_ts", "force_out_channel_spikes_ids", "output channel"),
    ("force_neuron_spikes_ts", "force_neuron_spikes_ids", "neuron"),
)


def _first_bad_id(ids: Sequence[int], limit: int) -> int:
    for i, value in enumerate(ids):
        if value >= limit:
            return i
    return -1


def _first_decrease(ts: Sequence[int]) -> int:
    for i in range(1, len(ts)):
        if ts[i] < ts[i - 1]:
            return i
    return -1


def check_stimulus(stimulus: Any, network: Any) -> List[str]:
    """What is wrong with `stimulus` for `network` (an instance, a
    `NetworkLayout` or a document): one line per fault, each naming the first
    offending position of its list; an empty list when it is sound."""
    net = network if hasattr(network, "num_in_channels") else layout(network)
    limits = {"input channel": net.num_in_channels, "output channel": net.num_out_channels,
              "neuron": net.num_neurons}
    problems = []
    for ts_name, ids_name, noun in _PARTS:
        # Each attribute of a Stimulus is a new list on every read: read once.
        ts, ids = list(getattr(stimulus, ts_name)), list(getattr(stimulus, ids_name))
        if len(ts) != len(ids):
            problems.append(f"{ts_name} has {len(ts)} entries but {ids_name} has {len(ids)}: "
                            "the entries beyond the shorter list would be dropped")
        limit = limits[noun]
        bad = _first_bad_id(ids, limit)
        if bad >= 0:
            have = f"{limit} {noun}s (0..{limit - 1})" if limit else f"no {noun}s"
            problems.append(f"{ids_name}[{bad}] is {ids[bad]}: the network has {have}")
        down = _first_decrease(ts)
        if down >= 0:
            problems.append(f"{ts_name}[{down}] is {ts[down]}, below {ts_name}[{down - 1}] = "
                            f"{ts[down - 1]}: ticks must not decrease, or this spike and every "
                            "later one of the list would never be delivered")
    return problems


def apply_checked(instance: Any, stimulus: Any) -> None:
    """`instance.apply_stimulus(stimulus)` once `check_stimulus` finds
    nothing wrong; else ValueError listing every fault, nothing scheduled."""
    problems = check_stimulus(stimulus, instance)
    if problems:
        raise ValueError("stimulus refused: " + "; ".join(problems))
    instance.apply_stimulus(stimulus)
