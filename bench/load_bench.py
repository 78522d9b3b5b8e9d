"""Load and query a file of customer records with quarna-data and with sqlite-utils.

Run through bench/load_run, which makes the venv (quarna-data and sqlite-utils side by side, on
the same interpreter and the same SQLite library) and then calls this script.

1. Generates a JSON-lines file of N customer records (seeded, so every run gets the same bytes):
   nested objects, lists, ISO dates, non-ASCII names (some written in capitals), booleans, floats,
   and ``"_object_id"`` on every line. Default 1,000,000 records (about 560 MB), ``--quick``
   100,000. The file is made once per size in the work directory and reused.
2. Loads it with ``quarna-data load`` into a model table (created first) and with
   ``sqlite-utils insert --nl``, each into a fresh database.
3. Runs the same five queries on both databases, each as its own process writing to a file, then
   the time to the first row of a streamed read of the whole table whose output goes to a pipe that
   the reader closes after that row (like ``| head -1``).

Every step is one child process; its CPU time (user + system) and peak RSS come from
``os.wait4``. The answers are checked: both sides must return the same rows (compared by object
id, the ordered read by its sequence of names, the count by its value). Results are printed as a
table with the ratios against the targets and written to bench/load_results.json.
"""

from __future__ import annotations

import argparse
import datetime as dt
import hashlib
import json
import os
import platform
import random
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from provenance import describe, measured_on  # noqa: E402

BIN = os.path.dirname(sys.executable)
TOOL = os.path.join(BIN, "quarna-data")
PEER = os.path.join(BIN, "sqlite-utils")
RESULTS = os.path.join(HERE, "load_results.json")
TABLE = "person"
GENERATOR_VERSION = 1  # bump when the records change, so old files are not reused

FULL_RECORDS = 1_000_000
QUICK_RECORDS = 100_000

# Targets: the load, and every query.
LOAD_RSS_MB = 200
LOAD_CPU_RATIO = 1.2
QUERY_CPU_RATIO = 1.5
QUERY_RSS_MB = 100
FIRST_ROW_S = 1.0

# Column types of the model table the tool loads into.
COLUMNS = {
    "name": "text", "email": "text", "age": "integer", "active": "boolean", "balance": "real",
    "score": "real", "country": "text", "born": "text", "signed_up": "text", "location": "json",
    "tags": "json", "orders": "json", "preferences": "json",
}

# ---------------------------------------------------------------------------- the records

