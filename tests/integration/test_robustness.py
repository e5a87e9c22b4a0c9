"""Mutated captures (the fuzzer's small form): in every mode, without a
tree, with one and in two passes, TShark exits 0, reports no dissector bug
and lists every frame."""

import fuzz


def test_mutated_captures_in_every_mode_and_pass(tshark):
    stats, details = fuzz.campaign(tshark, frames_per_mode=3000, chunk=1500, seed=7)
    assert details == []
    assert all(s["frames"] == 3000 and s["runs"] == 6 for s in stats.values())
