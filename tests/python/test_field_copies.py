"""The places beside the module that list the record's fields follow its field table: a field that
one of them misses fails here, naming the place."""
import ast
import json
import pathlib
import re
import sys

from velk_trust import EntityTrust, TrustStore

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_every_copy_of_the_field_list_follows_the_table(tmp_path):
    store = TrustStore(str(tmp_path / "records"))
    store.save(EntityTrust("mcp:fields"))
    [file] = (tmp_path / "records").iterdir()
    written = list(json.loads(file.read_text()))  # the table, in its order: every persisted field
    shown = list(EntityTrust("mcp:fields").to_dict())  # the fields Python sees
    assert shown == [k for k in written if k not in ("last_action", "created_at")]

    stub = ast.parse((ROOT / "velk_trust.pyi").read_text())
    [typed] = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "_EntityTrustDict"]
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import baseline
    finally:
        sys.path.pop(0)
    readme = (ROOT / "README.md").read_text()
    section = readme[readme.index("### `EntityTrust(entity_id)`"):readme.index("### `TrustStore(path=None)`")]
    dictionary = (ROOT / "fuzz" / "record.dict").read_text()

    places = {
        "velk_trust.pyi, _EntityTrustDict": [n.target.id for n in typed.body if isinstance(n, ast.AnnAssign)],
        "bench/baseline.py, EntityTrust.to_dict": list(baseline.EntityTrust("mcp:fields").to_dict()),
        "bench/baseline.py, EntityTrust.to_json": list(json.loads(baseline.EntityTrust("mcp:fields").to_json())),
        "README.md, the EntityTrust member table": [k for k in shown if f"`{k}`" in section],
        "fuzz/record.dict": [k for k in written if f'"\\"{k}\\""' in dictionary],
    }
    wanted = {
        "velk_trust.pyi, _EntityTrustDict": shown,
        "bench/baseline.py, EntityTrust.to_dict": shown,
        "bench/baseline.py, EntityTrust.to_json": written,
        "README.md, the EntityTrust member table": shown,
        "fuzz/record.dict": written,
    }
    stale = {place: sorted(set(wanted[place]) ^ set(keys)) or "order" for place, keys in places.items()
             if keys != wanted[place]}
    assert not stale, f"these places do not list the record's fields as its table does: {stale}"
