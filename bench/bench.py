#!/usr/bin/env python3
"""The benchmark script's measuring and reporting, standard library only.

  bench.py idle SECONDS NAME=PID...     wake-ups, CPU and memory of running processes over a window
  bench.py memory LABEL NAME=PID...     resident memory now
  bench.py calls PID -- COMMAND...      the method calls process PID makes to the virtual Mac while
                                        COMMAND runs, counted on the bus by dbus-monitor
  bench.py lid ...                      closes the lid during forced discharge, times its end
  bench.py schedule ...                 drives a virtual Mac through a seeded week of plug, unplug,
                                        lid, sleep and wake (see --help)
  bench.py analyse TRACE PREFIX ...     the holding-the-limit figures of one battery trace
  bench.py limits JSON                  the hostile-limit-file figures of wk_bench's JSON output
  bench.py report RESULTS OUT.md        the table (printed) and the results page

Every measuring command prints key=value lines; bench/run.sh collects them into one file.
"""

import argparse
import glob
import json
import math
import os
import random
import subprocess
import sys
import time

# ---------------------------------------------------------------------------------------------
# Processes


def _task_files(pid, name):
    return glob.glob(f"/proc/{pid}/task/*/{name}")


def process_sample(pid):
    """Wake-ups, preemptions and CPU of every thread, and memory, of one process.

    A wake-up is a voluntary context switch: the thread waited (for a timer, a message, a reply)
    and was woken again. A preemption (an involuntary switch) is the scheduler taking the CPU from
    a thread that was running anyway, which depends on what else the machine runs; it is counted
    apart."""
    switches = 0
    preemptions = 0
    sched_ns = 0
    for path in _task_files(pid, "status"):
        try:
            with open(path) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        switches += int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        preemptions += int(line.split()[1])
        except OSError:
            pass  # a thread that ended between the listing and the read
    for path in _task_files(pid, "schedstat"):
        try:
            with open(path) as f:
                sched_ns += int(f.read().split()[0])
        except OSError:
            pass
    with open(f"/proc/{pid}/stat") as f:
        # The command name may hold spaces; the fields after it are fixed.
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    memory = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                memory[key] = int(value.split()[0])
    return {
        "switches": switches,
        "preemptions": preemptions,
        "ticks": ticks,
        "sched_ns": sched_ns,
        "rss_kb": memory.get("VmRSS", 0),
        "hwm_kb": memory.get("VmHWM", 0),
        "threads": memory.get("Threads", 0),
    }


def _named_pids(pairs):
    out = []
    for pair in pairs:
        name, _, pid = pair.partition("=")
        out.append((name, int(pid)))
    return out


VIRTUAL_MAC = "org.wattkeeper.VirtualMac"


