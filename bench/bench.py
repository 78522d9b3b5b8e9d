"""Benchmark of the statement builders against peer query builders. Run it through bench/run.

For every workload (workloads.py) and contender: first a check that the statement runs on a real
SQLite database and gives the same rows as this module's (and that the floor's text and
parameters equal the module's exactly), then the timing:

- "build": the query objects of every operation are made fresh beforehand (one set per
  operation, never reused), and only building the statement pair from them is timed;
- "construct + build": making the query objects is timed too.

Each timing is the best of --repeat repeats; a repeat times a loop of n operations (n chosen so
that a repeat lasts about --target-ms) with the garbage collector off, as timeit does, and
reports the mean per operation. The loop and the call of the op function cost the same for every
contender and are included; their cost is measured and reported as "harness".
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import sqlite3
import sys
import textwrap
import time
from typing import Any, Callable, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workloads as W  # noqa: E402
from provenance import describe, measured_on  # noqa: E402

perf_counter_ns = time.perf_counter_ns

TARGETS = {
    "sqlalchemy_cache": 100.0,  # the module at least this many times faster
    "pypika": 50.0,
    "sqlglot": 50.0,
    "floor": 3.0,  # the module at most this many times slower (W1-W5)
}
W6_FLOOR_TARGET = 1.2


# --------------------------------------------------------------------------------------------
# Checks


def _rows(db: sqlite3.Connection, sql: str, params: Any) -> List[tuple]:
    return db.execute(sql, params).fetchall()


def _write_rows(sql: str, params: Any) -> List[tuple]:
    db = sqlite3.connect(":memory:")
    cols = ", ".join(f'"{c}" {t}' for c, t in W.PERSON_COLUMNS)
    db.execute(f"CREATE TABLE person ({cols})")
    db.execute(sql, params)
    return db.execute(
        "SELECT " + ", ".join(f'"{c}"' for c in W.WRITE_COLUMNS) + " FROM person "
        "ORDER BY partition_key, range_key"
    ).fetchall()


def check(loaded: Dict[str, Dict], db: sqlite3.Connection, workloads: List[str]) -> Dict:
    """Run every contender's statement and compare with the module (or the floor)."""
    report: Dict[str, Dict[str, str]] = {}
    for w in workloads:
        report[w] = {}
        outputs: Dict[str, Any] = {}
        for name, wl in loaded.items():
            if w not in wl:
                continue
            make, build = wl[w]
            try:
                outputs[name] = build(make())
            except NotImplementedError as e:
                report[w][name] = f"not available: {e}"
            except Exception as e:  # a contender that fails is reported, not fatal
                report[w][name] = f"error: {type(e).__name__}: {e}"
        if w == "W6":
            expected = [
                (json.loads(r["data"]), json.loads(r["tags"])) for r in W.W6_ROWS
            ]
            if "module" in outputs:
                got = [(rec.get("data"), rec.get("tags")) for rec in outputs["module"]]
                ok = got == expected and all(
                    rec.get("_object_id") == r["partition_key"] for rec, r in zip(outputs["module"], W.W6_ROWS)
                )
                report[w]["module"] = "ok" if ok else "MISMATCH: decoded records differ"
            if "floor" in outputs:
                report[w]["floor"] = "ok" if outputs["floor"] == expected else "MISMATCH"
            continue
        reference = "module" if "module" in outputs else "floor"
        results: Dict[str, Any] = {}
        for name, (sql, params) in outputs.items():
            try:
                if w in ("W1", "W2"):
                    results[name] = _write_rows(sql, params)
                else:
                    results[name] = _rows(db, sql, params)
            except Exception as e:
                report[w][name] = f"error on SQLite: {type(e).__name__}: {e}"
        ref_rows = results.get(reference)
        for name, rows in results.items():
            if w == "W3":  # no ORDER BY; fewer matching rows than the limit
                same = sorted(rows) == sorted(ref_rows or [])
            else:
                same = rows == ref_rows
            report[w][name] = "ok" if same and rows else (
                "MISMATCH with " + reference if rows else "no rows")
        if "module" in outputs and "floor" in outputs:
            if tuple(outputs["module"][0:1]) != tuple(outputs["floor"][0:1]) or list(
                outputs["module"][1]
            ) != list(outputs["floor"][1]):
                report[w]["floor"] = "MISMATCH: floor text/parameters differ from the module's"
        if ref_rows is not None:
            report[w]["_rows"] = str(len(ref_rows) if w != "W5" else ref_rows[0][0])
    return report