# country: (weight, cities, first names, last names, language)
COUNTRIES = {
    "NO": (13, ["Oslo", "Bergen", "Tromsø", "Trondheim", "Ålesund", "Bodø"],
           ["Øystein", "Åse", "Bjørn", "Sigrún", "Håkon", "Ingrid", "Kari", "Ola"],
           ["Løvås", "Sæther", "Bråten", "Hansen", "Ødegård", "Johansen", "Aasen"], "nb"),
    "DE": (15, ["Berlin", "München", "Köln", "Düsseldorf", "Nürnberg", "Hamburg"],
           ["Jürgen", "Käthe", "Günter", "Jörg", "Anna", "Lukas", "Björn", "Sophie"],
           ["Müller", "Schröder", "Köhler", "Weiß", "Groß", "Schmidt", "Böhm", "Krüger"], "de"),
    "RU": (10, ["Москва", "Санкт-Петербург", "Казань", "Новосибирск"],
           ["Иван", "Ольга", "Сергей", "Наталья", "Дмитрий", "Юлия"],
           ["Иванов", "Смирнова", "Кузнецов", "Попова", "Соколов", "Лебедева"], "ru"),
    "PL": (8, ["Kraków", "Łódź", "Gdańsk", "Wrocław", "Poznań"],
           ["Łukasz", "Małgorzata", "Paweł", "Agnieszka", "Michał", "Zofia"],
           ["Wójcik", "Kowalczyk", "Woźniak", "Lewandowski", "Dąbrowska", "Zieliński"], "pl"),
    "FR": (12, ["Paris", "Besançon", "Orléans", "Nîmes", "Saint-Étienne"],
           ["Hélène", "François", "Zoë", "Jérôme", "Cécile", "Gaël"],
           ["Lefèvre", "Dupré", "Bézier", "Chénier", "Martin", "Müller"], "fr"),
    "ES": (10, ["Madrid", "A Coruña", "Málaga", "Cádiz", "León"],
           ["José", "María", "Iñigo", "Begoña", "Ramón", "Lucía"],
           ["Núñez", "Muñoz", "Ibáñez", "García", "Peña", "Gómez"], "es"),
    "TR": (7, ["İstanbul", "İzmir", "Ankara", "Eskişehir", "Muğla"],
           ["Çağrı", "Şule", "Gökhan", "Ayşe", "İlker", "Özlem"],
           ["Çelik", "Öztürk", "Yıldız", "Şahin", "Doğan", "Aydın"], "tr"),
    "GR": (5, ["Αθήνα", "Θεσσαλονίκη", "Πάτρα", "Ηράκλειο"],
           ["Γιώργος", "Μαρία", "Νίκος", "Ελένη", "Δημήτρης"],
           ["Παπαδόπουλος", "Οικονόμου", "Γεωργίου", "Νικολάου"], "el"),
    "GB": (12, ["London", "Leeds", "Bristol", "Cardiff", "Glasgow"],
           ["Oliver", "Amelia", "Siân", "Eoghan", "Chloë", "Rhys"],
           ["Smith", "Jones", "O'Brien", "Taylor", "Brontë", "Evans"], "en"),
    "JP": (8, ["東京", "大阪", "京都", "札幌"],
           ["陽翔", "結衣", "蓮", "葵"], ["佐藤", "鈴木", "高橋", "田中"], "ja"),
}
TAGS = ["vip", "newsletter", "b2b", "returning", "früh", "mobile", "gift", "støtte", "beta", "λ"]
CHANNELS = ["email", "sms", "post", "push"]
STREETS = ["Storgata", "Hauptstraße", "ulica Długa", "Rue de l'Église", "Calle Mayor", "Atatürk Cd.",
           "Главная улица", "High Street", "Οδός Ερμού", "本町通り"]
EPOCH = dt.datetime(2015, 1, 1, tzinfo=dt.timezone.utc)


def ascii_local_part(first: str, last: str, number: int) -> str:
    text = f"{first}.{last}".lower().encode("ascii", "ignore").decode() or "customer"
    return f"{text.replace(' ', '').replace(chr(39), '')}{number}"


def records(count: int, seed: int) -> Iterator[Dict[str, Any]]:
    rng = random.Random(seed)
    codes = list(COUNTRIES)
    weights = [COUNTRIES[c][0] for c in codes]
    for number in range(count):
        country = rng.choices(codes, weights)[0]
        _, cities, firsts, lasts, language = COUNTRIES[country]
        first, last = rng.choice(firsts), rng.choice(lasts)
        name = f"{first} {last}"
        if rng.random() < 0.05:  # some systems hand names over in capitals
            name = name.upper()
        signed_up = EPOCH + dt.timedelta(seconds=rng.randrange(10 * 365 * 86400))
        orders = []
        for _ in range(rng.randrange(4)):
            when = signed_up + dt.timedelta(days=rng.randrange(1, 900))
            orders.append({"id": f"o{rng.randrange(10**9):09d}", "date": when.date().isoformat(),
                           "total": round(rng.uniform(5, 900), 2), "items": rng.randrange(1, 12)})
        yield {
            "_object_id": f"c{number:07d}",
            "name": name,
            "email": f"{ascii_local_part(first, last, number)}@example.{country.lower()}",
            "age": rng.randrange(18, 91),
            "active": rng.random() < 0.7,
            "balance": round(rng.uniform(-500, 25_000), 2),
            "score": rng.random(),
            "country": country,
            "born": dt.date(rng.randrange(1934, 2007), rng.randrange(1, 13), rng.randrange(1, 29)).isoformat(),
            "signed_up": signed_up.isoformat().replace("+00:00", "Z"),
            "location": {
                "street": rng.choice(STREETS), "number": rng.randrange(1, 200), "city": rng.choice(cities),
                "postcode": f"{rng.randrange(10000, 99999)}",
                "geo": {"lat": round(rng.uniform(-60, 70), 5), "lon": round(rng.uniform(-120, 150), 5)},
            },
            "tags": rng.sample(TAGS, rng.randrange(4)),
            "orders": orders,
            "preferences": {"language": language, "newsletter": rng.random() < 0.4,
                            "channels": rng.sample(CHANNELS, rng.randrange(1, 3))},
        }


