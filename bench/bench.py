#!/usr/bin/env python3
"""Times tally against its I/O floor (bench/floor.cc) over generated damaged copies.

Started by bench/run.sh, which builds both programs first. For every case it generates (or
reuses) the inputs, reads them once to warm the page cache, checks one tally run's output
against the expected file and one floor run's output against input 0, and then times tally and
the floor alternately, several times each, with their console output sent to /dev/null. Every
timed run's exit status is checked. The results go to bench/RESULTS.md and bench/throughput.png.

  bench.py --tally PATH --floor PATH [--quick] [--reps N] [--only SUBSTRING]
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_inputs as mi  # noqa: E402

MIB = 1 << 20
BLOCK = 2 * MIB  # tally's block on Linux: one buffer per input plus one for the output


# ---------------------------------------------------------------------------------------------
# The cases


def build_cases(work, quick):
    """Every case, in the order they are run; inputs are generated lazily by `prepare`."""
    sizes = mi.QUICK_SIZES if quick else mi.FULL_SIZES
    cases = []
    for n, size in sizes:
        tag = f"{n}x{mi.size_tag(size)}"
        for scenario in mi.SCENARIOS:
            modes = ["byte", "sha256", "md5"] if scenario == "clean" else ["byte", "a"]
            for mode in modes:
                cases.append(dict(key=f"{tag}/{scenario}/{mode}", group=scenario, n=n, size=size,
                                  source=("set", n, size, scenario), mode=mode, ref="floor"))
        if n == 3:
            cases.append(dict(key=f"{tag}/clean/numpy", group="numpy", n=n, size=size,
                              source=("set", n, size, "clean"), mode="byte", ref="numpy"))
    worst = mi.QUICK_WORST_SIZE if quick else mi.FULL_WORST_SIZE
    for mode in ["byte", "a"]:
        for n in mi.WORST_COUNTS:
            cases.append(dict(key=f"worst/{n}x{mi.size_tag(worst)}/{mode}", group="worst", n=n,
                              size=worst, source=("worst", n, worst), mode=mode, ref="floor"))
    return cases


def prepare(work, case):
    """Generates the case's inputs if needed; returns (input paths, expected output path)."""
    if case["source"][0] == "set":
        _, n, size, scenario = case["source"]
        return mi.ensure_set(work, n, size, scenario)
    _, n, size = case["source"]
    paths, expected = mi.ensure_worst(work, n, size)
    if case["mode"] == "a":
        expected = mi.ensure_worst_sample_vote(work, n, size)
    return paths, expected


MODE_SWITCH = {"byte": [], "a": ["-a"], "sha256": ["-sha256"], "md5": ["-md5"]}


def tally_command(tally, case, inputs, output):
    return [tally, *MODE_SWITCH[case["mode"]], "-o", output, *inputs]


def ref_command(args, case, inputs, output):
    if case["ref"] == "numpy":
        return ["/usr/bin/python3", os.path.join(HERE, "numpy_vote.py"), output, *inputs]
    digest = MODE_SWITCH[case["mode"]] if case["mode"] in ("sha256", "md5") else []
    return [args.floor, *digest, "-o", output, *inputs]


# ---------------------------------------------------------------------------------------------
# Running and checking


def timed_run(command):
    """(wall seconds, exit status, rusage) of one run, console to /dev/null."""
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)  # already reaped: keep Popen from waiting
    return elapsed, proc.returncode, usage


