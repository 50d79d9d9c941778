"""The store a command works on, and what the command reads of it: findings, stored texts, kinds."""
import ast
import hashlib
import json
import os

import velk_trust

from velk_trust_cli.output import Progress, while_showing
from velk_trust_cli.status import CommandError

# Verdicts of TrustStore.check() that are problems; "record" and "unknown" are not.
PROBLEMS = ("misplaced", "unreadable", "not a regular file", "temporary")


def of_type(record, kind):
    """--type's one meaning, in every subcommand: the stored entity_type, exactly. (The library's
    list_entities(kind) and get_by_type(kind) read a kind they do not know as "other".)"""
    return kind is None or record.entity_type == kind


def default_directory():
    """The record directory TrustStore() opens, found without making it (a test holds the two alike)."""
    home = os.environ.get("HOME", os.environ.get("USERPROFILE"))
    if home is None:
        velk_trust.TrustStore()  # raises "Storage error: Cannot find home directory"
    return os.path.join(home, ".velk", "governance", "entities")


def open_location(where, table, must_exist=True):
    """The store an address names (a connection text, else a record directory), by the module's
    own opener; one that must exist is refused rather than made."""
    return velk_trust.TrustStore.open(where, table, create=not must_exist)


def store_address(args):
    """--store's address, else $VELK_TRUST_STORE's (which keeps a connection text off the command
    line, where every user sees it), else the default directory."""
    if args.store is not None:
        return args.store
    return os.environ.get("VELK_TRUST_STORE") or default_directory()


def open_store(args, must_exist=True):
    """The store to work on: one that inspection must find, or (must_exist=False) one that a
    command that writes may make."""
    return open_location(store_address(args), args.table, must_exist)


def shown_address(store):
    """The store as people name it: the directory's path, or the table and the connection text
    without its passwords (as the store's repr shows them)."""
    if store.directory is not None:
        return store.directory
    call = ast.parse(repr(store), mode="eval").body
    text = ast.literal_eval(call.args[0])
    table = ast.literal_eval(call.keywords[0].value) if call.keywords else "velk_trust"
    return f"table '{table}' at {text}"


def findings_of(store):
    """store.check(), each finding marked with whether it is a table row rather than a file; the
    wait shown on a terminal."""
    rows = store.directory is None
    return [dict(f, row=rows) for f in while_showing("reading the store", store.check)]


def own_path(store, entity_id):
    """Where a record directory keeps entity_id's record (held to the module by the tests)."""
    return os.path.join(store.directory, hashlib.sha256(entity_id.encode("utf-8", "surrogatepass")).hexdigest()[:16]
                        + ".json")


def stored_text(finding):
    """The bytes a finding's record is stored as: its file's, or its row's (rows hold the writer's
    text of the record)."""
    if finding["row"]:
        return finding["record"].to_json().encode("utf-8")
    with open(finding["path"], "rb") as f:
        return f.read()


def readable_records(store):
    return [f for f in findings_of(store) if f["record"] is not None]


def summaries(findings, what="reading records"):
    """summary() of each readable finding, with progress."""
    progress = Progress(what, len(findings))
    out = []
    for f in findings:
        out.append(summary(f))
        progress.step()
    progress.clear()
    return out


def summary(finding):
    """A record as list and report show it, in the record's own vocabulary."""
    e = finding["record"]
    stored = json.loads(e.to_json())
    return {
        "entity_id": e.entity_id, "entity_type": e.entity_type, "level": e.trust_level(),
        "t3_average": e.t3_average(), "v3_average": e.v3_average(), "action_count": e.action_count,
        "success_rate": e.success_rate(), "witness_count": e.witness_count, "last_action": stored["last_action"],
        "path": finding["path"], "misplaced": finding["verdict"] == "misplaced",
    }


def missing_at_own_place(store, findings):
    """The entities of misplaced copies that have no record at their own place: {entity_id:
    [paths of their copies]}. Their next update starts from a neutral record unless repair moves a
    copy home."""
    copies = {}
    for f in findings:
        if f["verdict"] == "misplaced":
            copies.setdefault(f["entity_id"], []).append(f["path"])
    return {entity_id: paths for entity_id, paths in sorted(copies.items()) if not store.exists(entity_id)}


def require_directory(store, command):
    """The record directory of a store that must be one."""
    if store.directory is None:
        raise CommandError(f"{command} works on a record directory, not on a database")
    return store.directory
