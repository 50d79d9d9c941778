"""velk-trust: look after a velk_trust record store from the command line.

    velk-trust [--store PATH] list [--type KIND] [--sort id|level|actions|last-action] [--json]
    velk-trust [--store PATH] show ID [--raw] [--json]
    velk-trust [--store PATH] check [--json]
    velk-trust [--store PATH] decay --days N --rate R [--type KIND] [--min-idle D] [--json]
    velk-trust [--store PATH] repair [--dry-run] [--json]
    velk-trust [--store PATH] export [--type KIND] [-o FILE]
    velk-trust [--store PATH] import FILE [--replace]
    velk-trust [--table NAME] copy SOURCE TARGET
    velk-trust [--store PATH] report [--html FILE] [--json]

PATH, SOURCE and TARGET are record directories or PostgreSQL connection texts (a postgresql:// URI
or libpq keywords), whose records are rows of the table --table names. list, show, check, export
and report write nothing; repair never deletes a record (unreadable ones
go to a quarantine directory beside the store). Exit status: 0 on success, 1 when check finds
problems, show finds no record or the store fails (one line on stderr), 2 on a usage error, 130 on
Ctrl-C.
"""
import argparse
import fcntl
import html
import json
import os
import re
import sys
import tempfile
import time

import velk_trust

KINDS = ("mcp", "role", "session", "ref", "lct")
# Verdicts of TrustStore.check() that are problems; "record" and "unknown" are not.
PROBLEMS = ("misplaced", "unreadable", "not a regular file", "temporary")


class CommandError(Exception):
    """A failure to report in one line, with exit status 1."""


def kind_of(text):
    """The kind a type text counts as: the text before the first ':' of a query, any unknown one 'other'."""
    text = text.split(":", 1)[0]
    return text if text in KINDS else "other"


def is_database(where):
    """True for a connection text (a postgresql:// URI or libpq keywords), not a directory path."""
    return where.startswith(("postgresql://", "postgres://")) or re.match(r"\s*\w+\s*=", where) is not None


def store_directory(args):
    """The record directory named by --store, else the one TrustStore() opens."""
    if args.store is not None:
        if is_database(args.store):
            raise CommandError(f"{args.command} works on a record directory, not on a database")
        return args.store
    home = os.environ.get("HOME", os.environ.get("USERPROFILE"))
    if home is None:
        velk_trust.TrustStore()  # raises "Storage error: Cannot find home directory"
    return os.path.join(home, ".velk", "governance", "entities")


def open_location(where, table, must_exist=True):
    """A database store for a connection text, else a record directory's store. Opening a directory
    creates it, so a missing one is refused here when it must exist."""
    if is_database(where):
        return velk_trust.TrustStore.connect(where, table=table)
    if must_exist and not os.path.isdir(where):
        raise CommandError(f"no record directory at {where!r}")
    return velk_trust.TrustStore(where)


def open_store(args):
    """The store to look at: --store's directory or database, else the default directory."""
    if args.store is not None and is_database(args.store):
        return open_location(args.store, args.table)
    return open_location(store_directory(args), args.table)


def findings_of(store):
    """store.check(), each finding marked with whether it is a table row rather than a file."""
    rows = repr(store).startswith("TrustStore.connect(")
    return [dict(f, row=rows) for f in store.check()]


def written_text(record):
    """The writer's text of a record: what a row holds, byte for byte."""
    with tempfile.TemporaryDirectory() as folder:
        velk_trust.TrustStore(folder).save(record)
        [name] = os.listdir(folder)
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()


def stored_text(finding):
    """The bytes a finding's record is stored as: its file's, or its row's."""
    if finding["row"]:
        return written_text(finding["record"])
    with open(finding["path"], "rb") as f:
        return f.read()


def stored_times(finding):
    """created_at and last_action as the store holds them (a record object shows no timestamps)."""
    try:
        data = json.loads(stored_text(finding))
    except (OSError, ValueError):
        return None, None
    return data.get("created_at"), data.get("last_action")