def same_content(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(16 * MIB), fb.read(16 * MIB)
            if x != y:
                return False
            if not x:
                return True


def warm(paths):
    """Reads every input once so that the timed runs find it in the page cache."""
    for p in paths:
        with open(p, "rb", buffering=0) as f:
            while f.read(16 * MIB):
                pass


GNU_TIME = "/usr/bin/time"


def check(command, output, expected, work):
    """(None or what went wrong, peak resident set in KiB or 0, wall seconds) of one checked run.

    The peak is measured through GNU time: a child's ru_maxrss as this harness sees it also
    counts the harness's own pages at the moment of the fork, whereas GNU time is small.
    """
    if os.path.exists(output):
        os.remove(output)
    rss_file = os.path.join(work, "rss.txt")
    measured = os.access(GNU_TIME, os.X_OK)
    elapsed, status, _ = timed_run([GNU_TIME, "-f", "%M", "-o", rss_file, *command] if measured else command)
    rss = 0
    if measured:
        with open(rss_file) as f:
            rss = int(f.read().split()[-1])
    if status != 0:
        return f"exit status {status}", rss, elapsed
    if not same_content(output, expected):
        return "output differs from the expected file", rss, elapsed
    return None, rss, elapsed


def run_case(args, case, log):
    inputs, expected = prepare(args.work, case)
    warm(inputs)
    out_tally = os.path.join(args.work, "out_tally.bin")
    out_ref = os.path.join(args.work, "out_ref.bin")
    t_cmd = tally_command(args.tally, case, inputs, out_tally)
    r_cmd = ref_command(args, case, inputs, out_ref)
    result = dict(case, inputs_bytes=case["n"] * case["size"], tally=[], ref=[], error=None)
    result.pop("source")
    problem, result["rss_kib"], t_check = check(t_cmd, out_tally, expected, args.work)
    r_check = 0.0
    if problem is None:
        ref_expected = expected if case["ref"] == "numpy" else inputs[0]
        ref_problem, result["ref_rss_kib"], r_check = check(r_cmd, out_ref, ref_expected, args.work)
        problem = None if ref_problem is None else f"{case['ref']}: {ref_problem}"
    else:
        problem = f"tally: {problem}"
    if problem is not None:
        result["error"] = problem
        log(f"{case['key']:28s} NOT TIMED: {problem}")
        return result
    # A case whose runs are very slow (a vote that does not scale) gets fewer repetitions, so
    # that one case cannot hold the whole benchmark for hours; beyond the budget the checked
    # run itself is the one measurement.
    reps = min(args.reps, int(args.budget // (t_check + r_check)))
    result["reps"] = max(reps, 1)
    if reps < 1:
        result["tally"], result["ref"] = [t_check], [r_check]
        result["note"] = "one checked run, over the time budget"
    elif reps < args.reps:
        result["note"] = f"{reps} repetition{'s' if reps > 1 else ''}, time budget"
    for rep in range(max(reps, 0)):
        # Alternate which program goes first, so that a slow drift of the machine hits both.
        order = [("tally", t_cmd), ("ref", r_cmd)] if rep % 2 == 0 else [("ref", r_cmd), ("tally", t_cmd)]
        for who, command in order:
            elapsed, status, _ = timed_run(command)
            if status != 0:
                result["error"] = f"{who}: exit status {status} in a timed run"
                log(f"{case['key']:28s} STOPPED: {result['error']}")
                return result
            result[who].append(elapsed)
    for p in (out_tally, out_ref):
        if os.path.exists(p):
            os.remove(p)
    t, r = statistics.median(result["tally"]), statistics.median(result["ref"])
    log(f"{case['key']:28s} tally {t:8.3f} s  {case['ref']} {r:8.3f} s  ratio {t / r:6.2f}"
        + (f"  ({result['note']})" if "note" in result else ""))
    return result


# ---------------------------------------------------------------------------------------------
# Report


def machine():
    def read(path):
        try:
            with open(path) as f:
                return f.read()
        except OSError:
            return ""
    cpu = next((l.split(":", 1)[1].strip() for l in read("/proc/cpuinfo").splitlines()
                if l.startswith("model name")), platform.processor() or "unknown")
    mem = next((l.split()[1] for l in read("/proc/meminfo").splitlines() if l.startswith("MemTotal")), "0")
    try:
        fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,SOURCE", "-T", HERE], capture_output=True,
                            text=True).stdout.strip()
    except OSError:
        fs = "unknown"
    thp = read("/sys/kernel/mm/transparent_hugepage/enabled").strip()
    return dict(nproc=os.cpu_count(), cpu=cpu, kernel=platform.release(), fs=fs or "unknown",
                mem_gib=round(int(mem) / MIB, 1), thp=thp,
                date=datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"))


def med(values):
    return statistics.median(values) if values else None


def targets(results, quick):
    """(target, measured text, pass/fail) rows; a target whose cases were not timed reads n/a."""
    sizes = mi.QUICK_SIZES if quick else mi.FULL_SIZES
    tags = [f"{n}x{mi.size_tag(s)}" for n, s in sizes]
    worst = mi.size_tag(mi.QUICK_WORST_SIZE if quick else mi.FULL_WORST_SIZE)

    def ratio(key):
        r = results.get(key)
        if not r or r["error"] or not r["tally"]:
            return None
        return med(r["tally"]) / med(r["ref"])

    rows = []

    def limit(label, key, bound):
        v = ratio(key)
        rows.append((f"{label}: tally/floor <= {bound}", "n/a" if v is None else f"{v:.2f}",
                     "n/a" if v is None else ("pass" if v <= bound else "FAIL")))

    limit(f"{tags[0]} clean", f"{tags[0]}/clean/byte", 1.15)
    limit(f"{tags[0]} 0.1% byte", f"{tags[0]}/p0.1/byte", 1.30)
    limit(f"{tags[0]} 0.1% -a", f"{tags[0]}/p0.1/a", 1.30)
    limit(f"{tags[1]} 1% byte", f"{tags[1]}/p1/byte", 2.0)
    limit(f"{tags[2]} 0.1% byte", f"{tags[2]}/p0.1/byte", 1.5)
    limit(f"{tags[0]} clean -sha256", f"{tags[0]}/clean/sha256", 1.10)

    lo, hi = results.get(f"worst/3x{worst}/byte"), results.get(f"worst/384x{worst}/byte")
    if lo and hi and not lo["error"] and not hi["error"]:
        per = lambda r: med(r["tally"]) / r["inputs_bytes"]  # noqa: E731
        above = lambda r: (med(r["tally"]) - med(r["ref"])) / r["inputs_bytes"]  # noqa: E731
        v = per(hi) / per(lo)
        # With small inputs the fixed cost of a run hides much of the vote at 3 inputs; the
        # same ratio of the time above the floor shows how the vote alone scales.
        extra = f" ({above(hi) / above(lo):.1f} above the floor)" if above(lo) > 0 else ""
        rows.append(("every byte differs: time per input byte, 384 vs 3 inputs <= 4", f"{v:.1f}{extra}",
                     "pass" if v <= 4 else "FAIL"))
    else:
        rows.append(("every byte differs: time per input byte, 384 vs 3 inputs <= 4", "n/a", "n/a"))

    v = ratio(f"{tags[0]}/clean/numpy")
    rows.append((f"{tags[0]} clean: numpy vote / tally >= 2", "n/a" if v is None else f"{1 / v:.1f}",
                 "n/a" if v is None else ("pass" if 1 / v >= 2 else "FAIL")))
    return rows


def write_report(path, results, info, args, duration):
    ordered = list(results.values())
    lines = [
        "# tally benchmark",
        "",
        "Generated by `bench/run.sh" + (" --quick" if args.quick else "") + "`"
        + (" (QUICK RUN: reduced sizes and repetitions; the targets are meant for the full sizes)"
           if args.quick else "") + ".",
        "",
        f"- Date: {info['date']}",
        f"- Machine: {info['nproc']} CPUs ({info['cpu']}), {info['mem_gib']} GiB RAM",
        f"- Kernel: {info['kernel']}; transparent huge pages: {info['thp']}",
        f"- File system of the inputs and outputs: {info['fs']}",
        f"- Repetitions per program and case: {args.reps}, tally and the reference alternately, fewer "
        f"where one case would take more than {args.budget:.0f} s (column runs); whole run {duration / 60:.1f} min",
        "",
        "Times are wall-clock seconds per run (median, and min-max over the repetitions), from",
        "process start to exit, with the page cache warm and the console sent to /dev/null. The",
        "reference is `bench/floor.cc` (the same reads, direct writes, buffers and digests as tally,",
        "no vote) or, in the numpy row, `bench/numpy_vote.py`. MB/s is input bytes read per second",
        "(10^6 bytes). Peak RSS is the maximum resident set of one checked run of each program, from",
        "GNU time; the arena, tally's block buffers, is (inputs + 1) x 2 MiB.",
        "",
        "## Targets",
        "",
        "| Target | Measured | Result |",
        "|---|---|---|",
    ]
    for target, measured, verdict in targets(results, args.quick):
        lines.append(f"| {target} | {measured} | {verdict} |")
    lines += [
        "",
        "## All cases",
        "",
        "| Case | Mode | tally s (min-max) | reference s (min-max) | tally/ref | tally MB/s | ref MB/s "
        "| tally peak RSS MiB | ref peak RSS MiB | arena MiB | runs |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in ordered:
        case = r["key"].rsplit("/", 1)[0]
        mode = {"byte": "byte", "a": "-a", "sha256": "-sha256", "md5": "-md5"}[r["mode"]]
        if r["ref"] == "numpy":
            mode += " vs numpy"
        arena = (r["n"] + 1) * BLOCK / MIB
        if r["error"] or not r["tally"]:
            lines.append(f"| {case} | {mode} | not timed: {r['error']} | | | | | | | {arena:.0f} | 0 |")
            continue
        t, f = r["tally"], r["ref"]
        mt, mf = med(t), med(f)
        lines.append(
            f"| {case} | {mode} | {mt:.3f} ({min(t):.3f}-{max(t):.3f}) | {mf:.3f} ({min(f):.3f}-{max(f):.3f}) "
            f"| {mt / mf:.2f} | {r['inputs_bytes'] / mt / 1e6:.0f} | {r['inputs_bytes'] / mf / 1e6:.0f} "
            f"| {r['rss_kib'] / 1024:.1f} | {r.get('ref_rss_kib', 0) / 1024:.1f} | {arena:.0f} "
            f"| {len(t)}{' (' + r['note'] + ')' if 'note' in r else ''} |")
    lines += [
        "",
        "## How the inputs are made",
        "",
        "`bench/make_inputs.py`: one random file per size, shaped as 16-bit audio whose samples",
        "alternate in sign, so that the -a vote never meets a sample it takes for one a drive made",
        "up; damaged copies differ from it at 0.1% or 1% of their bytes at random places, or in",
        "bursts of 16-256 bytes covering 0.1%, never two copies in one sample, so the majority is",
        "always right and every checked output must equal the undamaged file. In the \"every byte",
        "differs\" cases input k is one random file XORed with a per-input pattern: no two inputs",
        "share a byte (up to 253 inputs) or a sample (up to 384), and the expected output is input 0;",
        "with -a, input 0 except where every candidate's sample lies within 1 of its neighbours'",
        "average (random data has a few), where it is the last candidate's (computed with numpy).",
        "",
        "The floor allocates its buffers like tally's fallback path (aligned to 2 MiB, huge-page",
        "advice, locked, zero-filled). Where the locked-memory limit is unlimited, tally takes its",
        "physical-memory path instead (a memfd mapping with 4 KiB pages), which the floor does not",
        "copy.",
    ]
    if getattr(args, "note", None):
        lines += ["", f"Note on this run: {args.note}"]
    lines += ["", "![throughput](throughput.png)", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def plot(path, results, info, quick):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    def series(pred, who="tally"):
        pts = sorted((r["n"], r["inputs_bytes"] / med(r[who]) / 1e6) for r in results.values()
                     if pred(r) and not r["error"] and r[who])
        return [p[0] for p in pts], [p[1] for p in pts]

    fig, ax = plt.subplots(figsize=(9, 6))
    for label, pred, style in [
        ("every byte differs, byte", lambda r: r["group"] == "worst" and r["mode"] == "byte", "o-"),
        ("every byte differs, -a", lambda r: r["group"] == "worst" and r["mode"] == "a", "o--"),
        ("clean", lambda r: r["group"] == "clean" and r["mode"] == "byte", "s-"),
        ("clean, -sha256", lambda r: r["group"] == "clean" and r["mode"] == "sha256", "s:"),
        ("0.1%, byte", lambda r: r["group"] == "p0.1" and r["mode"] == "byte", "^-"),
        ("0.1%, -a", lambda r: r["group"] == "p0.1" and r["mode"] == "a", "^--"),
        ("1%, byte", lambda r: r["group"] == "p1" and r["mode"] == "byte", "v-"),
        ("bursts, byte", lambda r: r["group"] == "burst" and r["mode"] == "byte", "d-"),
    ]:
        x, y = series(pred)
        if x:
            ax.plot(x, y, style, label=f"tally: {label}")
    x, y = series(lambda r: r["group"] == "clean" and r["mode"] == "byte", who="ref")
    if x:
        ax.plot(x, y, "kx--", linewidth=2, label="I/O floor (clean)")
    x, y = series(lambda r: r["group"] == "worst" and r["mode"] == "byte", who="ref")
    if x:
        ax.plot(x, y, "k+:", linewidth=2, label="I/O floor (every byte differs)")
    ax.set_xscale("log", base=2)
    counts = sorted({r["n"] for r in results.values()})
    ax.set_xticks(counts)
    ax.set_xticklabels([str(c) for c in counts])
    ax.xaxis.set_minor_locator(matplotlib.ticker.NullLocator())
    ax.set_yscale("log")
    ax.set_xlabel("number of inputs")
    ax.set_ylabel("MB/s of input read")
    title = "tally throughput" + (" (quick run)" if quick else "")
    ax.set_title(f"{title}\n{info['nproc']} CPUs, {info['cpu']}, {info['kernel']}, {info['date']}", fontsize=9)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# ---------------------------------------------------------------------------------------------


def save(path, info, args, results, duration):
    with open(path, "w") as f:
        json.dump(dict(machine=info, quick=args.quick, reps=args.reps, budget=args.budget, note=args.note,
                       duration=duration, results=results), f, indent=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tally", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--quick", action="store_true", help="reduced sizes, 3 repetitions")
    parser.add_argument("--reps", type=int, default=None, help="repetitions per program (default 5, quick 3)")
    parser.add_argument("--budget", type=float, default=None,
                        help="seconds of timed runs per case before repetitions are cut (default 900, quick 120)")
    parser.add_argument("--only", default=None, help="run only the cases whose key contains this text")
    parser.add_argument("--work", default=os.path.join(HERE, "work"))
    parser.add_argument("--note", default=None, help="a remark on the run's conditions, for RESULTS.md")
    parser.add_argument("--report-only", action="store_true",
                        help="rewrite RESULTS.md and the plot from the last run's work/results.json")
    parser.add_argument("--results", default=os.path.join(HERE, "RESULTS.md"))
    parser.add_argument("--plot", default=os.path.join(HERE, "throughput.png"))
    args = parser.parse_args()
    if args.reps is None:
        args.reps = 3 if args.quick else 5
    if args.budget is None:
        args.budget = 120.0 if args.quick else 900.0
    os.makedirs(args.work, exist_ok=True)

    def log(text):
        print(text, flush=True)

    saved = os.path.join(args.work, "results.json")
    if args.report_only:
        with open(saved) as f:
            data = json.load(f)
        args.quick, args.reps, args.budget = data["quick"], data["reps"], data["budget"]
        args.note = args.note or data.get("note")
        write_report(args.results, data["results"], data["machine"], args, data.get("duration", 0.0))
        plot(args.plot, data["results"], data["machine"], args.quick)
        return 0

    started = time.perf_counter()
    info = machine()
    log(f"tally benchmark{' (quick)' if args.quick else ''}: {info['nproc']} CPUs, {info['cpu']}, "
        f"kernel {info['kernel']}, {info['fs']}")
    results = {}
    for case in build_cases(args.work, args.quick):
        if args.only and args.only not in case["key"]:
            continue
        results[case["key"]] = run_case(args, case, log)
        # Partial results survive an interrupted run.
        save(saved, info, args, results, time.perf_counter() - started)
    duration = time.perf_counter() - started
    save(saved, info, args, results, duration)
    write_report(args.results, results, info, args, duration)
    plot(args.plot, results, info, args.quick)
    with open(args.results) as f:
        log("\n" + f.read())
    log(f"\nwhole run {duration / 60:.1f} min; table in {args.results}, plot in {args.plot}")
    failed = [r["key"] for r in results.values() if r["error"]]
    if failed:
        log("not timed (wrong output or failed run): " + ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
