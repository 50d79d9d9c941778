"""The store's rules, the same on every backend: what an unreadable, oversized or misplaced record
does to each call, from the records' own media (files, rows) as a damaged store holds them."""
import pytest

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


def test_a_misplaced_record_is_read_but_never_written_over(store, medium, store_kind):
    good = store.update("mcp:good", True, 1.0)
    store.get("mcp:other")
    medium.put("mcp:other", good.to_json())
    message = (f"Storage error: {noun(store_kind)} '{medium.place('mcp:other')}' holds the record of 'mcp:good', "
               "not of 'mcp:other'")
    refused = failures(store, "mcp:other")
    # get reads the record as it is stored; every change refuses to write it over.
    assert refused.pop("get") is None and store.get("mcp:other").entity_id == "mcp:good"
    assert set(refused.values()) == {message}
    assert sorted(store.list_entities("mcp")) == ["mcp:good", "mcp:good"] and store.count() == 2
    # A copy's record is fetched at its own place: the real one.
    assert [e.action_count for e in store.get_by_type("mcp")] == [1, 1]
    assert verdicts(store)[medium.place("mcp:other")] == ("misplaced", medium.place("mcp:good"))
    assert store.get("mcp:good").to_json() == good.to_json()