def make_data(workdir: str, count: int, seed: int) -> str:
    """The data file for this size and seed, generated once and reused."""
    path = os.path.join(workdir, f"customers-{count}-s{seed}-v{GENERATOR_VERSION}.jsonl")
    done = path + ".done"
    if os.path.exists(path) and os.path.exists(done):
        return path
    log(f"generating {count:,} records into {path}")
    started = time.monotonic()
    with open(path + ".part", "w", encoding="utf-8") as out:
        for record in records(count, seed):
            out.write(json.dumps(record, ensure_ascii=False, separators=(",", ":")))
            out.write("\n")
    os.replace(path + ".part", path)
    with open(done, "w") as marker:
        marker.write(f"{os.path.getsize(path)}\n")
    log(f"  {os.path.getsize(path) / 1e6:.0f} MB in {time.monotonic() - started:.0f} s")
    return path


# ---------------------------------------------------------------------------- child processes


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def finished(pid: int, started: float) -> Dict[str, Any]:
    _, status, usage = os.wait4(pid, 0)
    return {
        "exit": os.waitstatus_to_exitcode(status),
        "wall_s": round(time.perf_counter() - started, 3),
        "user_s": round(usage.ru_utime, 3),
        "sys_s": round(usage.ru_stime, 3),
        "cpu_s": round(usage.ru_utime + usage.ru_stime, 3),
        "rss_mb": round(usage.ru_maxrss / 1024, 1),  # kilobytes on Linux
    }


