"""The store's rules, the same on every backend: what an unreadable, oversized or misplaced record
does to each call, from the records' own media (files, rows) as a damaged store holds them."""
import pickle
import subprocess
import sys
import textwrap

import pytest

import velk_trust

BROKEN = "Serialization error: key must be a string at line 1 column 2"


def noun(store_kind):
    return "record file" if store_kind == "directory" else "row"


def failures(store, entity_id):
    """The text each call that names entity_id raises (None for one that succeeds)."""
    calls = {
        "get": lambda: store.get(entity_id),
        "update": lambda: store.update(entity_id, True, 1.0),
        "as target": lambda: store.witness("session:w", entity_id, True, 1.0),
        "as witness": lambda: store.witness(entity_id, "session:t", True, 1.0),
        "decay": lambda: store.decay(entity_id, 30, 0.05),
    }
    out = {}
    for name, call in calls.items():
        try:
            call()
            out[name] = None
        except ValueError as e:
            out[name] = str(e)
    return out


def verdicts(store):
    return {f["path"]: (f["verdict"], f["detail"]) for f in store.check()}


def test_an_unreadable_record_fails_by_name_and_is_skipped_by_listings(store, medium):
    store.get("mcp:good")
    medium.put("mcp:broken", "{not json")
    assert set(failures(store, "mcp:broken").values()) == {BROKEN}
    # Nothing was written: not the witness's pair, not a neutral record over the broken one.
    assert not store.exists("session:w") and not store.exists("session:t")
    assert store.list_entities() == store.list_entities("mcp") == ["mcp:good"]
    assert store.count() == 1
    assert [e.entity_id for e in store.get_by_type("mcp")] == ["mcp:good"]
    assert verdicts(store)[medium.place("mcp:broken")] == ("unreadable", BROKEN)
    assert store.exists("mcp:broken") and store.delete("mcp:broken") and not store.exists("mcp:broken")


def test_a_record_over_the_size_limit_is_refused_by_name_and_skipped(store, medium, store_kind):
    store.get("mcp:good")
    medium.put_oversize("mcp:huge")
    what = noun(store_kind)
    message = (f"Storage error: {what} '{medium.place('mcp:huge')}' is 67108865 bytes, more than the 67108864 "
               f"bytes a {what} may have")
    assert set(failures(store, "mcp:huge").values()) == {message}
    assert store.list_entities() == ["mcp:good"] and store.count("mcp") == 1
    assert [e.entity_id for e in store.get_by_type("mcp")] == ["mcp:good"]
    assert verdicts(store)[medium.place("mcp:huge")] == ("unreadable", message)


def test_a_misplaced_record_is_refused_by_every_call_that_names_it(store, medium, store_kind):
    good = store.update("mcp:good", True, 1.0)
    store.get("mcp:other")
    medium.put("mcp:other", good.to_json())
    message = (f"Storage error: {noun(store_kind)} '{medium.place('mcp:other')}' holds the record of 'mcp:good', "
               "not of 'mcp:other'")
    # Gating code that reads mcp:other must never be handed mcp:good's numbers.
    assert set(failures(store, "mcp:other").values()) == {message}
    with pytest.raises(velk_trust.StorageError) as e:
        store.find("mcp:other")
    assert str(e.value) == message
    assert (e.value.path, e.value.entity_id, e.value.transient) == (medium.place("mcp:other"), "mcp:other", False)
    assert sorted(store.list_entities("mcp")) == ["mcp:good", "mcp:good"] and store.count() == 2
    # A copy's record is fetched at its own place: the real one.
    assert [e.action_count for e in store.get_by_type("mcp")] == [1, 1]
    assert verdicts(store)[medium.place("mcp:other")] == ("misplaced", medium.place("mcp:good"))
    assert store.get("mcp:good").to_json() == good.to_json()


def test_find_creates_nothing(store):
    assert store.find("mcp:typo") is None
    assert not store.exists("mcp:typo") and store.list_entities() == [] and store.count() == 0
    store.update("mcp:real", True, 1.0)
    found = store.find("mcp:real")
    assert found.entity_id == "mcp:real" and found.action_count == 1
    assert found.to_json() == store.get("mcp:real").to_json()


def test_decay_saves_whatever_it_changed(store):
    store.update("mcp:a", True, 1.0)
    before = store.get("mcp:a")
    # A small daily rate moves every value a little; training by less than 0.001.
    copy = velk_trust.EntityTrust.from_json(before.to_json())
    assert copy.apply_decay(1, 0.001) is False and copy.training != before.training
    assert store.decay("mcp:a", 1, 0.001) is True
    after = store.get("mcp:a")
    assert after.to_json() == copy.to_json() != before.to_json()
    # Nothing to move: nothing saved, and said so.
    assert store.decay("mcp:a", 0, 0.5) is False and store.get("mcp:a").to_json() == after.to_json()
    assert store.decay("mcp:none", 1, 0.5) is False and not store.exists("mcp:none")


def test_create_saves_only_where_nothing_is(store, medium):
    made = velk_trust.EntityTrust("mcp:new")
    made.update_from_outcome(True, 1.0)
    assert store.create(made) is True
    assert store.find("mcp:new").to_json() == made.to_json()
    assert store.create(velk_trust.EntityTrust("mcp:new")) is False
    assert store.find("mcp:new").action_count == 1
    # Something that does not read is still something: left as it is.
    medium.put("mcp:broken", "{not json")
    assert store.create(velk_trust.EntityTrust("mcp:broken")) is False
    with pytest.raises(velk_trust.SerializationError):
        store.find("mcp:broken")


CREATOR = """
import pickle, sys, velk_trust
store = pickle.loads(bytes.fromhex(sys.argv[1]))
made = 0
for k in range(int(sys.argv[3])):
    if sys.argv[2] == "update":
        store.update(f"mcp:r{k}", True, 0.5)
    else:
        made += store.create(velk_trust.EntityTrust(f"mcp:r{k}"))
print(made)
"""


def test_create_never_overwrites_what_other_processes_write(store):
    """One process updates each record once while two create them: whoever comes first, every
    update is kept (a create after it finds the record), and no record is created twice."""
    n = 300
    procs = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(CREATOR), pickle.dumps(store).hex(), role, str(n)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for role in ("create", "update", "create")]
    outs = [p.communicate(timeout=120) for p in procs]
    assert all(p.returncode == 0 for p in procs), [err for _, err in outs]
    assert [store.find(f"mcp:r{k}").action_count for k in range(n)] == [1] * n
    assert int(outs[0][0]) + int(outs[2][0]) <= n