class Progress:
    """A progress bar on stderr for work that has taken over a second, only when stderr is a terminal."""

    def __init__(self, what, total):
        self.what, self.total, self.start, self.shown = what, total, time.monotonic(), False
        self.terminal = sys.stderr.isatty()

    def step(self, done):
        if not self.terminal or (done % 20 and done != self.total) or time.monotonic() - self.start < 1.0:
            return
        filled = 30 * done // max(1, self.total)
        print(f"\r{self.what} [{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}", end="", file=sys.stderr,
              flush=True)
        self.shown = True

    def close(self):
        if self.shown:
            print(file=sys.stderr)


def readable_records(store):
    return [f for f in findings_of(store) if f["record"] is not None]


def summary(finding):
    e = finding["record"]
    _, last_action = stored_times(finding)
    return {
        "entity_id": e.entity_id, "kind": kind_of(e.entity_type), "level": e.trust_level(),
        "t3_average": e.t3_average(), "v3_average": e.v3_average(), "action_count": e.action_count,
        "success_rate": e.success_rate(), "witness_count": e.witness_count, "last_action": last_action,
        "path": finding["path"], "misplaced": finding["verdict"] == "misplaced",
    }


def print_table(header, rows, right=()):
    """Columns as wide as their widest cell; the columns numbered in right are aligned right."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        cells = [str(c).rjust(w) if k in right else str(c).ljust(w) for k, (c, w) in enumerate(zip(row, widths))]
        print("  ".join(cells).rstrip())


def short_time(text):
    """A stored timestamp to the second, for a table: 2026-12-08T09:15:02.481516Z -> 2026-12-08 09:15:02."""
    return "-" if text is None else text[:19].replace("T", " ")


SORTS = {
    "id": lambda s: s["entity_id"],
    "level": lambda s: -s["t3_average"],
    "actions": lambda s: -s["action_count"],
    "last-action": lambda s: s["last_action"] or "",
}


def run_list(args):
    rows = [summary(f) for f in readable_records(open_store(args))]
    if args.type is not None:
        rows = [r for r in rows if r["kind"] == kind_of(args.type)]
    rows.sort(key=SORTS[args.sort], reverse=args.sort == "last-action")
    if args.json:
        print(json.dumps(rows, indent=2))
        return 0
    print_table(["ID", "KIND", "LEVEL", "T3", "V3", "ACTIONS", "SUCCESS", "WITNESSES", "LAST ACTION"],
                [[r["entity_id"] + (" (misplaced)" if r["misplaced"] else ""), r["kind"], r["level"],
                  f"{r['t3_average']:.3f}", f"{r['v3_average']:.3f}", r["action_count"], f"{r['success_rate']:.2f}",
                  r["witness_count"], short_time(r["last_action"])] for r in rows],
                right=(3, 4, 5, 6, 7))
    return 0


def run_show(args):
    store = open_store(args)
    found = [f for f in readable_records(store) if f["entity_id"] == args.id]
    # The record at its own path is the one update and get use; a misplaced copy only if there is no other.
    found.sort(key=lambda f: f["verdict"] != "record")
    if not found:
        raise CommandError(f"no record of {args.id!r} in {store!r} (show creates none)")
    finding = found[0]
    text = stored_text(finding)
    if args.raw:
        sys.stdout.buffer.write(text)
        sys.stdout.buffer.flush()
        return 0
    e = finding["record"]
    data = json.loads(text)
    data.update(level=e.trust_level(), success_rate=e.success_rate(),
                days_since_last_action=e.days_since_last_action(), path=finding["path"])
    if args.json:
        print(json.dumps(data, indent=2))
        return 0
    width = max(len(key) for key in data)
    for key, value in data.items():
        if isinstance(value, list):
            value = ", ".join(value) if value else "-"
        elif value is None:
            value = "-"
        print(f"{key.ljust(width)}  {value}")
    return 0


def run_check(args):
    findings = sorted(findings_of(open_store(args)), key=lambda f: f["path"])
    problems = [f for f in findings if f["verdict"] in PROBLEMS]
    if args.json:
        print(json.dumps([{k: f[k] for k in ("path", "verdict", "entity_id", "detail")} for f in findings], indent=2))
    else:
        for f in findings:
            about = " ".join(x for x in (f["entity_id"] and repr(f["entity_id"]), f["detail"]) if x)
            print(f"{f['verdict']:<18}  {f['path']}" + (f"  {about}" if about else ""))
        records = sum(1 for f in findings if f["verdict"] == "record")
        print(f"{len(findings)} entries: {records} records in place, {len(problems)} "
              f"problem{'' if len(problems) == 1 else 's'}")
    return 1 if problems else 0


def run_decay(args):
    store = open_store(args)
    findings = findings_of(store)
    chosen = [f["entity_id"] for f in findings if f["verdict"] == "record" and
              (args.type is None or kind_of(f["record"].entity_type) == kind_of(args.type))]
    misplaced = sum(1 for f in findings if f["verdict"] == "misplaced")
    changed = done = 0
    progress = Progress("decay", len(chosen))
    try:
        for entity_id in chosen:
            # Each record under the directory lock, saved atomically: Ctrl-C leaves it decayed or untouched.
            changed += store.decay(entity_id, args.days, args.rate, args.min_idle)
            done += 1
            progress.step(done)
    except KeyboardInterrupt:
        progress.close()
        print(f"velk-trust: interrupted after {done} of {len(chosen)} records ({changed} decayed); "
              "the others are untouched", file=sys.stderr)
        return 130
    progress.close()
    if args.json:
        print(json.dumps({"records": len(chosen), "decayed": changed, "misplaced_skipped": misplaced}))
    else:
        print(f"{changed} of {len(chosen)} records decayed" +
              (f"; {misplaced} misplaced copies skipped (see check)" if misplaced else ""))
    return 0


# A temporary file no save holds may still be one of an older release's saves, which hold none:
# such a file is removed once it is this old, or when the process its name gives is gone.
STALE_SECONDS = 120


def temporary_in_use(path):
    """True while a save holds the lock it keeps on its temporary file."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def writer_gone(path):
    """True when the name ends in .<pid>-<n>.tmp and no process <pid> exists."""
    pid = os.path.basename(path)[:-len(".tmp")].rsplit(".", 1)[-1].split("-")[0]
    if not pid.isdigit():
        return False
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def quarantine_path(directory, name):
    """A free name for name in the quarantine directory beside the record directory."""
    quarantine = directory.rstrip("/") + ".quarantine"
    os.makedirs(quarantine, exist_ok=True)
    target, k = os.path.join(quarantine, name), 1
    while os.path.lexists(target):
        target, k = os.path.join(quarantine, f"{name}.{k}"), k + 1
    return target


