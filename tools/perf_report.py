#!/usr/bin/python3
"""Writes docs/performance.md and its pictures from the JSON that
tools/perf-report.sh collects: each program's ratio table (--ratio_json; for
bench_timer_lateness with the lateness distributions and early counts) and
every repetition (Google Benchmark's --benchmark_out)."""
import argparse
import glob
import json
import os
import platform
import statistics
import subprocess

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def load(path):
    with open(path) as f:
        return json.load(f)


def fmt_ns(ns):
    if ns is None:
        return ""
    a = abs(ns)
    if a < 1e3:
        return f"{ns:.0f} ns"
    if a < 1e6:
        return f"{ns / 1e3:.2f} µs"
    if a < 1e9:
        return f"{ns / 1e6:.2f} ms"
    return f"{ns / 1e9:.3f} s"


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f"{kb / 1048576:.1f} GiB RAM"
    except (OSError, ValueError, IndexError):
        pass
    try:
        gcc = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        gcc = "g++ unknown"
    return {
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "memory": mem,
        "kernel": platform.release(),
        "system": platform.platform(),
        "compiler": gcc,
    }


def spread(values):
    """Relative spread of per-round values: (max - min) / median."""
    if len(values) < 2:
        return None
    m = statistics.median(values)
    return (max(values) - min(values)) / m if m else None


def ratio_rows(json_dir):
    rows = []
    for path in sorted(glob.glob(os.path.join(json_dir, "*.ratios.json"))):
        program = os.path.basename(path).split(".")[0]
        for r in load(path)["ratios"]:
            r["program"] = program
            rows.append(r)
    return rows


def judged(r):
    """The row's own target as shown, and its verdict on the figure that target is about: a ratio
    target on the ratio, an absolute limit (below_ns) on the candidate's own median."""
    if r.get("target", 0) > 0:
        return f"≤ {r['target']:.2f}x", "ok" if r["ratio"] <= r["target"] else "MISS"
    if r.get("below_ns", 0) > 0:
        return f"candidate < {fmt_ns(r['below_ns'])}", "ok" if r["candidate_ns"] < r["below_ns"] else "MISS"
    return "", "info"


