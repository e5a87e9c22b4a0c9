"""What the integration tests share beyond fixtures."""


def times_by_view(tshark, capture, mode):
    """Each frame's time, by frame number, as each view shows it: the Time
    column without a tree and with one, frame.time_epoch after two passes,
    and both with frame 1 filtered out of the display."""
    views = {"no tree": {r["number"]: r["time"] for r in tshark.packet_list(capture, mode)}}
    for name, args in [("tree", []), ("two-pass", ["-2"]),
                       ("filtered", ["-Y", "frame.number > 1"]),
                       ("two-pass filtered", ["-2", "-Y", "frame.number > 1"])]:
        field = "frame.time_epoch" if "-2" in args else "_ws.col.Time"
        rows = tshark.fields(capture, ["frame.number", field], mode, ["-t", "e"] + args)
        views[name] = {int(number): time for number, time in rows}
    return views


def assert_times_in_every_view(tshark, capture, mode, expected):
    """expected: the time of every frame, frame 1 first."""
    for view, times in times_by_view(tshark, capture, mode).items():
        first = 2 if "filtered" in view else 1
        assert times == {n: t for n, t in enumerate(expected, 1) if n >= first}, view
