"""The store a command works on, and what the command reads of it: findings, stored texts, kinds."""
import json
import os

import velk_trust

from velk_trust_cli.status import CommandError

KINDS = ("mcp", "role", "session", "ref", "lct")
# Verdicts of TrustStore.check() that are problems; "record" and "unknown" are not.
PROBLEMS = ("misplaced", "unreadable", "not a regular file", "temporary")


def kind_of(text):
    """The kind a type text counts as: the text before the first ':' of a query, any unknown one 'other'."""
    text = text.split(":", 1)[0]
    return text if text in KINDS else "other"


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
    """The store to work on."""
    return open_location(store_address(args), args.table, must_exist)


def findings_of(store):
    """store.check(), each finding marked with whether it is a table row rather than a file."""
    rows = store.directory is None
    return [dict(f, row=rows) for f in store.check()]


def stored_text(finding):
    """The bytes a finding's record is stored as: its file's, or its row's (rows hold the writer's
    text of the record)."""
    if finding["row"]:
        return finding["record"].to_json().encode("utf-8")
    with open(finding["path"], "rb") as f:
        return f.read()


def stored_times(finding):
    """created_at and last_action as the store holds them (a record object shows no timestamps)."""
    try:
        data = json.loads(stored_text(finding))
    except (OSError, ValueError):
        return None, None
    return data.get("created_at"), data.get("last_action")


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


def require_directory(store, command):
    """The record directory of a store that must be one."""
    if store.directory is None:
        raise CommandError(f"{command} works on a record directory, not on a database")
    return store.directory