def table(rows, rounds):
    """Rounds (the timer lateness program): the spread is the range of the rounds; otherwise the
    coefficient of variation of the repetitions."""
    out = ["| figure | ratio | min | target | verdict | candidate | baseline | n | spread (cand. / base.) |",
           "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        target, verdict = judged(r)
        if rounds:
            s = spread(r["candidate_values"]), spread(r["baseline_values"])
            sp = " / ".join("–" if v is None else f"{100 * v:.0f}%" for v in s) + " (range)"
        else:
            sp = f"{100 * r['candidate_cv']:.0f}% / {100 * r['baseline_cv']:.0f}% (cv)"
        verdict = {"MISS": "**MISS**"}.get(verdict, verdict)
        out.append(f"| {r['label']} | {r['ratio']:.2f}x | {r['min_ratio']:.2f}x | {target} | {verdict} | "
                   f"{fmt_ns(r['candidate_ns'])} | {fmt_ns(r['baseline_ns'])} | {r['n']} | {sp} |")
    return "\n".join(out)


def plot_lateness(harness, path):
    q = harness["quantiles"]
    kinds = {}
    for c in harness.get("curves", []):
        if c["lateness_ns"]:
            kinds.setdefault(c["kind"], []).append(c["lateness_ns"])
    if not kinds:
        return False
    fig, ax = plt.subplots(figsize=(8, 4.5))
    for kind, curves in kinds.items():
        # The median over rounds of each quantile.
        med = [statistics.median(values) / 1e3 for values in zip(*curves)]
        ax.plot([max(v, 0.1) for v in med], q, label=kind, drawstyle="steps-post")
    ax.set_xscale("log")
    ax.set_xlabel("lateness (µs, log scale): callback start minus due time")
    ax.set_ylabel("fraction of callbacks")
    ax.set_title("Expiry lateness, 1,000 periodic 10 ms timers (median of rounds)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def repetitions(json_dir, name):
    path = os.path.join(json_dir, name + ".json")
    if not os.path.exists(path):
        return {}
    reps = {}
    unit = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
    for b in load(path).get("benchmarks", []):
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        # The name as registered: without the options Google Benchmark appends.
        parts = b["run_name"].split("/")
        key = "/".join(p for p in parts if not p.startswith(("iterations:", "repeats:", "min_time:", "manual_time",
                                                              "real_time", "threads:")))
        reps.setdefault(key, []).append(b["real_time"] * unit[b.get("time_unit", "ns")])
    return reps


def plot_event_loop(reps, path):
    names = [("OneSecond_TimersAndEventManager", "TimersAndEventManager"), ("OneSecond_BareHeapLoop", "bare heap loop"),
             ("OneSecond_Libuv", "libuv"), ("OneSecond_BoostAsio", "Boost.Asio")]
    present = [(k, label) for k, label in names if k in reps]
    if not present:
        return False
    fig, ax = plt.subplots(figsize=(7, 4))
    med = [statistics.median(reps[k]) / 1e6 for k, _ in present]
    lo = [m - min(reps[k]) / 1e6 for m, (k, _) in zip(med, present)]
    hi = [max(reps[k]) / 1e6 - m for m, (k, _) in zip(med, present)]
    colors = ["tab:blue"] + ["tab:gray"] * (len(present) - 1)
    ax.bar([label for _, label in present], med, yerr=[lo, hi], capsize=4, color=colors)
    ax.set_ylabel("process CPU time (ms), median; bars: min–max")
    ax.set_title("CPU to add and run 100,000 one-shot timers over 1 s")
    ax.grid(True, axis="y", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def plot_arm_cancel(reps, path):
    series = [("ServiceArm", "SetWaitableTimer", "tab:blue", "-"), ("UvTimerStart", "uv_timer_start", "tab:orange", "-"),
              ("ServiceCancel", "CancelWaitableTimer", "tab:blue", "--"),
              ("UvTimerStop", "uv_timer_stop", "tab:orange", "--")]
    fig, ax = plt.subplots(figsize=(7, 4))
    drawn = False
    for prefix, label, color, style in series:
        points = []
        for key, values in reps.items():
            if key.startswith(prefix + "/armed:"):
                points.append((int(key.split(":")[1]), statistics.median(values)))
        if points:
            points.sort()
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", color=color, linestyle=style,
                    label=label)
            drawn = True
    if not drawn:
        plt.close(fig)
        return False
    ax.set_xscale("log")
    ax.set_xlabel("timers armed")
    ax.set_ylabel("ns per call (median)")
    ax.set_title("Arm and cancel among many armed timers")
    ax.set_ylim(bottom=0)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def context(json_dir, name):
    path = os.path.join(json_dir, name + ".json")
    return load(path).get("context", {}) if os.path.exists(path) else {}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", required=True)
    parser.add_argument("--docs", required=True)
    parser.add_argument("--seconds", type=int, default=0)
    parser.add_argument("--load-before", default="")
    parser.add_argument("--load-after", default="")
    parser.add_argument("--mode", default="full")
    parser.add_argument("--command", default="tools/perf-report.sh")
    a = parser.parse_args()

    img = os.path.join(a.docs, "img")
    os.makedirs(img, exist_ok=True)
    harness_path = os.path.join(a.json, "timer_lateness.ratios.json")
    harness = load(harness_path) if os.path.exists(harness_path) else {"quantiles": [], "curves": []}
    timer_reps = repetitions(a.json, "timer")
    loop_reps = repetitions(a.json, "event_loop")
    pictures = {
        "lateness": plot_lateness(harness, os.path.join(img, "timer-lateness.png")),
        "event_loop": plot_event_loop(loop_reps, os.path.join(img, "event-loop-cpu.png")),
        "arm_cancel": plot_arm_cancel(timer_reps, os.path.join(img, "arm-cancel.png")),
    }
    m = machine()
    all_rows = ratio_rows(a.json)
    hrows = [r for r in all_rows if r["program"] == "timer_lateness"]
    rows = [r for r in all_rows if r["program"] != "timer_lateness"]
    ctx = context(a.json, "timer")

    md = ["# Performance", "",
          f"Generated by `{a.command}` ({a.mode} run, {a.seconds} s). Every figure is a **ratio** of the "
          "library's time to a baseline's measured in the same run, repetitions interleaved; absolute times "
          "are shown for orientation only and differ from machine to machine.", "",
          "## Machine", "",
          f"- CPU: {m['cpu']}, {m['cpus']} logical CPUs; {m['memory']}",
          f"- system: {m['system']} (kernel {m['kernel']}); compiler: {m['compiler']}",
          f"- load average (1, 5, 15 min) before the run: {a.load_before}; after: {a.load_after}. "
          "A load well above the CPU count means other work shared the machine: single figures are then "
          "noisy (see the spread columns), the ratios less so, since candidate and baseline alternate.", "",
          "How to read the tables: `ratio` is median candidate / median baseline; `min` the same ratio of the "
          "fastest repetitions (a cross-check: far from `ratio` means noise); `n` repetitions (rounds) of each "
          "side; the spread is the coefficient of variation of the repetitions (cv) or, for the timer "
          "lateness and drift rounds, (max − min) / median of the rounds (range).", ""]

    md += ["## Timers: lateness and drift", ""]
    if pictures["lateness"]:
        md += ["![lateness distributions](img/timer-lateness.png)", ""]
    md += ["1,000 periodic 10 ms timers, phases staggered evenly; lateness is callback start minus due time "
           "(for `TimerManager` the due time is counted from the `AddTimer` call). Drift: one 1 ms periodic timer "
           "over 10,000 periods, the median offset of its last 1,000 calls from the grid it started on; a timer "
           "that keeps its grid stays within its lateness, one that re-arms from its calls slides through the "
           "whole period (the relative sleep loop shows it). The target is absolute (under a tenth of the "
           "period), the ratio to a loop sleeping to the same grid is for information.", ""]
    if hrows:
        md += [table(hrows, True), ""]
    counts = harness.get("counts", {})
    early = {k[len("early, "):]: v for k, v in counts.items() if k.startswith("early, ")}
    missed = {k[len("missed, "):]: v for k, v in counts.items() if k.startswith("missed, ")}
    if early:
        md += ["Early calls (must be 0): " + "; ".join(f"{k}: {v}" for k, v in early.items()) + ".", ""]
    if missed:
        md += ["Periods missed in the drift runs, median of rounds (grid points passed while the thread could "
               "not run, folded into a later call; the grid loop's are the machine's own): " +
               "; ".join(f"{k}: {v}" for k, v in missed.items()) + ".", ""]

    md += ["## Arm and cancel among many armed timers", ""]
    if pictures["arm_cancel"]:
        md += ["![arm and cancel cost](img/arm-cancel.png)", ""]
    mem = [f"- {k}: {v}" for k, v in ctx.items() if k.startswith("memory")]
    if mem:
        md += ["Memory per armed timer:", ""] + mem + [""]
    timer_rows = [r for r in rows if r["program"] == "timer"]
    if timer_rows:
        md += [table(timer_rows, False), ""]

    md += ["## Event loop", ""]
    if pictures["event_loop"]:
        md += ["![event loop CPU](img/event-loop-cpu.png)", ""]
    loop_rows = [r for r in rows if r["program"] == "event_loop"]
    if loop_rows:
        md += [table(loop_rows, False), ""]

    others = [r for r in rows if r["program"] not in ("timer", "event_loop")]
    if others:
        md += ["## Threads, mutex, events, semaphores, uptime", "", table(others, False), ""]

    misses = [r["label"] for r in hrows + rows if judged(r)[1] == "MISS"]
    md += ["## Verdicts", "",
           (f"{len(misses)} figure(s) missed their target in this run: " + "; ".join(misses) + ".")
           if misses else "Every figure with a target met it in this run.", "",
           "The benchmarks and their baselines are described in [bench/README.md](../bench/README.md)."
           if a.docs == "docs" else "", ""]
    with open(os.path.join(a.docs, "performance.md"), "w") as f:
        f.write("\n".join(md))


if __name__ == "__main__":
    main()
