"""Peak memory of one W2 call (bulk INSERT of 1,000 rows x 8 columns).

Run after bench/run has made the venv: .venv/bench/bin/python bench/memory.py

Definitions, for one call made after a warm-up call, with its inputs made beforehand:

- returned size R = sys.getsizeof of the pair tuple + of the statement text + of the parameter
  tuple + of every parameter item the call created (an item that is not one of the input
  objects, counted once per object). For W2 every item is an input value, so R is the pair, the
  text and the tuple.
- tracemalloc peak P: tracemalloc's peak of traced memory during the call minus the traced
  memory just before it. tracemalloc sees only the interpreter's allocators (objects, PyMem);
  blocks that native code takes with malloc or C++ new are invisible to it.
- malloc peak M (a second process, PYTHONMALLOC=malloc and the LD_PRELOAD shim malloc_peak.c):
  the peak of the bytes held in malloc'd blocks (malloc_usable_size) during the call minus the
  bytes held just before it. This includes native scratch memory (piece lists, vectors).
  R is compared with M as well; M counts usable block sizes, so a result held in malloc'd
  blocks measures a little above its getsizeof.

Target: P / R <= 1.2 (and M / R is reported next to it).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import tracemalloc
from typing import Any, Dict, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workloads as W  # noqa: E402
from provenance import measured_on  # noqa: E402

TARGET = 1.2


def input_ids() -> set:
    ids = {id(W.TABLE)}
    for row in W.W2_ROWS:
        ids.add(id(row))
        for k, v in row.items():
            ids.add(id(k))
            ids.add(id(v))
    return ids


def returned_size(result: Any, inputs: set) -> Dict[str, int]:
    text, params = result
    created: Dict[int, Any] = {}
    for v in params:
        if id(v) not in inputs and v is not None:
            created[id(v)] = v
    items = sum(sys.getsizeof(v) for v in created.values())
    return {
        "pair": sys.getsizeof(result),
        "text": sys.getsizeof(text),
        "params": sys.getsizeof(params),
        "created_items": items,
        "created_item_count": len(created),
        "total": sys.getsizeof(result) + sys.getsizeof(text) + sys.getsizeof(params) + items,
    }


def contenders_w2(only: Optional[str]):
    db = W.create_check_database(10)
    for name in W.CONTENDERS:
        if only and name not in only.split(","):
            continue
        try:
            wl = W.load_contender(name, db)
        except Exception as e:  # pragma: no cover - a contender that is not installed
            print(f"{name}: not available ({e})", file=sys.stderr)
            continue
        make, build = wl["W2"]
        objs = make()
        try:
            build(objs)  # warm-up: caches, interned names
        except NotImplementedError as e:
            print(f"{name}: not available ({e})", file=sys.stderr)
            continue
        yield name, make, build


def measure_tracemalloc(only: Optional[str]) -> Dict[str, Dict[str, Any]]:
    inputs = input_ids()
    out = {}
    for name, make, build in contenders_w2(only):
        objs = make()
        gc.collect()
        gc.disable()
        tracemalloc.start()
        try:
            tracemalloc.reset_peak()
            before = tracemalloc.get_traced_memory()[0]
            result = build(objs)
            current, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
            gc.enable()
        size = returned_size(result, inputs)
        out[name] = {
            "tracemalloc_peak": peak - before,
            "tracemalloc_retained": current - before,
            "returned": size,
            "peak_over_returned": round((peak - before) / size["total"], 3),
        }
    return out


def measure_malloc(only: Optional[str], shim: str) -> Dict[str, Dict[str, Any]]:
    lib = ctypes.CDLL(shim)
    lib.malloc_peak_current.restype = ctypes.c_size_t
    lib.malloc_peak_peak.restype = ctypes.c_size_t
    inputs = input_ids()
    out = {}
    for name, make, build in contenders_w2(only):
        objs = make()
        gc.collect()
        gc.disable()
        try:
            lib.malloc_peak_reset()
            before = lib.malloc_peak_current()
            result = build(objs)
            after, peak = lib.malloc_peak_current(), lib.malloc_peak_peak()
        finally:
            gc.enable()
        size = returned_size(result, inputs)
        out[name] = {
            "malloc_peak": peak - before,
            "malloc_retained": after - before,
            "peak_over_returned": round((peak - before) / size["total"], 3),
        }
    return out


def build_shim(directory: str) -> str:
    path = os.path.join(directory, "malloc_peak.so")
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", os.path.join(HERE, "malloc_peak.c"),
                    "-o", path], check=True)
    return path


def main() -> int:
    ap = argparse.ArgumentParser(description="Peak memory of one W2 call")
    ap.add_argument("--contenders", default=None, help="comma list (default: all)")
    ap.add_argument("--json", default=os.path.join(HERE, "memory.json"))
    ap.add_argument("--no-save", action="store_true")
    ap.add_argument("--malloc-child", default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.malloc_child:
        json.dump(measure_malloc(args.contenders, args.malloc_child), sys.stdout)
        return 0

    traced = measure_tracemalloc(args.contenders)
    malloc: Dict[str, Any] = {}
    with tempfile.TemporaryDirectory() as tmp:
        try:
            shim = build_shim(tmp)
            env = dict(os.environ, PYTHONMALLOC="malloc", LD_PRELOAD=shim)
            cmd = [sys.executable, os.path.abspath(__file__), "--malloc-child", shim]
            if args.contenders:
                cmd += ["--contenders", args.contenders]
            child = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
            malloc = json.loads(child.stdout)
        except (OSError, subprocess.CalledProcessError) as e:
            print(f"malloc measurement skipped: {e}", file=sys.stderr)

    print("W2 (bulk INSERT, 1,000 rows x 8 columns), one call; R = returned size (getsizeof)")
    print(f"{'':28}{'R bytes':>10}{'tracemalloc P':>15}{'P/R':>7}{'malloc M':>11}{'M/R':>7}")
    for name, t in traced.items():
        m = malloc.get(name, {})
        print(f"{W.LABELS[name]:28}{t['returned']['total']:>10}{t['tracemalloc_peak']:>15}"
              f"{t['peak_over_returned']:>7.2f}{m.get('malloc_peak', 0):>11}"
              f"{m.get('peak_over_returned', float('nan')):>7.2f}")
    if "module" in traced:
        r = traced["module"]["peak_over_returned"]
        print(f"\ntarget P/R <= {TARGET}: {'pass' if r <= TARGET else 'FAIL'} ({r:.3f})")
    if not args.no_save:
        with open(args.json, "w") as f:
            json.dump({**measured_on(), "versions": W.versions(), "definition": __doc__, "target": TARGET,
                       "tracemalloc": traced, "malloc": malloc}, f, indent=1)
            f.write("\n")
        print(f"saved {os.path.relpath(args.json)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