# --------------------------------------------------------------------------------------------
# Timing


def _loop_build(build: Callable, objs: List[Any]) -> int:
    gc.collect()
    gc.disable()
    try:
        t0 = perf_counter_ns()
        for o in objs:
            build(o)
        return perf_counter_ns() - t0
    finally:
        gc.enable()


def _loop_construct(make: Callable, build: Callable, n: int) -> int:
    gc.collect()
    gc.disable()
    try:
        t0 = perf_counter_ns()
        for _ in range(n):
            build(make())
        return perf_counter_ns() - t0
    finally:
        gc.enable()


def measure(make: Callable, build: Callable, mode: str, repeats: int, target_ns: int,
            max_ops: int) -> Dict[str, Any]:
    def run(n: int) -> int:
        if mode == "build":
            objs = [make() for _ in range(n)]
            return _loop_build(build, objs)
        return _loop_construct(make, build, n)

    for _ in range(3):  # warm-up: caches of the contender (statement cache, table description)
        build(make())
    k = 1
    while True:
        elapsed = run(k)
        if elapsed >= 10_000_000 or k >= max_ops:
            break
        k = min(max_ops, k * 4)
    per_op = max(elapsed / k, 1.0)
    n = int(max(1, min(max_ops, target_ns / per_op)))
    times = [run(n) / n for _ in range(repeats)]
    return {"ns_per_op": min(times), "repeats_ns": [round(t, 1) for t in times],
            "ops_per_repeat": n}


def harness_overhead(repeats: int) -> Dict[str, float]:
    def noop(_):
        return None

    def none():
        return None

    out = {}
    for mode in ("build", "construct"):
        out[mode] = measure(none, noop, mode, repeats, 20_000_000, 100_000)["ns_per_op"]
    return out


# --------------------------------------------------------------------------------------------
# Output


def fmt_ns(ns: Optional[float]) -> str:
    if ns is None:
        return "-"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def fmt_ratio(r: Optional[float]) -> str:
    if r is None:
        return "-"
    return f"{r:.1f}x" if r < 100 else f"{r:.0f}x"


def print_tables(results: Dict, contenders: List[str], mode: str) -> None:
    title = {"build": "build (fresh query objects made beforehand, untimed)",
             "construct": "construct + build"}[mode]
    width = 13
    head = f"{'':4} " + "".join(f"{W.SHORT[c]:>{width}}" for c in contenders)
    print(f"\n== ns/op, {title} ==")
    print(head)
    for w, entry in results["workloads"].items():
        cells = []
        for c in contenders:
            m = entry[mode].get(c)
            cells.append(fmt_ns(m["ns_per_op"]) if m else "-")
        print(f"{w:4} " + "".join(f"{x:>{width}}" for x in cells))
    peers = [c for c in contenders if c not in ("module", "floor")]
    print(f"\n== ratios, {title}: peer / this module (above 1: the module is faster), "
          f"and this module / floor ==")
    print(f"{'':4} " + "".join(f"{W.SHORT[c]:>{width}}" for c in peers)
          + f"{'module/floor':>{width}}")
    for w, entry in results["workloads"].items():
        ratios = entry[mode + "_ratio_vs_module"]
        cells = [fmt_ratio(ratios.get(c)) for c in peers]
        floor = ratios.get("floor")
        cells.append(fmt_ratio(1 / floor) if floor else "-")
        print(f"{w:4} " + "".join(f"{x:>{width}}" for x in cells))


