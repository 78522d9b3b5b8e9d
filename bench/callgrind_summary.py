"""Summarise a callgrind file for bench/callgrind.sh --profile: the module's own functions and
the other functions by inclusive cost, and the top functions by exclusive cost, as shares of
the collected total.

python callgrind_summary.py FILE.callgrind [TOP]
"""

import re
import subprocess
import sys

LINE = re.compile(r"^\s*([\d,]+) \(\s*([\d.]+)%\)\s+(.*)$")


def entries(path: str, inclusive: bool):
    out = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100",
         path], capture_output=True, text=True, check=True).stdout
    seen = set()
    for line in out.splitlines():
        m = LINE.match(line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        where = m.group(3)
        lib = re.search(r"\[([^\]]*)\]\s*$", where)
        where = re.sub(r"\s*\[[^\]]*\]\s*$", "", where)
        file_, _, func = where.partition(":")
        file_ = re.sub(r"^.*/Python-3\.\d+\.\d+/", "", file_)
        file_ = re.sub(r"^/work/main/", "", file_)
        func = func.replace("(anonymous namespace)::", "").split("(", 1)[0]  # no parameter lists
        key = (file_, func)
        if key in seen:  # callgrind_annotate lists some functions once per file of inlined code
            continue
        seen.add(key)
        yield int(m.group(1).replace(",", "")), float(m.group(2)), file_, func, (
            lib.group(1).rsplit("/", 1)[-1] if lib else "")


def main() -> int:
    path = sys.argv[1]
    top = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    print("  module functions, inclusive:")
    n = 0
    for ir, pct, file_, func, _lib in entries(path, True):
        if file_.startswith("native/") and pct >= 1.0:
            print(f"    {pct:5.1f}%  {func}  ({file_})")
            n += 1
            if n >= top + 10:
                break
    print("  other functions, inclusive (what the module's calls cost):")
    n = 0
    for ir, pct, file_, func, lib in entries(path, True):
        if not file_.startswith("native/") and pct < 99.0 and "EvalFrame" not in func:
            print(f"    {pct:5.1f}%  {func}  ({file_.rsplit('/', 1)[-1]})")
            n += 1
            if n >= top:
                break
    print("  top functions, exclusive:")
    for i, (ir, pct, file_, func, lib) in enumerate(entries(path, False)):
        if i >= top:
            break
        print(f"    {pct:5.1f}%  {func}  ({file_.rsplit('/', 1)[-1]}{', ' + lib if lib else ''})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