def repair_one(finding, directory, dry_run):
    """What repair does with one finding: (action, path, detail)."""
    path, verdict = finding["path"], finding["verdict"]
    if verdict == "misplaced":
        own = finding["detail"]
        if os.path.lexists(own):
            return "conflict", path, f"{finding['entity_id']!r}: {own} exists; both left as they are"
        if dry_run:
            return "would move", path, own
        try:
            os.link(path, own)  # never over a file, even one that appeared meanwhile
        except FileExistsError:
            return "conflict", path, f"{finding['entity_id']!r}: {own} exists; both left as they are"
        os.unlink(path)
        return "moved", path, own
    if verdict == "unreadable":
        if dry_run:
            return "would quarantine", path, finding["detail"]
        target = quarantine_path(directory, os.path.basename(path))
        os.rename(path, target)
        return "quarantined", path, target
    if verdict == "temporary":
        try:
            age = time.time() - os.lstat(path).st_mtime
        except FileNotFoundError:
            return "gone", path, "removed meanwhile"
        if temporary_in_use(path):
            return "left", path, "a save is writing it"
        if not (age >= STALE_SECONDS or writer_gone(path)):
            return "left", path, f"younger than {STALE_SECONDS} s: perhaps a save of an older release"
        if dry_run:
            return "would remove", path, f"{age:.0f} s old"
        os.unlink(path)
        return "removed", path, f"{age:.0f} s old"
    return "left", path, finding["detail"] or verdict