def chart(results: Dict, contenders: List[str], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    wls = list(results["workloads"])
    fig, axes = plt.subplots(2, 1, figsize=(12, 9), sharex=True)
    colors = {"module": "#1b7837", "sqlalchemy_cache": "#2166ac", "sqlalchemy_nocache": "#67a9cf",
              "pypika": "#b2182b", "sqlglot": "#ef8a62", "floor": "#7f7f7f"}
    bar_w = 0.8 / len(contenders)
    for ax, mode in zip(axes, ("build", "construct")):
        bars: Dict[str, tuple] = {c: ([], []) for c in contenders}
        for j, w in enumerate(wls):
            present = [c for c in contenders if results["workloads"][w][mode].get(c)]
            for i, c in enumerate(present):  # the bars of a workload are centred on its tick
                bars[c][0].append(j + (i - (len(present) - 1) / 2) * bar_w)
                bars[c][1].append(results["workloads"][w][mode][c]["ns_per_op"])
        for c in contenders:
            ax.bar(bars[c][0], bars[c][1], bar_w, label=W.LABELS[c], color=colors.get(c))
        ax.set_yscale("log")
        ax.set_ylabel("ns per operation (log scale)")
        ax.set_title({"build": "Build the statement from fresh query objects",
                      "construct": "Construct the query objects and build the statement"}[mode])
        ax.grid(axis="y", which="major", alpha=0.4)
    axes[-1].set_xticks(range(len(wls)))
    axes[-1].set_xticklabels(
        [w + "\n" + "\n".join(textwrap.wrap(W.DESCRIPTIONS[w], 24)) for w in wls], fontsize=7.5)
    axes[0].legend(fontsize=8, ncol=3)
    v = results["versions"]
    fig.suptitle(f"SQLite statement builders, CPython {v['python']}; lower is better; "
                 f"best of {results['repeat']}", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def evaluate_targets(results: Dict) -> List[Dict[str, Any]]:
    out = []
    for mode in ("build", "construct"):
        for w, entry in results["workloads"].items():
            ratios = entry[mode + "_ratio_vs_module"]
            if w == "W6":
                r = ratios.get("floor")
                if r is not None:
                    out.append({"mode": mode, "workload": w, "target": "within 1.2x of floor",
                                "value": round(1 / r, 3), "limit": W6_FLOOR_TARGET,
                                "pass": 1 / r <= W6_FLOOR_TARGET})
                continue
            for c, limit in TARGETS.items():
                r = ratios.get(c)
                if r is None:
                    continue
                if c == "floor":
                    out.append({"mode": mode, "workload": w, "target": "within 3x of floor",
                                "value": round(1 / r, 2), "limit": limit, "pass": 1 / r <= limit})
                else:
                    out.append({"mode": mode, "workload": w,
                                "target": f">= {limit:.0f}x faster than {W.LABELS[c]}",
                                "value": round(r, 1), "limit": limit, "pass": r >= limit})
    return out


def budgets(results: Dict) -> Dict[str, Dict[str, Any]]:
    """Per workload and mode: the largest module time that meets every target of that row."""
    out: Dict[str, Dict[str, Any]] = {}
    for w, entry in results["workloads"].items():
        out[w] = {}
        for mode in ("build", "construct"):
            times = {c: m["ns_per_op"] for c, m in entry[mode].items()}
            if "module" not in times:
                continue
            limits = []
            if w == "W6":
                if "floor" in times:
                    limits.append(times["floor"] * W6_FLOOR_TARGET)
            else:
                for c, limit in TARGETS.items():
                    if c in times:
                        limits.append(times[c] * limit if c == "floor" else times[c] / limit)
            if limits:
                budget = min(limits)
                out[w][mode] = {"budget_ns": round(budget, 1),
                                "module_over_budget": round(times["module"] / budget, 2)}
    return out


def report(results: Dict, modes: List[str]) -> None:
    contenders = [c for c in W.CONTENDERS
                  if any(c in e[m] for e in results["workloads"].values() for m in modes)]
    print(f"\nCPython {results['versions']['python']}, {describe(results)}, best of "
          f"{results['repeat']}; harness (loop + call) {results['harness_ns']['build']:.0f} ns/op")
    for mode in modes:
        print_tables(results, contenders, mode)
    if results["targets"]:
        print("\n== targets ==")
        for t in results["targets"]:
            print(f"  [{'pass' if t['pass'] else 'FAIL'}] {t['mode']:9} {t['workload']} "
                  f"{t['target']}: {t['value']}")
        print("\n== budget: the largest module time that meets all targets of the workload ==")
        for w, b in results["budgets"].items():
            print(f"  {w}: " + "; ".join(
                f"{mode} {fmt_ns(v['budget_ns'])} (module {v['module_over_budget']}x of it)"
                for mode, v in b.items()))


# --------------------------------------------------------------------------------------------


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeat", type=int, default=7, help="repeats; the best is kept (7)")
    ap.add_argument("--target-ms", type=float, default=100.0, help="length of one repeat (100)")
    ap.add_argument("--max-ops", type=int, default=5000, help="operations per repeat at most")
    ap.add_argument("--only", default=",".join(W.WORKLOADS), help="workloads, e.g. W3,W4")
    ap.add_argument("--contenders", default=",".join(W.CONTENDERS))
    ap.add_argument("--modes", default="build,construct")
    ap.add_argument("--json", default=os.path.join(HERE, "results.json"))
    ap.add_argument("--png", default=os.path.join(HERE, "results.png"))
    ap.add_argument("--no-save", action="store_true", help="print only")
    ap.add_argument("--from-json", action="store_true",
                    help="no run: print the tables and redraw the chart from --json")
    args = ap.parse_args(argv)

    if args.from_json:
        with open(args.json) as f:
            results = json.load(f)
        results["targets"] = evaluate_targets(results)
        results["budgets"] = budgets(results)
        report(results, ["build", "construct"])
        if not args.no_save:
            save(results, args.json, args.png)
        return 0

    workloads = [w for w in args.only.split(",") if w]
    modes = [m for m in args.modes.split(",") if m]
    db = W.create_check_database()
    loaded: Dict[str, Dict] = {}
    unavailable: Dict[str, str] = {}
    for c in args.contenders.split(","):
        try:
            loaded[c] = W.load_contender(c, db)
        except Exception as e:
            unavailable[c] = f"{type(e).__name__}: {e}"
            print(f"{W.LABELS.get(c, c)}: not available ({unavailable[c]})", file=sys.stderr)

    print("checking statements on SQLite ...", file=sys.stderr)
    checks = check(loaded, db, workloads)
    for w in workloads:
        print(f"  {w}: " + ", ".join(f"{k}={v}" for k, v in checks[w].items()), file=sys.stderr)

    results: Dict[str, Any] = {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        **measured_on(),
        "versions": W.versions(),
        "repeat": args.repeat,
        "target_ms": args.target_ms,
        "harness_ns": harness_overhead(args.repeat),
        "unavailable": unavailable,
        "checks": checks,
        "descriptions": {w: W.DESCRIPTIONS[w] for w in workloads},
        "workloads": {},
    }
    contenders = [c for c in W.CONTENDERS if c in loaded]
    for w in workloads:
        entry: Dict[str, Any] = {}
        for mode in ("build", "construct"):
            entry[mode] = {}
            entry[mode + "_ratio_vs_module"] = {}
            if mode not in modes:
                continue
            for c in contenders:
                if w not in loaded[c] or not checks[w].get(c, "").startswith("ok"):
                    continue
                make, build = loaded[c][w]
                print(f"timing {w} {mode:9} {W.LABELS[c]} ...", file=sys.stderr, flush=True)
                entry[mode][c] = measure(make, build, mode, args.repeat,
                                         int(args.target_ms * 1e6), args.max_ops)
            base = entry[mode].get("module")
            entry[mode + "_ratio_vs_module"] = {
                c: (m["ns_per_op"] / base["ns_per_op"] if base else None)
                for c, m in entry[mode].items()
            }
        results["workloads"][w] = entry
    results["targets"] = evaluate_targets(results)
    results["budgets"] = budgets(results)
    report(results, modes)
    if not args.no_save:
        save(results, args.json, args.png)
    return 0


def save(results: Dict, json_path: str, png_path: str) -> None:
    with open(json_path, "w") as f:
        json.dump(results, f, indent=1)
        f.write("\n")
    contenders = [c for c in W.CONTENDERS
                  if any(c in e[m] for e in results["workloads"].values()
                         for m in ("build", "construct"))]
    chart(results, contenders, png_path)
    print(f"\nsaved {os.path.relpath(json_path)} and {os.path.relpath(png_path)}")


if __name__ == "__main__":
    sys.exit(main())
