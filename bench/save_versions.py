"""Time of one save of an object that already has 1, 1,000, 10,000 and 50,000 versions.

Not a test: ``python bench/save_versions.py [--repeat N] [--workdir DIR]`` with the package
installed. The versions are written in one bulk save, then ``save`` is timed ``--repeat`` times
at each size (each save is its own transaction, on a file); the median is printed, in ms.
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time

from quarna_data.connections.sqlite import SqliteConnection

SIZES = (1, 1_000, 10_000, 50_000)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50)
    parser.add_argument("--workdir", default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.workdir) as directory:
        conn = SqliteConnection(os.path.join(directory, "versions.sqlite"))
        conn.create_model_table("doc", {"n": "integer", "body": "json"})
        conn.create_model_table("other", {"n": "integer"})
        conn.bulk_save("other", ((f"o{i}", {"n": i}) for i in range(10_000)))  # other objects around it
        have = 0
        print(f"{'versions':>9}  {'ms per save':>11}")
        for size in SIZES:
            # The object gets its versions up to size (minus the saves timed before).
            conn.bulk_save("doc", (("a", {"n": i, "body": {"i": i}}) for i in range(size - have)))
            have = size
            times = []
            for i in range(args.repeat):
                start = time.perf_counter()
                conn.save("doc", "a", {"n": i, "body": {"i": i}})
                times.append(time.perf_counter() - start)
            have += args.repeat
            print(f"{size:>9,}  {statistics.median(times) * 1000:>11.3f}", flush=True)
        conn.close()


if __name__ == "__main__":
    main()