def run_repair(args):
    store = open_store(args)
    if args.store is not None and is_database(args.store):
        # Rows have no leftovers to clear and no place to move a copy to; repair deletes no record.
        left = [f for f in findings_of(store) if f["verdict"] in PROBLEMS]
        for f in sorted(left, key=lambda f: f["path"]):
            print(f"left              {f['path']}  {f['detail']}")
        print(f"{len(left)} problem{'' if len(left) == 1 else 's'} left (a database store is repaired by hand)")
        return 1 if left else 0
    directory = store_directory(args)
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        # The lock update, witness and delete hold: no call of the module changes the directory
        # while the findings are acted on. check() itself takes no lock.
        fcntl.flock(fd, fcntl.LOCK_EX)
        findings = sorted(findings_of(store), key=lambda f: f["path"])
        actions = [repair_one(f, directory, args.dry_run) for f in findings if f["verdict"] not in ("record",)]
    finally:
        os.close(fd)
    left = [f for f in findings_of(store) if f["verdict"] in PROBLEMS]
    if args.json:
        print(json.dumps({"actions": [dict(zip(("action", "path", "detail"), a)) for a in actions],
                          "problems_left": len(left)}, indent=2))
    else:
        for action, path, detail in actions:
            print(f"{action:<16}  {path}  {detail}")
        dry = " (dry run: nothing changed)" if args.dry_run else ""
        print(f"{len(left)} problem{'' if len(left) == 1 else 's'} left{dry}")
    return 1 if left else 0


# A JSON string (kept as written) or a run of white space outside strings (dropped).
TOKENS = re.compile(r'("(?:[^"\\]|\\.)*")|\s+')


def compact(text):
    """A record text on one line, every token as written: numbers and timestamps stay exact."""
    return TOKENS.sub(lambda m: m.group(1) or "", text)


def exported_records(store, kind=None):
    """(finding, stored text) of every readable record, in path order, and the findings that are not."""
    readable, unreadable = [], []
    for f in sorted(findings_of(store), key=lambda f: f["path"]):
        if f["verdict"] == "unreadable":
            unreadable.append(f)
        elif f["record"] is not None and (kind is None or kind_of(f["record"].entity_type) == kind_of(kind)):
            try:
                readable.append((f, stored_text(f).decode("utf-8")))
            except (OSError, UnicodeDecodeError) as e:
                unreadable.append({**f, "detail": str(e)})
    return readable, unreadable


def run_export(args):
    readable, unreadable = exported_records(open_store(args), args.type)
    out = open(args.output, "w", encoding="utf-8") if args.output else sys.stdout
    try:
        for _, text in readable:
            out.write(compact(text) + "\n")
    finally:
        if out is not sys.stdout:
            out.close()
    for f in unreadable:
        print(f"velk-trust: not exported: {f['path']}: {f['detail']}", file=sys.stderr)
    print(f"{len(readable)} records exported", file=sys.stderr)
    return 1 if unreadable else 0


def run_import(args):
    source = sys.stdin if args.file == "-" else open(args.file, encoding="utf-8")
    with source:
        lines = source.read().splitlines()
    records, errors = [], []
    for number, line in enumerate(lines, 1):
        if line.strip():
            try:
                records.append(velk_trust.EntityTrust.from_json(line))
            except ValueError as e:
                errors.append(f"{args.file}: line {number}: {e}")
    if errors:  # every line is read before any is written
        for error in errors:
            print(f"velk-trust: {error}", file=sys.stderr)
        print("velk-trust: nothing imported", file=sys.stderr)
        return 1
    store = open_store(args) if args.store is not None and is_database(args.store) else \
        velk_trust.TrustStore(store_directory(args))
    imported = 0
    progress = Progress("import", len(records))
    for done, record in enumerate(records, 1):
        if args.replace or not store.exists(record.entity_id):
            store.save(record)
            imported += 1
        progress.step(done)
    progress.close()
    print(f"{imported} records imported, {len(records) - imported} skipped as already there"
          + ("" if args.replace else " (--replace overwrites them)"))
    return 0


