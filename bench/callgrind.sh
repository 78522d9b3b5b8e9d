#!/usr/bin/env bash
# Instruction counts of the builders under valgrind --tool=callgrind: no timing noise.
#
#   bench/callgrind.sh [--workloads W3,W4] [N]  this module and the floor, N ops each (default
#                                               200; W2 and W6, which are 1,000 rows per op,
#                                               N/50); writes bench/callgrind.json
#   QUARNA_BENCH_MINOR=13 bench/callgrind.sh ... the same on CPython 3.13 (its own bench venv);
#                                               writes bench/callgrind-3.13.json
#   bench/callgrind.sh --profile W1,W2,W3 [N]   per-function profile of this module's workloads
#                                               (top functions, exclusive and inclusive); with
#                                               --keep DIR the callgrind files stay in DIR
#
# Each count is (instructions of the measured loop) - (the same loop in a baseline run of the
# same script that makes no builder call), divided by N. Only the loop is collected
# (--collect-atstart=no and client requests around it); PYTHONHASHSEED is fixed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"
BENCH_DIR="$QUARNA_ROOT/bench"
MINOR="${QUARNA_BENCH_MINOR:-10}"
PY="$(bench_venv_dir "$MINOR")/bin/python"
if [ "$MINOR" = 10 ]; then OUT="$BENCH_DIR/callgrind.json"; else OUT="$BENCH_DIR/callgrind-3.$MINOR.json"; fi
HASHSEED=0

profile=""
keep=""
workloads="W3,W4"
while [ $# -gt 0 ]; do
    case "$1" in
        --profile) profile="$2"; shift 2 ;;
        --keep) keep="$2"; shift 2 ;;
        --workloads) workloads="$2"; shift 2 ;;
        *) break ;;
    esac
done
N="${1:-200}"
# ops_for WORKLOAD -> N, or N/50 (at least 2) for the 1,000-row workloads
ops_for() { case "$1" in W2|W6) echo $(( N / 50 > 2 ? N / 50 : 2 )) ;; *) echo "$N" ;; esac; }

if ! command -v valgrind >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "callgrind.sh: installing valgrind" >&2
        apt-get install -y -q valgrind >&2 || { apt-get update -q >&2 && apt-get install -y -q valgrind >&2; }
    else
        echo "callgrind.sh: valgrind is needed (apt-get install valgrind)" >&2
        exit 1
    fi
fi
# The bench venv with an up-to-date, unstripped optimised build of the module.
QUARNA_BENCH_INSTALL_ONLY=1 "$BENCH_DIR/run"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
[ -n "$keep" ] && mkdir -p "$keep" && work_out="$keep" || work_out="$work"
gcc -O2 -shared -fPIC "$BENCH_DIR/callgrind_toggle.c" -o "$work/callgrind_toggle.so"

# run WORKLOAD CONTENDER N [--baseline] -> prints the instruction total of the loop
run() {
    local out="$work_out/$1.$2${4:+.baseline}.callgrind"
    PYTHONHASHSEED=$HASHSEED valgrind --tool=callgrind --collect-atstart=no \
        --callgrind-out-file="$out" --dump-instr=no \
        "$PY" "$BENCH_DIR/callgrind_ops.py" "$work/callgrind_toggle.so" "$1" "$2" "$3" ${4:-} \
        2>"$out.log" || { cat "$out.log" >&2; return 1; }
    awk '/^(summary|totals):/ {print $2; exit}' "$out"
}

if [ -n "$profile" ]; then
    IFS=, read -ra wls <<<"$profile"
    for w in "${wls[@]}"; do
        n="$(ops_for "$w")"
        total="$(run "$w" module "$n")"
        base="$(run "$w" module "$n" --baseline)"
        echo "=== $w: $(( (total - base) / n )) instructions per op (N=$n) ==="
        "$PY" "$BENCH_DIR/callgrind_summary.py" "$work_out/$w.module.callgrind" 15
    done
    exit 0
fi

results="$work/results.txt"
: >"$results"
IFS=, read -ra wls <<<"$workloads"
for w in "${wls[@]}"; do
    n="$(ops_for "$w")"
    for c in module floor; do
        echo "callgrind.sh: $w $c, $n ops" >&2
        total="$(run "$w" "$c" "$n")"
        base="$(run "$w" "$c" "$n" --baseline)"
        echo "$w $c $n $total $base" >>"$results"
    done
done

"$PY" - "$results" "$HASHSEED" "$OUT" <<'PYEOF'
import json, subprocess, sys
sys.path.insert(0, sys.argv[3].rsplit("/", 1)[0])
import workloads as W
from provenance import measured_on

path, seed, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
valgrind = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
data = {**measured_on(), "versions": W.versions(), "valgrind": valgrind,
        "pythonhashseed": seed,
        "method": "(Ir of the measured loop - Ir of the same loop without builder calls) / n; "
                  "query objects made before the loop; only the loop collected",
        "workloads": {}}
for line in open(path):
    w, c, n, total, base = line.split()
    data["workloads"].setdefault(w, {})[c] = {
        "instructions_per_op": round((int(total) - int(base)) / int(n)), "n": int(n),
        "loop_total": int(total), "baseline_total": int(base)}
for w, cs in data["workloads"].items():
    if "module" in cs and "floor" in cs and cs["floor"]["instructions_per_op"] > 0:
        cs["module_over_floor"] = round(
            cs["module"]["instructions_per_op"] / cs["floor"]["instructions_per_op"], 2)
with open(out, "w") as f:
    json.dump(data, f, indent=1)
    f.write("\n")
for w, cs in data["workloads"].items():
    print(w, "  ".join(f"{c}: {v['instructions_per_op']:,} instructions/op"
                       for c, v in cs.items() if isinstance(v, dict)),
          f"  module/floor: {cs.get('module_over_floor')}")
print("saved", out)
PYEOF