class CallMonitor:
    """Counts the method calls the virtual Mac receives from one process, from outside: a
    dbus-monitor on the bus of WATTKEEPER_BUS_ADDRESS (one line a message), its senders told
    apart by the process id the bus daemon knows for each."""

    def __init__(self, pid):
        self.pid = pid
        self.address = os.environ["WATTKEEPER_BUS_ADDRESS"]
        self.monitor = subprocess.Popen(
            ["stdbuf", "-oL", "dbus-monitor", "--address", self.address, "--profile",
             f"type='method_call',destination='{VIRTUAL_MAC}'"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        # The monitor is in place once the bus has taken its name away.
        for line in self.monitor.stdout:
            if "NameLost" in line:
                break

    def _dbus_send(self, *words):
        return subprocess.run(["dbus-send", f"--bus={self.address}", "--print-reply", *words],
                              capture_output=True, text=True).stdout.split()

    def stop(self):
        """The calls counted so far; ends the monitor."""
        # A call of our own, which the process never makes, marks the end: everything before it
        # has been read once it is.
        self._dbus_send(f"--dest={VIRTUAL_MAC}", "/org/wattkeeper/VirtualMac",
                        "org.wattkeeper.VirtualMac.Control.Status")
        senders = {}
        for line in self.monitor.stdout:
            fields = line.rstrip("\n").split("\t")
            if len(fields) < 8 or fields[0] != "mc":
                continue
            if fields[7] == "Status":
                break
            senders[fields[3]] = senders.get(fields[3], 0) + 1
        self.monitor.terminate()
        self.monitor.wait()
        calls = 0
        for sender, n in senders.items():
            out = self._dbus_send("--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus.GetConnectionUnixProcessID", f"string:{sender}")
            if out and out[-1].isdigit() and int(out[-1]) == self.pid:
                calls += n
        return calls


def command_calls(args):
    monitor = CallMonitor(args.pid)
    started = time.monotonic()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    subprocess.run(command, check=True)
    seconds = time.monotonic() - started
    print(f"{args.prefix}calls={monitor.stop()}")
    print(f"{args.prefix}seconds={seconds:.1f}")


def command_idle(args):
    processes = _named_pids(args.processes)
    calls = CallMonitor(args.calls_of) if args.calls_of else None
    hz = os.sysconf("SC_CLK_TCK")
    before = {name: process_sample(pid) for name, pid in processes}
    start = time.monotonic()
    time.sleep(args.seconds)
    after = {name: process_sample(pid) for name, pid in processes}
    minutes = (time.monotonic() - start) / 60.0
    print(f"idle_seconds={minutes * 60:.1f}")
    if calls:
        print(f"idle_calls_per_min={calls.stop() / minutes:.1f}")
    for name, _ in processes:
        b, a = before[name], after[name]
        print(f"idle_{name}_wakeups_per_min={(a['switches'] - b['switches']) / minutes:.1f}")
        print(f"idle_{name}_preemptions_per_min={(a['preemptions'] - b['preemptions']) / minutes:.1f}")
        print(f"idle_{name}_cpu_s={(a['ticks'] - b['ticks']) / hz:.2f}")
        print(f"idle_{name}_cpu_ms={(a['sched_ns'] - b['sched_ns']) / 1e6:.2f}")
        print(f"idle_{name}_rss_kb={a['rss_kb']}")
        print(f"idle_{name}_threads={a['threads']}")


def command_memory(args):
    for name, pid in _named_pids(args.processes):
        s = process_sample(pid)
        print(f"mem_{args.label}_{name}_rss_kb={s['rss_kb']}")
        print(f"mem_{args.label}_{name}_hwm_kb={s['hwm_kb']}")


# ---------------------------------------------------------------------------------------------
# The week's schedule


def week_events(seed, seconds, mean_gap):
    """A seeded schedule: (simulated second, command words) in time order.

    Events come at exponentially spaced times (mean `mean_gap` simulated seconds, at least two
    minutes apart); each flips one of the adapter (half of the events), the lid or sleep. The
    machine starts plugged in, lid open, awake.
    """
    rng = random.Random(seed)
    plugged, lid_closed, asleep = True, False, False
    t = 0.0
    events = []
    while True:
        t += max(120.0, rng.expovariate(1.0 / mean_gap))
        if t >= seconds:
            return events
        pick = rng.random()
        if pick < 0.5:
            plugged = not plugged
            events.append((t, ["plug"] if plugged else ["unplug"]))
        elif pick < 0.75:
            lid_closed = not lid_closed
            events.append((t, ["lid", "close" if lid_closed else "open"]))
        else:
            asleep = not asleep
            events.append((t, ["sleep"] if asleep else ["wake"]))


def trace_time(path):
    """The simulated second of the trace's last complete row."""
    with open(path, "rb") as f:
        f.seek(0, os.SEEK_END)
        size = f.tell()
        f.seek(max(0, size - 4096))
        tail = f.read().decode("ascii", "replace")
    lines = [line for line in tail.split("\n")[:-1] if line and line[0].isdigit()]
    return float(lines[-1].split(",", 1)[0]) if lines else 0.0


def command_schedule(args):
    events = week_events(args.seed, args.days * 86400.0, args.mean_gap)
    log = open(args.events, "w")
    log.write("target_s,fired_s,real_s,command\n")
    start = time.monotonic()
    for target, words in events:
        while True:
            now = trace_time(args.trace)
            if now >= target:
                break
            time.sleep(min(0.05, max(0.001, (target - now) / args.scale / 2)))
        fired = trace_time(args.trace)
        subprocess.run([args.virtual_mac] + words, check=True, stdout=subprocess.DEVNULL)
        log.write(f"{target:.1f},{fired:.1f},{time.monotonic() - start:.3f},{' '.join(words)}\n")
        log.flush()
    end = args.days * 86400.0
    while trace_time(args.trace) < end:
        time.sleep(0.05)
    print(f"schedule_events={len(events)}")


# ---------------------------------------------------------------------------------------------
# The lid during forced discharge


def _status_line(virtual_mac, address):
    env = dict(os.environ, WATTKEEPER_BUS_ADDRESS=address)
    done = subprocess.run([virtual_mac, "status", "--line"], env=env, capture_output=True, text=True)
    return done.stdout


def _control(virtual_mac, address, words):
    env = dict(os.environ, WATTKEEPER_BUS_ADDRESS=address)
    subprocess.run([virtual_mac] + words, env=env, check=True, stdout=subprocess.DEVNULL)


def _wait_all(virtual_mac, worlds, text, timeout, since):
    """Seconds from `since` until each world's status shows `text` (None after the timeout)."""
    seen = {}
    while len(seen) < len(worlds) and time.monotonic() - since < timeout:
        for name, address in worlds.items():
            if name not in seen and text in _status_line(virtual_mac, address):
                seen[name] = time.monotonic() - since
        time.sleep(0.02)
    return {name: seen.get(name) for name in worlds}


def command_lid(args):
    worlds = {}
    for pair in args.worlds:
        name, _, folder = pair.partition("=")
        with open(os.path.join(folder, "address")) as f:
            worlds[name] = f.readline().strip()
    rng = random.Random(args.seed)
    off = {name: [] for name in worlds}
    for _ in range(args.samples):
        # Anywhere in the simulator's tick and well away from the daemon's next timer fire, which
        # is up to 20 s off: only the lid's own message can make the daemon act this soon.
        time.sleep(rng.uniform(0.5, 5.0))
        start = time.monotonic()
        for address in worlds.values():
            _control(args.virtual_mac, address, ["lid", "close"])
        for name, seconds in _wait_all(args.virtual_mac, worlds, "CH0I 0", 30.0, start).items():
            off[name].append(seconds if seconds is not None else float("inf"))
        # Back to forced discharge for the next closing: the lid opened, and the limit-change
        # request the main application posts, which makes the daemon evaluate at once rather
        # than at its next timer fire.
        start = time.monotonic()
        for address in worlds.values():
            _control(args.virtual_mac, address, ["lid", "open"])
            subprocess.run(["dbus-send", "--bus=" + address, "--type=signal", "/org/wattkeeper/Notifications",
                            "org.wattkeeper.DarwinNotify.Post", "string:ZQAmperly_TellDeamon_LimitChange"], check=True)
        _wait_all(args.virtual_mac, worlds, "CH0I 1", 30.0, start)
    for name, times in off.items():
        print(f"lid_{name}_off_p50_s={percentile(times, 50):.2f}")
        print(f"lid_{name}_off_p99_s={percentile(times, 99):.2f}")
        print(f"lid_{name}_off_max_s={max(times):.2f}")
        print(f"lid_{name}_off_samples={' '.join(f'{t:.2f}' for t in times)}")


# ---------------------------------------------------------------------------------------------
# Holding the limit

CHARGE_STEPS = [(20.0, 1.5), (80.0, 1.0), (90.0, 0.6), (100.0, 0.3)]  # (below, %/min)


def charge_rate(charge):
    for below, rate in CHARGE_STEPS:
        if charge < below:
            return rate
    return 0.0


def predicted_charge(row, seconds):
    """The model's charge `seconds` after `row`, under that row's state, integrated piecewise."""
    charge = row["charge"]
    if row["state"] == "holding":
        return charge
    if row["state"] == "discharging":
        if row["asleep"]:
            rate = 0.01
        elif row["lid"]:
            rate = 0.12
        else:
            rate = 0.2
        return max(0.0, charge - rate * seconds / 60.0)
    left = seconds
    while left > 0 and charge < 100.0:
        rate = charge_rate(charge) / 60.0
        boundary = next(b for b, _ in CHARGE_STEPS if b > charge)
        to_boundary = (boundary - charge) / rate
        if to_boundary >= left:
            return charge + rate * left
        charge, left = boundary, left - to_boundary
    return min(charge, 100.0)


def read_trace(path):
    rows = []
    with open(path) as f:
        header = f.readline().strip().split(",")
        assert header == ["seconds", "charge", "adapter", "CH0B", "CH0C", "CH0I", "lid_closed", "asleep", "state"], header
        for line in f:
            p = line.strip().split(",")
            if len(p) != 9:
                continue  # a row cut off when the trace stopped
            rows.append({
                "t": float(p[0]), "charge": float(p[1]), "adapter": p[2] == "1", "ch0b": int(p[3]),
                "ch0c": int(p[4]), "ch0i": int(p[5]), "lid": p[6] == "1", "asleep": p[7] == "1", "state": p[8],
            })
    return rows


def integral_of_distance(c0, c1, dt, limit):
    """The integral over dt of |c - limit| for c going linearly from c0 to c1."""
    a, b = c0 - limit, c1 - limit
    if a * b >= 0:
        return abs(a + b) / 2 * dt
    # Crosses the limit: two triangles.
    cross = dt * abs(a) / (abs(a) + abs(b))
    return abs(a) / 2 * cross + abs(b) / 2 * (dt - cross)


def episodes(rows, holds):
    """Maximal spans [start, end) of simulated time over which `holds(row)` is true."""
    out = []
    start = None
    for row in rows:
        if holds(row):
            if start is None:
                start = row["t"]
        elif start is not None:
            out.append((start, row["t"]))
            start = None
    if start is not None:
        out.append((start, rows[-1]["t"]))
    return out


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    rank = max(1, math.ceil(p / 100 * len(values)))
    return values[rank - 1]


def command_analyse(args):
    rows = read_trace(args.trace)
    limit, scale, prefix = args.limit, args.scale, args.prefix
    out = {}
    out["rows"] = len(rows)
    out["days"] = round(rows[-1]["t"] / 86400.0, 3)

    # The model integrates each segment exactly, so every row follows from the one before it
    # (both printed to 0.01%).
    deviations = []
    for a, b in zip(rows, rows[1:]):
        dt = b["t"] - a["t"]
        if dt <= 0:
            continue
        deviations.append(abs(predicted_charge(a, dt) - b["charge"]))
    out["model_max_deviation_pct"] = round(max(deviations), 4)
    out["model_rows_off"] = sum(1 for d in deviations if d > 0.011)

    first = next((i for i, r in enumerate(rows) if r["charge"] >= limit), None)
    out["limit_first_reached_h"] = round(rows[first]["t"] / 3600.0, 2) if first is not None else "never"

    # The largest excursion above the limit while plugged in.
    plugged = [r for r in rows if r["adapter"]]
    worst = max(plugged, key=lambda r: r["charge"])
    out["max_excursion_pct"] = round(max(0.0, worst["charge"] - limit), 2)
    out["max_excursion_at_h"] = round(worst["t"] / 3600.0, 2)

    # The time-weighted mean distance from the limit, plugged in and awake, once it was reached.
    total = weighted = 0.0
    if first is not None:
        for a, b in zip(rows[first:], rows[first + 1:]):
            if a["adapter"] and not a["asleep"]:
                dt = b["t"] - a["t"]
                total += dt
                weighted += integral_of_distance(a["charge"], b["charge"], dt, limit)
    out["mean_distance_pct"] = round(weighted / total, 3) if total else "n/a"
    out["plugged_awake_h"] = round(total / 3600.0, 1)
    # The same while the daemon is holding (plugged in, awake, within a point of the limit): how
    # tightly the limit is held once it is held at all.
    total = weighted = 0.0
    if first is not None:
        for a, b in zip(rows[first:], rows[first + 1:]):
            if a["adapter"] and not a["asleep"] and abs(a["charge"] - limit) < 1.0 and abs(b["charge"] - limit) < 1.0:
                dt = b["t"] - a["t"]
                total += dt
                weighted += integral_of_distance(a["charge"], b["charge"], dt, limit)
    out["near_mean_distance_pct"] = round(weighted / total, 3) if total else "n/a"

    # Reaction: from the charge crossing the limit while charging to charging stopping; and from
    # the reported charge falling to the limit under forced discharge to forced discharge ending.
    # A crossing whose switch comes with a change of adapter or sleep was ended by the schedule
    # and is not counted.
    #
    # The virtual Mac notices a crossing only when it next advances (every 100 ms real), and
    # then tells its clients; the row of that step is the first after the crossing that does not
    # fall on a whole simulated minute. From there to the switch is the controller's own part.
    def on_minute(t):
        return abs(t - round(t / 60.0) * 60.0) < 0.05

    def reactions(crossed, ended, at):
        times, own = [], []
        external = 0
        i = 1
        while i < len(rows):
            a, b = rows[i - 1], rows[i]
            if crossed(a, b):
                t_cross = at(a, b)
                j = i
                while j < len(rows) and not ended(rows[j]):
                    j += 1
                if j == len(rows):
                    break
                s = rows[j]
                prev = rows[j - 1]
                if s["adapter"] != prev["adapter"] or s["asleep"] != prev["asleep"] or s["lid"] != prev["lid"]:
                    external += 1
                else:
                    times.append(s["t"] - t_cross)
                    noticed = next((rows[k]["t"] for k in range(i, j + 1) if not on_minute(rows[k]["t"])), s["t"])
                    own.append(s["t"] - noticed)
                i = j + 1
                continue
            i += 1
        return times, own, external

    def crossing_time(level):
        def at(a, b):
            if b["charge"] == a["charge"]:
                return b["t"]
            return a["t"] + (level - a["charge"]) / (b["charge"] - a["charge"]) * (b["t"] - a["t"])
        return at

    up, up_own, up_external = reactions(
        lambda a, b: a["state"] == "charging" and a["charge"] < limit <= b["charge"],
        lambda r: r["state"] != "charging",
        crossing_time(limit))
    # Forced discharge: the reported percent reaches the limit when the charge falls below limit + 1.
    down, down_own, down_external = reactions(
        lambda a, b: a["adapter"] and a["ch0i"] == 1 and a["charge"] >= limit + 1 > b["charge"],
        lambda r: r["ch0i"] == 0,
        crossing_time(limit + 1))
    for name, times, own, external in (("up", up, up_own, up_external), ("down", down, down_own, down_external)):
        out[f"reaction_{name}_count"] = len(times)
        out[f"reaction_{name}_external"] = external
        out[f"reaction_{name}_p50_sim_s"] = round(percentile(times, 50), 1) if times else "n/a"
        out[f"reaction_{name}_max_sim_s"] = round(max(times), 1) if times else "n/a"
        out[f"reaction_{name}_p50_real_ms"] = round(percentile(times, 50) / scale * 1000, 1) if times else "n/a"
        out[f"reaction_{name}_max_real_ms"] = round(max(times) / scale * 1000, 1) if times else "n/a"
        out[f"reaction_{name}_own_p50_real_ms"] = round(percentile(own, 50) / scale * 1000, 1) if own else "n/a"
        out[f"reaction_{name}_own_max_real_ms"] = round(max(own) / scale * 1000, 1) if own else "n/a"

    # Forbidden states, as spans of simulated time.
    kinds = {
        # The forced-discharge key on while the lid is closed or the Mac asleep.
        "discharge_closed_or_asleep": lambda r: r["ch0i"] == 1 and (r["lid"] or r["asleep"]),
        # Charging above the limit while awake.
        "charging_above_awake": lambda r: r["state"] == "charging" and r["charge"] > limit and not r["asleep"],
        # Charging while asleep, at any charge: the daemon's own rule holds the battery while the
        # Mac sleeps.
        "charging_asleep": lambda r: r["state"] == "charging" and r["asleep"],
    }
    allowance = args.allowance
    for name, holds in kinds.items():
        spans = episodes(rows, holds)
        lengths = [e - s for s, e in spans]
        out[f"forbidden_{name}_count"] = len(spans)
        out[f"forbidden_{name}_total_sim_s"] = round(sum(lengths), 1)
        out[f"forbidden_{name}_longest_real_ms"] = round(max(lengths) / scale * 1000, 1) if lengths else 0
        out[f"forbidden_{name}_beyond_allowance"] = sum(1 for x in lengths if x / scale > allowance)
        worst_spans = sorted(spans, key=lambda s: s[0] - s[1])[:3]
        out[f"forbidden_{name}_worst"] = ";".join(f"{s / 3600:.2f}h+{(e - s):.0f}s" for s, e in worst_spans) or "-"
    for key, value in out.items():
        print(f"{prefix}_{key}={value}")


# ---------------------------------------------------------------------------------------------
# Hostile limit files


def command_limits(args):
    """BM_LimitFile/<form>/<shape>/<fill> and BM_LimitFileLibplist/<form>/<shape>/<fill>, times in ms."""
    with open(args.json) as f:
        runs = json.load(f)["benchmarks"]
    cases = []
    for run in runs:
        family, _, case = run["name"].partition("/")
        key = "limits_" + case.replace("/", "_")
        cpu = "error" if run.get("error_occurred") else f"{run['cpu_time']:.1f}"
        if family == "BM_LimitFile":
            # Filled to the largest accepted, the same file as the read bound's: one row says it.
            if run.get("at_read_bound"):
                continue
            cases.append(case)
            print(f"{key}_cpu_ms={cpu}")
            print(f"{key}_bytes={int(run.get('bytes', 0))}")
            print(f"{key}_n={int(run.get('n', 0))}")
            print(f"{key}_refused={int(run.get('refused', 0))}")
        elif family == "BM_LimitFileLibplist":
            # Not run on a file the decoder refuses.
            print(f"{key}_floor_cpu_ms={'—' if run.get('error_occurred') else cpu}")
    print("limits_cases=" + ",".join(cases))


def limits_table(r):
    bound = number(r.get("limits_bound_ms"))
    fills = {"read_bound": "1 MiB", "largest_accepted": "largest accepted"}
    lines = ["| Shape | Form | Filled to | n | Bytes | Decode, CPU ms | libplist alone, CPU ms | Ratio | Within the bound |",
             "|---|---|---|---|---|---|---|---|---|"]
    for case in r["limits_cases"].split(","):
        form, shape, fill = case.split("/")
        k = f"limits_{form}_{shape}_{fill}"
        figure, floor = r.get(k + "_cpu_ms", "?"), r.get(k + "_floor_cpu_ms", "?")
        refused = r.get(k + "_refused") == "1"
        within = "—" if number(figure) is None or bound is None else ("yes" if number(figure) <= bound else "**no**")
        shown = f"{figure}, refused" if refused else figure
        lines.append(f"| {shape} | {form} | {fills.get(fill, fill)} | {r.get(k + '_n', '?')} | {r.get(k + '_bytes', '?')} "
                     f"| {shown} | {floor} | {ratio(figure, floor)} | {within} |")
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------------
# Report


def read_results(path):
    results = {}
    with open(path) as f:
        for line in f:
            key, sep, value = line.strip().partition("=")
            if sep:
                results[key] = value
    return results


def number(value):
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


def ratio(figure, floor):
    a, b = number(figure), number(floor)
    if a is None or b is None or b == 0:
        return "—"
    return f"{a / b:.2f}×"


def command_report(args):
    r = read_results(args.results)
    g = lambda key, default="?": r.get(key, default)  # noqa: E731
    rows = []

    def row(measure, figure, floor, floor_is, ratio_text=None):
        rows.append((measure, figure, floor, ratio_text if ratio_text is not None else ratio(figure, floor), floor_is))

    calls = g("eval_holding_seam_calls")
    for state, what in (("holding", "holding at the limit"), ("charging", "below the limit, charging")):
        if f"eval_{state}_instr" in r:
            row(f"Evaluation, {what} (instructions)", g(f"eval_{state}_instr"), g(f"eval_{state}_floor_instr"),
                f"{g(f'eval_{state}_seam_calls')} SMC seam calls"
                + (" + the lid's 4 system calls" if state == "charging" else "") + " + limit file read and decode")
    for kind, label in (("heartbeat", "Heartbeat"), ("charging_status", "Charging status")):
        for p in ("p50", "p99"):
            if f"rtt_{kind}_{p}_us" in r:
                row(f"{label} request to reply, {p} (µs)", g(f"rtt_{kind}_{p}_us"), g(f"rtt_{kind}_floor_{p}_us"),
                    f"bare D-Bus ping-pong + the {g(f'rtt_{kind}_calls_each')} calls to the virtual Mac it makes "
                    "(counted on the bus), made directly")
    if "idle_daemon_wakeups_per_min" in r:
        calls_per_min = float(r.get("idle_calls_per_min", "0"))
        floor = float(g("idle_rest_wakeups_per_min")) + calls_per_min
        row("Idle: wake-ups per minute", g("idle_daemon_wakeups_per_min"), f"{floor:.1f}",
            "bus client at rest (same run loop, bus thread, centers, 20 s timer) + the daemon's "
            f"{calls_per_min:.1f} calls a minute to the virtual Mac (counted on the bus)")
        row("Idle: CPU over the window (ms)", g("idle_daemon_cpu_ms"), g("idle_rest_cpu_ms"),
            "bus client at rest")
        row("Idle: resident memory (kB)", g("idle_daemon_rss_kb"), g("idle_rest_rss_kb"), "bus client at rest")
        row("Idle: wake-ups per minute, other references", g("idle_daemon_wakeups_per_min"),
            f"sleep {g('idle_sleep_wakeups_per_min')}; virtual Mac {g('idle_vm_wakeups_per_min')}",
            "an idle `sleep`; the virtual Mac (100 ms tick)",
            ratio(g("idle_daemon_wakeups_per_min"), g("idle_vm_wakeups_per_min")) + " of virtual Mac")
    if "mem_after_daemon_rss_kb" in r:
        row(f"Memory after {g('storm_total')} requests (kB)", g("mem_after_daemon_rss_kb"),
            g("mem_after_rest_rss_kb"), "bus client at rest, which saw every request and reply")
        grow_d = int(g("mem_after_daemon_rss_kb")) - int(g("idle_daemon_rss_kb"))
        grow_r = int(g("mem_after_rest_rss_kb")) - int(g("idle_rest_rss_kb"))
        half_d = int(g("mem_after_daemon_rss_kb")) - int(g("mem_half_daemon_rss_kb"))
        row("Memory growth idle → after the requests (kB)", str(grow_d), str(grow_r),
            f"bus client at rest; second half of the requests alone: daemon {half_d:+d} kB", "—")
        row("Requests answered / lost", f"{int(g('storm_total')) - int(g('storm_lost'))} / {g('storm_lost')}",
            "—", f"{g('storm_per_second')} requests per second, batches of {g('storm_batch')}", "—")
    if "lid_daemon_off_p50_s" in r:
        row("Lid closed during forced discharge → it ends, time scale 1, p50 s",
            g("lid_daemon_off_p50_s"), g("lid_ideal_off_p50_s"), "ideal controller (looks at the lid every 100 ms)")
        row("Lid closed during forced discharge → it ends, time scale 1, p99 s",
            g("lid_daemon_off_p99_s"), g("lid_ideal_off_p99_s"), "ideal controller (looks at the lid every 100 ms)")
        row("Lid closed during forced discharge → it ends, time scale 1, max s",
            g("lid_daemon_off_max_s"), g("lid_ideal_off_max_s"), "ideal controller (looks at the lid every 100 ms)")
    if "week_daemon_rows" in r:
        d, i = "week_daemon_", "week_ideal_"
        floor_is = "ideal controller, same virtual Mac, same schedule, no delays"
        row("Week: largest excursion above the limit, plugged (%)", g(d + "max_excursion_pct"),
            g(i + "max_excursion_pct"), floor_is)
        row("Week: mean distance from the limit, plugged and awake (%)", g(d + "mean_distance_pct"),
            g(i + "mean_distance_pct"), floor_is)
        row("Week: mean distance while holding (within 1 point) (%)", g(d + "near_mean_distance_pct"),
            g(i + "near_mean_distance_pct"), floor_is)
        for way, text in (("up", "charging reaches the limit → charging stops"),
                          ("down", "forced discharge reaches the limit → it ends")):
            row(f"Week: reaction, {text}, p50 real ms (sim s)",
                f"{g(d + f'reaction_{way}_p50_real_ms')} ({g(d + f'reaction_{way}_p50_sim_s')})",
                f"{g(i + f'reaction_{way}_p50_real_ms')} ({g(i + f'reaction_{way}_p50_sim_s')})", floor_is,
                ratio(g(d + f"reaction_{way}_p50_real_ms"), g(i + f"reaction_{way}_p50_real_ms")))
            row(f"Week: reaction, {text}, from the step that showed it, p50 / max real ms",
                f"{g(d + f'reaction_{way}_own_p50_real_ms')} / {g(d + f'reaction_{way}_own_max_real_ms')}",
                f"{g(i + f'reaction_{way}_own_p50_real_ms')} / {g(i + f'reaction_{way}_own_max_real_ms')}", floor_is,
                ratio(g(d + f"reaction_{way}_own_p50_real_ms"), g(i + f"reaction_{way}_own_p50_real_ms")))
            row(f"Week: reaction, {text}, max real ms (sim s)",
                f"{g(d + f'reaction_{way}_max_real_ms')} ({g(d + f'reaction_{way}_max_sim_s')})",
                f"{g(i + f'reaction_{way}_max_real_ms')} ({g(i + f'reaction_{way}_max_sim_s')})", floor_is,
                ratio(g(d + f"reaction_{way}_max_real_ms"), g(i + f"reaction_{way}_max_real_ms")))
        for kind, text in (("discharge_closed_or_asleep", "forced discharge, lid closed or asleep"),
                           ("charging_above_awake", "charging above the limit, awake"),
                           ("charging_asleep", "charging while asleep")):
            row(f"Week: forbidden spans, {text}: count (longest real ms)",
                f"{g(d + f'forbidden_{kind}_count')} ({g(d + f'forbidden_{kind}_longest_real_ms')})",
                f"{g(i + f'forbidden_{kind}_count')} ({g(i + f'forbidden_{kind}_longest_real_ms')})", floor_is,
                ratio(g(d + f"forbidden_{kind}_count"), g(i + f"forbidden_{kind}_count")))

    widths = [max(len(str(x[k])) for x in rows + [("Measure", "Figure", "Floor", "Ratio", "Floor is")])
              for k in range(5)]

    def line(cells):
        return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"

    table = [line(("Measure", "Figure", "Floor", "Ratio", "Floor is")),
             "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    table += [line(x) for x in rows]
    print("\n".join(table))

    with open(args.template) as f:
        page = f.read()
    page = page.replace("@TABLE@", "\n".join(table))
    if "limits_cases" in r:
        page = page.replace("@LIMITS_TABLE@", limits_table(r))
    for key, value in r.items():
        page = page.replace("@" + key + "@", value)
    with open(args.out, "w") as f:
        f.write(page)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("idle")
    p.add_argument("seconds", type=float)
    p.add_argument("processes", nargs="+", help="NAME=PID")
    p.add_argument("--calls-of", type=int, help="also count this process's calls to the virtual Mac")
    p.set_defaults(run=command_idle)

    p = sub.add_parser("calls")
    p.add_argument("pid", type=int)
    p.add_argument("--prefix", default="")
    p.add_argument("command", nargs=argparse.REMAINDER)
    p.set_defaults(run=command_calls)

    p = sub.add_parser("memory")
    p.add_argument("label")
    p.add_argument("processes", nargs="+", help="NAME=PID")
    p.set_defaults(run=command_memory)

    p = sub.add_parser("schedule", help="drive a virtual Mac through a seeded week")
    p.add_argument("--seed", type=int, required=True)
    p.add_argument("--days", type=float, default=7.0)
    p.add_argument("--mean-gap", type=float, default=5400.0, help="mean simulated seconds between events")
    p.add_argument("--scale", type=float, required=True, help="the virtual Mac's time scale")
    p.add_argument("--trace", required=True, help="the virtual Mac's trace, which gives its clock")
    p.add_argument("--virtual-mac", required=True)
    p.add_argument("--events", required=True, help="CSV of the events as fired")
    p.set_defaults(run=command_schedule)

    p = sub.add_parser("lid", help="close the lid during forced discharge and time its end")
    p.add_argument("--samples", type=int, default=4)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--virtual-mac", required=True)
    p.add_argument("worlds", nargs="+", help="NAME=FOLDER holding the world's bus address")
    p.set_defaults(run=command_lid)

    p = sub.add_parser("analyse")
    p.add_argument("trace")
    p.add_argument("prefix")
    p.add_argument("--limit", type=float, required=True)
    p.add_argument("--scale", type=float, required=True)
    p.add_argument("--allowance", type=float, default=1.0,
                   help="real seconds a forbidden span may last before it counts as beyond the daemon's delays")
    p.set_defaults(run=command_analyse)

    p = sub.add_parser("limits")
    p.add_argument("json", help="wk_bench --benchmark_out of the BM_LimitFile benchmarks")
    p.set_defaults(run=command_limits)

    p = sub.add_parser("report")
    p.add_argument("results")
    p.add_argument("template")
    p.add_argument("out")
    p.set_defaults(run=command_report)

    args = parser.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