def run(argv: Sequence[str], output: str) -> Dict[str, Any]:
    """Runs one child with its standard output going to ``output``; its CPU time and peak RSS."""
    errors = output + ".err"
    with open(output, "wb") as out, open(errors, "wb") as err:
        started = time.perf_counter()
        child = subprocess.Popen(list(argv), stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        result = finished(child.pid, started)
        child.returncode = result["exit"]  # reaped here, not by Popen
    if result["exit"] != 0:
        with open(errors, encoding="utf-8", errors="replace") as err:
            result["error"] = err.read().strip()[-500:]
    return result


def first_row(argv: Sequence[str], skip: int, timeout: float) -> Dict[str, Any]:
    """Seconds until the first row reaches a reader of the child's output through a pipe.

    The reader takes ``skip`` header lines and then one row, and closes the pipe (like
    ``| head -1``); the child is then expected to stop on the broken pipe.
    """
    started = time.perf_counter()
    child = subprocess.Popen(list(argv), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    fd = child.stdout.fileno()
    buffer, lines, seconds, line = b"", 0, None, b""
    deadline = started + timeout
    while seconds is None:
        left = deadline - time.perf_counter()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            os.kill(child.pid, signal.SIGKILL)  # our own child, by its id
            break
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        buffer += chunk
        while b"\n" in buffer and seconds is None:
            line, buffer = buffer.split(b"\n", 1)
            lines += 1
            if lines > skip:
                seconds = time.perf_counter() - started
    child.stdout.close()
    result = finished(child.pid, started)
    child.returncode = result["exit"]
    result["first_row_s"] = None if seconds is None else round(seconds, 3)
    result["first_line"] = line.decode("utf-8", "replace")[:120] if seconds is not None else None
    return result


# ---------------------------------------------------------------------------- the two sides


def tool_help(command: str) -> str:
    done = subprocess.run([TOOL, command, "--help"], capture_output=True, text=True)
    return done.stdout if done.returncode == 0 else ""


class Tool:
    name = "quarna-data"

    def __init__(self) -> None:
        self.can_create = bool(tool_help("create"))
        formats = tool_help("query")
        # The default format, and the one that matches the peer's --nl when there is one.
        self.stream_formats = ["table"] + (["ndjson"] if "ndjson" in formats else [])

    def create(self, db: str, output: str) -> Dict[str, Any]:
        if self.can_create:
            columns = [f"{column}:{kind}" for column, kind in COLUMNS.items()]
            return run([TOOL, "create", db, TABLE, *columns], output)
        # Before the tool could create tables: the Python host makes the model table.
        code = ("import json, sys\n"
                "from quarna_data.connections.sqlite import SqliteConnection\n"
                "conn = SqliteConnection(sys.argv[1])\n"
                "conn.create_model_table(sys.argv[2], json.loads(sys.argv[3]))\n"
                "conn.close()\n")
        return run([sys.executable, "-c", code, db, TABLE, json.dumps(COLUMNS)], output)

    def load(self, db: str, data: str, output: str) -> Dict[str, Any]:
        return run([TOOL, "load", db, TABLE, data], output)

    def query(self, db: str, query: "Query", output: str) -> Dict[str, Any]:
        return run([TOOL, "query", db, TABLE, *query.tool, "--format", "json"], output)

    def stream(self, db: str, timeout: float, form: str) -> Dict[str, Any]:
        skip = 2 if form == "table" else 0  # a table has a header and a rule
        result = first_row([TOOL, "query", db, TABLE, "--format", form], skip, timeout)
        result["format"] = form
        return result


class Peer:
    name = "sqlite-utils"

    def load(self, db: str, data: str, output: str) -> Dict[str, Any]:
        return run([PEER, "insert", db, TABLE, data, "--nl"], output)

    def query(self, db: str, query: "Query", output: str) -> Dict[str, Any]:
        return run([PEER, *query.peer(db)], output)

    def stream(self, db: str, timeout: float, form: str = "") -> Dict[str, Any]:
        result = first_row([PEER, "rows", db, TABLE, "--nl", "--json-cols"], 0, timeout)
        result["format"] = "--nl"
        return result


# ---------------------------------------------------------------------------- the queries

# Python's str.upper as an SQL function, for the peer's side of the case-insensitive lookup.
UNICODE_UPPER = "def py_upper(value):\n    return value.upper() if isinstance(value, str) else value\n"


class Query:
    """One read, as the tool's options and as the peer's command; ``check`` compares the answers."""

    def __init__(self, key: str, title: str, tool: List[str], peer: List[str], check: str) -> None:
        self.key, self.title, self.tool, self._peer, self.check = key, title, tool, peer, check

    def peer(self, db: str) -> List[str]:
        return [self._peer[0], db, *self._peer[1:]]


def queries(count: int) -> List[Query]:
    offset = count // 2
    return [
        Query("Q1", "equality: country = NO",
              ["--where", "country=NO"],
              ["query", "select * from person where country = :c", "-p", "c", "NO", "--json-cols"], "ids"),
        Query("Q2", "case-insensitive contains: name ~ müller",
              ["--where", "name__icontains=müller"],
              ["query", "select * from person where py_upper(name) like '%' || py_upper(:q) || '%'",
               "-p", "q", "müller", "--functions", UNICODE_UPPER, "--json-cols"], "ids"),
        Query("Q3", "JSON path: location.city = Bergen",
              ["--where", "location__city=Bergen"],
              ["query", "select * from person where cast(json_extract(location, '$.city') as text) = :c",
               "-p", "c", "Bergen", "--json-cols"], "ids"),
        Query("Q4", f"ordered page: by name, 1000 from {offset:,}",
              ["--order", "name", "--limit", "1000", "--offset", str(offset)],
              ["rows", TABLE, "--order", "name", "--limit", "1000", "--offset", str(offset), "--json-cols"],
              "names"),
        Query("Q5", "count: active and age < 30",
              ["--where", "active=true", "--where", "age__lt=30", "--count"],
              ["query", "select count(*) as count from person where active = 1 and age < 30"], "count"),
    ]


def answer(path: str, check: str) -> Tuple[int, Any]:
    """(number of rows, what is compared) of a query's output file.

    Read in a child process: a child's peak RSS includes that of the process that started it (the
    kernel counts the parent's resident pages at fork and at exec), so this process stays small.
    """
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--answer", path, check],
                          capture_output=True, text=True, check=True)
    rows, compared = json.loads(done.stdout)
    return rows, compared


def read_answer(path: str, check: str) -> Tuple[int, Any]:
    with open(path, encoding="utf-8") as stream:
        data = json.load(stream)
    if check == "count":
        if isinstance(data, list):  # the peer: [{"count": n}]
            data = data[0]
        number = data["count"] if isinstance(data, dict) else int(data)
        return number, number
    if check == "names":
        compared = [row.get("name") for row in data]
    else:
        compared = sorted(str(row.get("_object_id")) for row in data)
    digest = hashlib.sha256(json.dumps(compared, ensure_ascii=False).encode()).hexdigest()
    return len(data), digest


def launcher_floor(out: str) -> float:
    """Peak RSS (MB) of a child that does nothing: the least any child can show from here."""
    return run(["true"], os.path.join(out, "floor.txt"))["rss_mb"]


# ---------------------------------------------------------------------------- the run


def fresh(path: str) -> None:
    for leftover in (path, path + "-journal", path + "-wal", path + "-shm"):
        if os.path.exists(leftover):
            os.unlink(leftover)


def best(results: List[Dict[str, Any]]) -> Dict[str, Any]:
    """The repetition with the least CPU time (noise only ever adds), with the highest peak RSS."""
    chosen = dict(min(results, key=lambda r: r["cpu_s"]))
    chosen["rss_mb"] = max(r["rss_mb"] for r in results)
    if len(results) > 1:
        chosen["cpu_s_all"] = [r["cpu_s"] for r in results]
    return chosen


def ratio(a: Optional[float], b: Optional[float]) -> Optional[float]:
    return round(a / b, 2) if a is not None and b else None


def run_benchmark(args) -> Dict[str, Any]:
    count = args.records or (QUICK_RECORDS if args.quick else FULL_RECORDS)
    os.makedirs(args.workdir, exist_ok=True)
    data = make_data(args.workdir, count, args.seed)
    tool, peer = Tool(), Peer()
    dbs = {tool.name: os.path.join(args.workdir, "tool.sqlite"), peer.name: os.path.join(args.workdir, "peer.sqlite")}
    out = os.path.join(args.workdir, "out")
    os.makedirs(out, exist_ok=True)

    steps: List[Dict[str, Any]] = []
    fresh(dbs[tool.name])
    created = tool.create(dbs[tool.name], os.path.join(out, "create.txt"))
    if created["exit"] != 0:
        raise SystemExit(f"creating the model table failed: {created.get('error')}")
    load: Dict[str, Any] = {"key": "load", "title": f"{count:,} records", "how": "tool create: "
                            + ("quarna-data create" if tool.can_create else "SqliteConnection.create_model_table")}
    for side in (tool, peer):
        if side is peer:
            fresh(dbs[peer.name])
        log(f"load: {side.name}")
        load[side.name] = side.load(dbs[side.name], data, os.path.join(out, f"load-{side.name}.txt"))
        if load[side.name]["exit"] != 0:
            log(f"  failed: {load[side.name].get('error')}")
    with sqlite3.connect(f"file:{dbs[peer.name]}?mode=ro", uri=True) as conn:
        peer_rows = conn.execute(f"SELECT count(*) FROM {TABLE}").fetchone()[0]
    load["rows"] = {peer.name: peer_rows}
    if load[tool.name]["exit"] == 0:
        with sqlite3.connect(f"file:{dbs[tool.name]}?mode=ro", uri=True) as conn:
            load["rows"][tool.name] = conn.execute(f"SELECT count(*) FROM {TABLE}").fetchone()[0]
    load["same_answer"] = load["rows"].get(tool.name) == peer_rows == count
    steps.append(load)

    for query in queries(count):
        step: Dict[str, Any] = {"key": query.key, "title": query.title}
        answers = {}
        for side in (tool, peer):
            log(f"{query.key}: {side.name}")
            output = os.path.join(out, f"{query.key}-{side.name}.json")
            step[side.name] = best([side.query(dbs[side.name], query, output) for _ in range(args.repeat)])
            if step[side.name]["exit"] == 0:
                rows, compared = answer(output, query.check)
                step[side.name]["rows"] = rows
                answers[side.name] = compared
        step["same_answer"] = len(answers) == 2 and answers[tool.name] == answers[peer.name]
        step["compared"] = {"ids": "object ids", "names": "names in order", "count": "the count"}[query.check]
        steps.append(step)

    for form in tool.stream_formats:
        stream: Dict[str, Any] = {"key": "first row", "title": "whole table into a pipe, reader stops after one row"}
        for side in (tool, peer):
            log(f"first row ({form}): {side.name}")
            stream[side.name] = side.stream(dbs[side.name], args.timeout, form)
        stream["same_answer"] = None
        steps.append(stream)

    return {
        "mode": "quick" if args.quick else ("full" if not args.records else f"{count} records"),
        "label": args.label,
        "records": count,
        "data_file_mb": round(os.path.getsize(data) / 1e6, 1),
        "seed": args.seed,
        "repeat": args.repeat,
        "when": dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        **measured_on(),
        "python": platform.python_version(),
        "sqlite": sqlite3.sqlite_version,
        "sqlite_utils": package_version("sqlite-utils"),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "launcher_floor_mb": launcher_floor(out),
        "database_mb": {name: round(os.path.getsize(path) / 1e6, 1) for name, path in dbs.items()
                        if os.path.exists(path)},
        "steps": steps,
        "verdicts": verdicts(steps, tool.name, peer.name),
    }


def verdicts(steps: List[Dict[str, Any]], tool: str, peer: str) -> Dict[str, bool]:
    """Every target, met or not."""
    found: Dict[str, bool] = {}
    for step in steps:
        mine, theirs = step[tool], step[peer]
        ok = mine["exit"] == 0
        if step["key"] == "load":
            found["load rss"] = ok and mine["rss_mb"] < LOAD_RSS_MB
            found["load cpu"] = ok and mine["cpu_s"] <= LOAD_CPU_RATIO * theirs["cpu_s"]
            found["load rows"] = bool(step["same_answer"])
        elif step["key"] == "first row":
            found[f"first row {mine['format']}"] = mine["first_row_s"] is not None and mine["first_row_s"] < FIRST_ROW_S
        else:
            found[f"{step['key']} cpu"] = ok and mine["cpu_s"] <= QUERY_CPU_RATIO * theirs["cpu_s"]
            found[f"{step['key']} rss"] = ok and mine["rss_mb"] < QUERY_RSS_MB
            found[f"{step['key']} rows"] = bool(step["same_answer"])
    return found


def package_version(name: str) -> Optional[str]:
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


# ---------------------------------------------------------------------------- the report


def report(result: Dict[str, Any]) -> str:
    tool, peer = "quarna-data", "sqlite-utils"
    lines = [
        f"{result['records']:,} records ({result['data_file_mb']:.0f} MB of JSON lines), "
        f"{describe(result)}, CPython {result['python']}, SQLite {result['sqlite']}, "
        f"sqlite-utils {result['sqlite_utils']}, {result['machine']}, {result['when']}",
        "CPU = user + system seconds of the child; RSS = its peak resident set "
        f"(a child of this script shows at least {result.get('launcher_floor_mb', '?')} MB); "
        "ratio = quarna-data / sqlite-utils",
        "",
    ]
    head = ["step", "CPU s (q / s-u)", "ratio", "target", "RSS MB (q / s-u)", "target", "wall s (q / s-u)",
            "rows (q / s-u)", "same"]
    rows = [head]
    for step in result["steps"]:
        mine, theirs = step[tool], step[peer]
        failed = mine["exit"] != 0
        if step["key"] == "load":
            target_cpu, target_rss = f"<= {LOAD_CPU_RATIO}", f"< {LOAD_RSS_MB}"
            counts = f"{step['rows'].get(tool, '-')} / {step['rows'][peer]}"
        elif step["key"] == "first row":
            target_cpu, target_rss = "", ""
            counts = ""
        else:
            target_cpu, target_rss = f"<= {QUERY_CPU_RATIO}", f"< {QUERY_RSS_MB}"
            counts = f"{mine.get('rows', '-')} / {theirs.get('rows', '-')}"
        same = {True: "yes", False: "NO", None: ""}[step["same_answer"]]
        if step["key"] == "first row":
            first = [s["first_row_s"] for s in (mine, theirs)]
            text = " / ".join("none" if f is None else f"{f:.3f}" for f in first)
            rows.append([f"first row, s ({mine['format']} / {theirs['format']})", text, "",
                         f"< {FIRST_ROW_S:g} s", f"{mine['rss_mb']:.0f} / {theirs['rss_mb']:.0f}", "",
                         f"{mine['wall_s']:.2f} / {theirs['wall_s']:.2f}", "", ""])
            continue
        rows.append([
            f"{step['key']} {step['title']}" + (" [FAILED]" if failed else ""),
            f"{mine['cpu_s']:.2f} / {theirs['cpu_s']:.2f}", f"{ratio(mine['cpu_s'], theirs['cpu_s'])}",
            target_cpu, f"{mine['rss_mb']:.0f} / {theirs['rss_mb']:.0f}", target_rss,
            f"{mine['wall_s']:.2f} / {theirs['wall_s']:.2f}", counts, same,
        ])
    widths = [max(len(str(row[i])) for row in rows) for i in range(len(head))]
    for number, row in enumerate(rows):
        lines.append("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
        if number == 0:
            lines.append("  ".join("-" * width for width in widths))
    missed = [name for name, ok in result["verdicts"].items() if not ok]
    lines.append("")
    lines.append("targets missed: " + (", ".join(missed) if missed else "none"))
    for step in result["steps"]:
        for side in (tool, peer):
            if step[side]["exit"] != 0 and step["key"] != "first row":
                lines.append(f"{step['key']} {side} failed: {step[side].get('error', '')[:300]}")
    return "\n".join(lines)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help=f"{QUICK_RECORDS:,} records instead of {FULL_RECORDS:,}")
    parser.add_argument("--records", type=int, help="any other number of records")
    parser.add_argument("--seed", type=int, default=13, help="seed of the generated records (default 13)")
    parser.add_argument("--repeat", type=int, default=1,
                        help="runs of each query; the one with the least CPU time is kept (default 1)")
    parser.add_argument("--timeout", type=float, default=600.0,
                        help="seconds the first-row reader waits before it gives up (default 600)")
    parser.add_argument("--workdir", default=os.path.join("/tmp", "quarna-load-bench"),
                        help="where the data file, the databases and the outputs go (default /tmp/quarna-load-bench)")
    parser.add_argument("--label", help="a name for this run in the results file (e.g. before, after)")
    parser.add_argument("--results", default=RESULTS, help="the JSON file the results are added to")
    parser.add_argument("--from-json", action="store_true", help="print the tables of the results file and stop")
    parser.add_argument("--keep", action="store_true", help="keep the databases and outputs in the work directory")
    parser.add_argument("--answer", nargs=2, metavar=("FILE", "CHECK"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.answer:
        print(json.dumps(read_answer(*args.answer)))
        return 0

    stored: Dict[str, Any] = {}
    if os.path.exists(args.results):
        with open(args.results, encoding="utf-8") as stream:
            stored = json.load(stream)
    if args.from_json:
        for key, result in stored.items():
            print(f"== {key}\n{report(result)}\n")
        return 0

    for needed in (TOOL, PEER):
        if not os.path.exists(needed):
            parser.error(f"{needed} not found: run this through bench/load_run")
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    result = run_benchmark(args)
    key = result["mode"] + (f" {args.label}" if args.label else "")
    stored[key] = result
    with open(args.results, "w", encoding="utf-8") as stream:
        json.dump(stored, stream, indent=1, ensure_ascii=False)
        stream.write("\n")
    print(f"== {key}\n{report(result)}")
    if not args.keep:
        shutil.rmtree(os.path.join(args.workdir, "out"), ignore_errors=True)
        for path in ("tool.sqlite", "peer.sqlite"):
            fresh(os.path.join(args.workdir, path))
    return 0


if __name__ == "__main__":
    sys.exit(main())
