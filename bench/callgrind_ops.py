"""One measured loop for bench/callgrind.sh, run under valgrind --tool=callgrind --collect-atstart=no.

python callgrind_ops.py TOGGLE_SO WORKLOAD CONTENDER N [--baseline]

Makes N fresh sets of query objects first (not collected), then collects only while the loop
builds the N statements. With --baseline the script does no builder call at all: the same loop
calls a function that does nothing, so (run - baseline) / N is the builder's cost per operation.
"""

import ctypes
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workloads as W  # noqa: E402


def main() -> int:
    toggle_so, workload, contender, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    baseline = "--baseline" in sys.argv[5:]
    toggle = ctypes.CDLL(toggle_so)
    make, build = W.load_contender(contender, W.create_check_database(10))[workload]
    if baseline:
        def build(_):  # noqa: F811 - same call shape, no builder
            return None
    else:
        for _ in range(3):  # warm-up outside the collected region (caches, interned names)
            build(make())
    objs = [make() for _ in range(n)]
    gc.collect()
    gc.disable()
    start, stop = toggle.cg_start, toggle.cg_stop
    start()
    for o in objs:
        build(o)
    stop()
    gc.enable()
    return 0


if __name__ == "__main__":
    sys.exit(main())