def run_copy(args):
    readable, unreadable = exported_records(open_location(args.source, args.table))
    target = open_location(args.target, args.table, must_exist=False)
    progress = Progress("copy", len(readable))
    for done, (_, text) in enumerate(readable, 1):
        target.save(velk_trust.EntityTrust.from_json(text))
        progress.step(done)
    progress.close()
    # The target must now hold each record as the source does: the same bytes where the source file
    # is in the writer's form, the same values and timestamps in any case.
    held = {f["entity_id"]: f for f in findings_of(target) if f["verdict"] == "record"}
    same_bytes = differing = 0
    for f, text in readable:
        copied = held.get(f["record"].entity_id)
        copied_text = stored_text(copied).decode("utf-8") if copied else None
        if copied_text == text:
            same_bytes += 1
        elif copied_text is None or (velk_trust.EntityTrust.from_json(copied_text).__reduce__()[2] !=
                                     velk_trust.EntityTrust.from_json(text).__reduce__()[2]):
            differing += 1
            print(f"velk-trust: {f['path']} differs from its copy", file=sys.stderr)
    for f in unreadable:
        print(f"velk-trust: not copied: {f['path']}: {f['detail']}", file=sys.stderr)
    print(f"{len(readable)} records copied to {args.target}: {same_bytes} byte for byte, "
          f"{len(readable) - same_bytes - differing} rewritten in the writer's form, {differing} differing")
    return 1 if differing or unreadable else 0


LEVELS = ("high", "medium-high", "medium", "low", "minimal")
BINS = 10  # the T3 histogram: 0.0-0.1, ..., 0.9-1.0


def report_figures(store):
    rows = [summary(f) for f in readable_records(store) if f["verdict"] == "record"]
    kinds = sorted({r["kind"] for r in rows}, key=lambda k: (k == "other", KINDS.index(k) if k in KINDS else 0))
    by_kind = {kind: {level: sum(1 for r in rows if r["kind"] == kind and r["level"] == level) for level in LEVELS}
               for kind in kinds}
    histogram = [0] * BINS
    for r in rows:
        if r["t3_average"] == r["t3_average"]:  # NaN counts nowhere
            histogram[min(BINS - 1, max(0, int(r["t3_average"] * BINS)))] += 1
    pick = ("entity_id", "level", "t3_average", "action_count", "success_rate")
    return {
        "entities": len(rows),
        "by_kind": by_kind,
        "by_level": {level: sum(counts[level] for counts in by_kind.values()) for level in LEVELS},
        "least_trusted": [{k: r[k] for k in pick}
                          for r in sorted(rows, key=lambda r: (r["t3_average"], r["entity_id"]))[:5]],
        "most_active": [{k: r[k] for k in pick}
                        for r in sorted(rows, key=lambda r: (-r["action_count"], r["entity_id"]))[:5]],
        "t3_histogram": histogram,
    }


def bin_label(k):
    return f"{k / BINS:.1f}-{(k + 1) / BINS:.1f}"


def print_report(figures):
    print(f"{figures['entities']} entities\n")
    print_table(["KIND", *(level.upper() for level in LEVELS), "ALL"],
                [[kind, *counts.values(), sum(counts.values())] for kind, counts in figures["by_kind"].items()]
                + [["all", *figures["by_level"].values(), figures["entities"]]], right=range(1, len(LEVELS) + 2))
    for title, key in (("Least trusted", "least_trusted"), ("Most active", "most_active")):
        print(f"\n{title}\n")
        print_table(["ID", "LEVEL", "T3", "ACTIONS", "SUCCESS"],
                    [[r["entity_id"], r["level"], f"{r['t3_average']:.3f}", r["action_count"],
                      f"{r['success_rate']:.2f}"] for r in figures[key]], right=(2, 3, 4))
    print("\nT3 averages\n")
    widest = max(figures["t3_histogram"]) or 1
    for k, count in enumerate(figures["t3_histogram"]):
        print(f"{bin_label(k)}  {'#' * round(40 * count / widest):<40}  {count}")


LEVEL_COLOURS = {"high": "#1a9850", "medium-high": "#91cf60", "medium": "#fee08b", "low": "#fc8d59",
                 "minimal": "#d73027"}


