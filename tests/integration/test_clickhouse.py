"""docs/clickhouse.md, run as written: two real ClickHouse servers (Debian's
package) as the two shards of its Distributed table, two days of a device's
two ports exported by valtocrane-latency and loaded one day a shard by the
page's own commands, and the page's queries checked against the tool's
report of both days read as one capture."""

import csv
import os
import random
import re
import shutil
import subprocess
import tempfile
import time
from decimal import Decimal
from pathlib import Path

import pytest

from vctools import captures as c
from vctools import clickhouse
from test_latency import latency  # noqa: F401

USABLE, WHY = clickhouse.availability()
if USABLE is None:
    pytest.skip(WHY, allow_module_level=True)

A, B = "interface 0 (dev0), Port A", "interface 0 (dev0), Port B"
PORTS = {"A": 0, "B": 1}
DAY_S, HOUR_NS = 86400, 3600 * 10**9
# Two days before today (UTC), so that "the last 30 days" holds them.
FIRST_DAY = int(time.time()) // DAY_S * DAY_S - 2 * DAY_S
BURSTS = {1: (9, 10), 2: (14, 23)}  # hours of traffic, by day (UTC)
REQUESTS = 600                     # a burst's datagrams from port A, one each 20 us
PAGE = clickhouse.Page()
SQL = PAGE.sql


