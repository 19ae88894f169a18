"""What a typed program writes against synaptor, checked by mypy --strict and run.

test_typing.py runs mypy on this file with --warn-unused-ignores: each line
marked `# type: ignore[...]` must be an error for mypy, or the ignore is
reported as unused. So the file passes only if what works at runtime passes
the type checker and what fails at runtime does not.
"""

from __future__ import annotations

import numpy as np

import synaptor
import synaptor_tools
from synaptor_tools import BatchTickResult, Instance, PanicException, RunResult, TickResult

DOC = """{"layers": [{"num_neurons": 4, "neuron_params": {"tau_membrane": 10.0,
  "refractory_period": 2, "reset_voltage": 0.0, "t_cutoff_coincidence": 20,
  "adaptation_threshold": 1.0, "tau_threshold": 50.0, "voltage_floor": 0.0}}],
  "layer_connections": [], "technical_params": {"num_threads": 1, "pin_threads": false}}"""


def first_tick(instance: Instance) -> TickResult:
    # Ids from NumPy arrays, as the module takes them.
    nids = np.array([1, 2], dtype=np.uint64)
    return instance.tick(np.arange(1), [], nids, 0.0, False)


def spikes(result: RunResult | BatchTickResult) -> list[int]:
    return list(result.neuron_spikes_ids)


def main() -> None:
    instance = synaptor.create_from_json(DOC, 0)
    assert isinstance(instance, Instance)
    assert first_tick(instance).spiking_nids == [0, 1, 2]
    stimulus = synaptor.Stimulus()
    stimulus.force_neuron_spikes_ts = np.array([0, 1])
    stimulus.force_neuron_spikes_ids = range(2)
    ts: list[int] = stimulus.force_neuron_spikes_ts
    instance.apply_stimulus(stimulus)
    # run collects by default and then returns a RunResult, not an Optional.
    result = synaptor_tools.run(instance, 10, progress=False)
    assert result.t_end == 10 and ts == [0, 1] and spikes(result)
    assert synaptor_tools.run(instance, 20, progress=False, collect=False) is None
    try:
        instance.tick([], [], [], 0.0, False)
    except PanicException as failure:
        raise AssertionError(failure.args[0]) from None
    recording = instance.record(np.array([0, 3]), "voltage")
    assert recording is None and isinstance(synaptor_tools.classes.Instance, type)


def refused_by_the_type_checker(instance: Instance) -> None:
    """Never called: each line fails at runtime, and mypy says so."""
    synaptor.Instance  # type: ignore[attr-defined]
    synaptor.PanicException  # type: ignore[attr-defined]
    instance.tick("01", [], [], 0.0, False)  # type: ignore[arg-type]
    not_collected = synaptor_tools.run(instance, 10, collect=False)
    not_collected.t_end  # type: ignore[attr-defined]
    synaptor.Stimulus(1)  # type: ignore[call-arg]


if __name__ == "__main__":
    main()
    print("ok")