def svg_levels_per_kind(figures):
    """One horizontal bar per kind, a segment per trust level, its count written on it."""
    kinds = list(figures["by_kind"].items())
    widest = max((sum(c.values()) for _, c in kinds), default=1) or 1
    height = 40 + 34 * len(kinds)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="760" height="{height}" role="img" '
             'aria-label="trust levels per kind">']
    for k, level in enumerate(LEVELS):
        parts.append(f'<rect x="{100 + k * 130}" y="6" width="14" height="14" fill="{LEVEL_COLOURS[level]}"/>'
                     f'<text x="{120 + k * 130}" y="18" font-size="13">{level}</text>')
    for row, (kind, counts) in enumerate(kinds):
        y = 36 + 34 * row
        parts.append(f'<text x="0" y="{y + 18}" font-size="14">{html.escape(kind)}</text>')
        x = 100.0
        for level in LEVELS:
            if counts[level]:
                w = 620 * counts[level] / widest
                parts.append(f'<rect x="{x:.1f}" y="{y}" width="{w:.1f}" height="26" fill="{LEVEL_COLOURS[level]}">'
                             f'<title>{html.escape(kind)}, {level}: {counts[level]}</title></rect>'
                             f'<text x="{x + w / 2:.1f}" y="{y + 18}" font-size="13" text-anchor="middle">'
                             f'{counts[level]}</text>')
                x += w
    parts.append("</svg>")
    return "".join(parts)


def svg_histogram(figures):
    """The T3 averages in ten bins, each bar with its count above it."""
    counts = figures["t3_histogram"]
    widest = max(counts) or 1
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="760" height="260" role="img" '
             'aria-label="T3 average distribution">']
    for k, count in enumerate(counts):
        h = 180 * count / widest
        x = 20 + k * 72
        parts.append(f'<rect x="{x}" y="{210 - h:.1f}" width="60" height="{h:.1f}" fill="#4575b4">'
                     f'<title>{bin_label(k)}: {count}</title></rect>'
                     f'<text x="{x + 30}" y="{204 - h:.1f}" font-size="13" text-anchor="middle">{count}</text>'
                     f'<text x="{x + 30}" y="230" font-size="12" text-anchor="middle">{bin_label(k)}</text>')
    parts.append("</svg>")
    return "".join(parts)


def html_report(figures, store):
    def table(rows):
        head = "<tr><th>Entity</th><th>Level</th><th>T3</th><th>Actions</th><th>Success</th></tr>"
        body = "".join(f"<tr><td>{html.escape(r['entity_id'])}</td><td>{r['level']}</td><td>{r['t3_average']:.3f}</td>"
                       f"<td>{r['action_count']}</td><td>{r['success_rate']:.2f}</td></tr>" for r in rows)
        return f"<table>{head}{body}</table>"

    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>velk-trust report</title>
