"""The toolkit's reader of a snapshot's scalar fields, against states the
engine wrote."""
import re

import pytest

import sorvane
from snapshots import Snapshot
from sorvane_cli.log.snapshot import CHECKSUM, state_fields, state_fields_offset


def test_reads_the_fields_create_and_decide_set():
    state = sorvane.create(3, 7.5, default_reward=-1.0, epsilon=0.25, forgetfulness=0.5)
    sorvane.decide(state, {"u": "v"}, [("x", {})], 0.0, "s")
    assert state_fields(sorvane.serialize(state)) == {
        "dim": 8, "forgetfulness": 0.5, "decision_count": 1, "model_version": 0,
        "horizon": 7.5, "default_reward": -1.0, "epsilon": 0.25, "pending": 1,
    }


def test_a_new_bits_1_state_is_the_fixed_fields_and_two_coordinates():
    text = sorvane.serialize(sorvane.create(1, 1.0))
    assert len(text) == 2 * 136
    assert state_fields_offset(2) + 48 + CHECKSUM.size == 136


@pytest.mark.parametrize(
    "snapshot, message",
    [
        (Snapshot(magic=b"sorvanE\x00"), "not a sorvane state (bad magic)"),
        (Snapshot(version=2), "unsupported state format version 2"),
    ],
)
def test_refuses_a_layout_it_does_not_know(snapshot, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        state_fields(snapshot.text())