def traffic(day, rng):
    """A day's frames, (device ns, port, frame) in device-time order, and
    what they make: (from, to, flow label, hour's ns, latency or None)."""
    frames, outcomes = [], []
    for hour in BURSTS[day]:
        start = (FIRST_DAY + (day - 1) * DAY_S) * 10**9 + hour * HOUR_NS
        for i in range(REQUESTS):
            t = start + i * 20000
            dst_port = 7001 if i % 4 == 0 else 7000
            request = c.ipv4_udp_frame(b"request %d %d %d" % (day, hour, i), ident=i,
                                       src_port=49152, dst_port=dst_port)
            # A long tail: one in fifty 50 to 150 us; one in 37 lost.
            latency_ns = 2000 + int(rng.expovariate(1 / 600))
            if rng.random() < 0.02:
                latency_ns += rng.randrange(50000, 150000)
            lost = i % 37 == 36
            frames += [(t, "A", request)] + ([] if lost else [(t + latency_ns, "B", request)])
            outcomes.append((A, B, "UDP 192.0.2.1:49152 -> 192.0.2.2:%d" % dst_port, hour,
                             None if lost else latency_ns))
            if i % 40 == 0:
                # A frame that is not IP (its flow's columns empty), copied 1 us later.
                other = (b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x01\x08\x06" +
                         bytes([day, hour, i % 256, i // 256]) + bytes(24))
                frames += [(t + 7000, "A", other), (t + 8000, "B", other)]
                outcomes.append((A, B, "not IP", hour, 1000))
            if i % 5 == 0:
                # A reply, from port B back to port A; one in eleven lost.
                reply = c.ipv4_udp_frame(b"reply %d %d %d" % (day, hour, i), ident=i,
                                         src_port=dst_port, dst_port=49152, reply=True)
                sent, back = t + latency_ns + 5000, 1500 + rng.randrange(800)
                lost = i // 5 % 11 == 10
                frames += [(sent, "B", reply)] + ([] if lost else [(sent + back, "A", reply)])
                outcomes.append((B, A, "UDP 192.0.2.2:%d -> 192.0.2.1:49152" % dst_port, hour,
                                 None if lost else back))
    frames.sort(key=lambda f: f[0])
    return frames, outcomes


def write_day(path, frames):
    blocks = [c.pcapng_section(), c.pcapng_interface(name="dev0")]
    for ns, port, frame in frames:
        secs, nsecs = divmod(ns, 10**9)
        header = c.with_header(frame, secs, c.header_fraction(nsecs), port=PORTS[port])
        blocks.append(c.pcapng_packet(0, (secs, nsecs), header))
    return c.write_pcapng(path, blocks)


@pytest.fixture(scope="module")
def servers():
    """The page's two shards; stopped and their folder removed whatever
    happens. Their time zone is not UTC, to show that days and hours come
    out in UTC all the same."""
    if not USABLE:
        pytest.fail(WHY)
    folder = Path(tempfile.mkdtemp(prefix="valtocrane-clickhouse-"))
    try:
        with clickhouse.cluster(folder, PAGE, timezone="Asia/Kolkata") as started:
            yield started
    finally:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def loaded(servers, latency, tmp_path_factory):  # noqa: F811
    """Both days loaded by the page's commands; the tool's report of both
    read as one capture, and what the frames make."""
    folder = tmp_path_factory.mktemp("days")
    rng = random.Random(20261208)
    outcomes = []
    for day in (1, 2):
        frames, made = traffic(day, rng)
        write_day(folder / ("day%d.pcapng" % day), frames)
        outcomes.append(made)
    script = PAGE.load
    for shard, server in enumerate(servers, 1):
        script = script.replace("--host capture-db-%d" % shard,
                                "--host 127.0.0.1 --port %d" % server.tcp_port)
    tool = os.environ["VALTOCRANE_LATENCY"]
    env = dict(os.environ, PATH="%s:%s" % (Path(tool).parent, os.environ["PATH"]))
    proc = subprocess.run(["bash", "-euc", script], cwd=folder, env=env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    assert proc.returncode == 0, proc.stderr
    report = latency("-f", "valtocrane-pcapng", "--by", "flow", "--interval", "3600",
                     "--series", "series.csv", "day1.pcapng,day2.pcapng", cwd=folder)
    assert report.returncode == 0, report.stderr
    series = list(csv.DictReader((folder / "series.csv").open()))
    return outcomes, report.stdout, series


def in_ns(text, unit):
    return int(Decimal(text) * {"ns": 1, "us": 10**3, "ms": 10**6, "s": 10**9}[unit])


def tool_directions(report):
    """(from, to): figures, from the report's direction sections."""
    out = {}
    for m in re.finditer(r"^(.+) -> (.+): (\d+) cop(?:y|ies), (\d+) lost\n((?:  \S+ +\S+ \w+\n)*)",
                         report, re.M):
        figures = {"copies": int(m[3]), "lost": int(m[4])}
        for name, value, unit in re.findall(r"  (\S+) +(\S+) (\w+)", m[5]):
            figures[name.replace(".", "_") + "_ns"] = in_ns(value, unit)
        out[(m[1], m[2])] = figures
    return out


def tool_flows(report):
    """(flow, direction): figures, from the table by flow."""
    table = report.split("By flow, the worst p99 first")[1].split("\n\n")[0].splitlines()[1:]
    unit = re.search(r"p50 \((\w+)\)", table[0])[1]
    out = {}
    for line in table[1:]:
        flow, direction, copies, lost, p50, p99, high = re.split(r"  +", line.strip())
        out[(flow, direction)] = {"copies": int(copies), "lost": int(lost),
                                  "p50_ns": in_ns(p50, unit), "p99_ns": in_ns(p99, unit),
                                  "max_ns": in_ns(high, unit)}
    return out


def tool_intervals(series):
    """(interval start ns, from, to): figures, from the time series."""
    return {(row["interval_start_ns"], row["from"], row["to"]):
            {name: int(row[name]) for name in ("copies", "lost", "min_ns", "p50_ns", "p99_ns",
                                               "max_ns")}
            for row in series}


def flow_label(row):
    if row["protocol"] == "0":
        return "not IP"
    return "%s %s:%s -> %s:%s" % ({"17": "UDP", "6": "TCP"}[row["protocol"]], row["src"],
                                  row["src_port"], row["dst"], row["dst_port"])


# title: the key of a row as the tool names it, the tool's figures
GROUPINGS = {
    "By direction": (lambda r: (r["from_point"], r["to_point"]),
                     lambda report, series: tool_directions(report)),
    "By flow, the worst p99 first": (
        lambda r: (flow_label(r), "%s -> %s" % (r["from_point"], r["to_point"])),
        lambda report, series: tool_flows(report)),
    "By hour": (lambda r: (r["interval_start_ns"], r["from_point"], r["to_point"]),
                lambda report, series: tool_intervals(series)),
}
LEVELS = {"p50_ns": 0.5, "p90_ns": 0.9, "p99_ns": 0.99, "p99_9_ns": 0.999}


def as_reported(ns, low, high):
    """A nearest-rank value as the tool reports it: the middle of its
    histogram bucket (0 to 63 ns exact, then 64 buckets a power of two),
    within min and max."""
    m = abs(ns)
    if m >= 64:
        shift = m.bit_length() - 7
        m = (m >> shift << shift) + ((1 << shift) - 1) // 2
    return min(max(m if ns >= 0 else -m, low), high)


@pytest.mark.parametrize("variant", ["nearest rank", "quantileExact"])
@pytest.mark.parametrize("title", list(GROUPINGS))
def test_the_figures_are_the_tools(servers, loaded, title, variant):
    """Counts, min, mean and max exact; the percentiles exact, as the tool
    reports them within 0.8%: the nearest rank, and quantileExact's rank."""
    _, report, series = loaded
    key, figures_of = GROUPINGS[title]
    query = SQL[title] if variant == "quantileExact" else PAGE.with_nearest_rank(SQL[title])
    expected = figures_of(report, series)
    got = {}
    for row in servers[0].rows(query):
        tool = expected.get(key(row), {})
        figures = {}
        for name in tool:
            value = int(row[name])
            if name in LEVELS:
                value = as_reported(value, int(row["min_ns"]), int(row["max_ns"]))
                # quantileExact: the nearest rank, or where n p is whole the
                # value above it.
                if (variant == "quantileExact" and value > tool[name] and
                        (LEVELS[name] * int(row["copies"])).is_integer()):
                    value = tool[name]
            figures[name] = value
        got[key(row)] = figures
    assert got == expected
    assert len(expected) >= {"By direction": 2, "By flow, the worst p99 first": 5,
                             "By hour": 6}[title]


def test_the_last_30_days_by_hour_and_flow(servers, loaded):
    """quantileExact's rank: floor(n p) + 1, in floating point."""
    expected = {}
    for day, outcomes in enumerate(loaded[0], 1):
        for hour in BURSTS[day]:
            start = time.strftime("%Y-%m-%d %H:00:00",
                                  time.gmtime(FIRST_DAY + (day - 1) * DAY_S + hour * 3600))
            for flow in {o[2] for o in outcomes if o[0] == A}:
                lat = sorted(o[4] for o in outcomes if o[0] == A and o[2] == flow
                             and o[3] == hour and o[4] is not None)
                expected[(start, flow)] = (len(lat), lat[int(0.99 * len(lat))])
    got = {(r["hour"], flow_label(r)): (int(r["copies"]), int(r["p99_ns"]))
           for r in servers[0].rows(SQL["p99 from Port A to Port B per hour and flow, "
                                        "the last 30 days"])}
    assert got == expected


def test_a_day_a_shard_a_partition(servers, loaded):
    """Each shard holds its day's rows in one partition, named by its UTC
    date; dropping another day leaves them."""
    for day, server in enumerate(servers, 1):
        server.query(SQL["Forget a day, on every server"])
        parts = server.rows("SELECT partition, sum(rows) AS rows FROM system.parts "
                            "WHERE database = 'valtocrane' AND table = 'latency_local' "
                            "AND active GROUP BY partition")
        date = time.strftime("%Y-%m-%d", time.gmtime(FIRST_DAY + (day - 1) * DAY_S))
        assert parts == [{"partition": date, "rows": str(len(loaded[0][day - 1]))}]


def test_every_statement_of_the_page_is_run():
    assert set(SQL) == set(GROUPINGS) | {"The tables, on every server",
                                         "Forget a day, on every server",
                                         "p99 from Port A to Port B per hour and flow, "
                                         "the last 30 days"}
    assert "quantilesExactIf" not in PAGE.with_nearest_rank(SQL["By direction"])