<style>body{{font-family:sans-serif;margin:2em;color:#222}}table{{border-collapse:collapse}}
td,th{{border:1px solid #ccc;padding:.2em .6em;text-align:left}}h2{{margin-top:1.5em}}</style></head>
<body><h1>Trust report</h1>
<p>{html.escape(repr(store))}: <strong id="entities">{figures['entities']}</strong> entities.</p>
<h2>Trust levels per kind</h2>{svg_levels_per_kind(figures)}
<h2>T3 average distribution</h2>{svg_histogram(figures)}
<h2>Least trusted</h2>{table(figures['least_trusted'])}
<h2>Most active</h2>{table(figures['most_active'])}
</body></html>
"""


def run_report(args):
    store = open_store(args)
    figures = report_figures(store)
    if args.html:
        with open(args.html, "w", encoding="utf-8") as f:
            f.write(html_report(figures, store))
    if args.json:
        print(json.dumps(figures, indent=2))
    elif args.html:
        print(f"report of {figures['entities']} entities written to {args.html}")
    else:
        print_report(figures)
    return 0


def build_parser():
    def formatter(prog):
        return argparse.RawDescriptionHelpFormatter(prog, max_help_position=32)

    common = argparse.ArgumentParser(add_help=False)
    # Given here or before the command; SUPPRESS keeps a value given before it.
    common.add_argument("--store", metavar="PATH", default=argparse.SUPPRESS,
                        help="the record directory, or a PostgreSQL connection text "
                             "(default: the directory TrustStore() opens)")
    common.add_argument("--table", metavar="NAME", default=argparse.SUPPRESS,
                        help="the table of a database store (default: velk_trust)")
    parser = argparse.ArgumentParser(prog="velk-trust", description=__doc__.split("\n\n")[0],
                                     formatter_class=formatter, epilog="example:\n  velk-trust --store ./records check")
    parser.add_argument("--store", metavar="PATH", default=None,
                        help="the record directory, or a PostgreSQL connection text "
                             "(default: the directory TrustStore() opens)")
    parser.add_argument("--table", metavar="NAME", default="velk_trust",
                        help="the table of a database store (default: velk_trust)")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, run, summary_text, example):
        sub = commands.add_parser(name, parents=[common], help=summary_text, description=summary_text,
                                  formatter_class=formatter, epilog=f"example:\n  {example}")
        sub.set_defaults(run=run)
        sub.add_argument("--json", action="store_true", help="print JSON for scripts instead of a table")
        return sub

    sub = command("list", run_list, "one line per entity: identifier, kind, level, averages, counts, last action",
                  "velk-trust list --type mcp --sort level")
    sub.add_argument("--type", metavar="KIND", help="only entities of this kind (mcp, role, session, ref, lct, other)")
    sub.add_argument("--sort", choices=list(SORTS), default="id", help="order of the lines (default: id)")
    sub = command("show", run_show, "one record in full, with its level, success rate and days since its last action",
                  "velk-trust show mcp:filesystem")
    sub.add_argument("id", metavar="ID", help="the entity identifier, e.g. mcp:filesystem")
    sub.add_argument("--raw", action="store_true", help="print the stored text exactly")
    command("check", run_check, "every entry of the record directory with its verdict; exit status 1 on problems",
            "velk-trust check --json")
    sub = command("decay", run_decay, "let trust decay: apply_decay(N, R) to every record (idle ones with "
                  "--min-idle), each under the directory lock", "velk-trust decay --days 30 --rate 0.01 --min-idle 30")
    sub.add_argument("--days", type=float, required=True, metavar="N", help="days of inactivity to apply")
    sub.add_argument("--rate", type=float, required=True, metavar="R", help="decay rate per day")
    sub.add_argument("--type", metavar="KIND", help="only entities of this kind")
    sub.add_argument("--min-idle", type=float, default=0.0, metavar="D",
                     help="only records whose last action is at least D days old")
    sub = command("repair", run_repair, "move misplaced records to their own paths, remove stale temporary files, "
                  "move unreadable files into a quarantine directory beside the store; exit status 1 when "
                  "problems are left", "velk-trust repair --dry-run")
    sub.add_argument("--dry-run", action="store_true", help="report what would be done, change nothing")
    sub = command("export", run_export, "every readable record as one line of JSON (JSON Lines), values exact; "
                  "unreadable records named on stderr (exit status 1)", "velk-trust export -o backup.jsonl")
    sub.add_argument("--type", metavar="KIND", help="only entities of this kind")
    sub.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    sub = command("import", run_import, "records from JSON Lines, every line checked before any is written; "
                  "existing identifiers skipped unless --replace", "velk-trust import backup.jsonl --replace")
    sub.add_argument("file", metavar="FILE", help="the JSON Lines file ('-' for standard input)")
    sub.add_argument("--replace", action="store_true", help="overwrite records that exist")
    sub = command("copy", run_copy, "copy every readable record of one store to another and check the copy",
                  "velk-trust copy ./records /backup/records")
    sub.add_argument("source", metavar="SOURCE", help="the record directory or database to copy")
    sub.add_argument("target", metavar="TARGET",
                     help="the record directory (made if missing) or database to copy into")
    sub = command("report", run_report, "counts by kind and trust level, the least trusted and the most active "
                  "entities, a histogram of T3 averages", "velk-trust report --html report.html")
    sub.add_argument("--html", metavar="FILE", help="also write one self-contained page with SVG charts")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except (ValueError, CommandError, OSError) as e:
        print(f"velk-trust: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("velk-trust: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
