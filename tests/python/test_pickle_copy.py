"""Records, tensors and stores travel: copy, deepcopy, pickle, and back from worker processes."""
import concurrent.futures
import copy
import hashlib
import json
import math
import multiprocessing
import os
import pickle
import re
import struct

import pytest

import velk_trust
from velk_trust import EntityTrust, T3Tensor, TrustStore, V3Tensor

NAN, INF = float("nan"), float("inf")

# Every way an object can be duplicated; each must give an equal, independent object.
DUPLICATES = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
}


def bits(x):
    """Floats compared bit for bit: NaN equals NaN, -0.0 differs from 0.0."""
    return struct.pack("<d", x)


def exact(values):
    return [bits(v) if isinstance(v, float) else v for v in values]


def tensor_values(t):
    names = ("talent", "training", "temperament") if isinstance(t, T3Tensor) else ("valuation", "veracity", "validity")
    return exact(getattr(t, n) for n in names)


def record_values(e):
    return exact(e.to_dict().values())


def stored_text(e, directory):
    """The record as the store writes it: timestamps to the nanosecond."""
    TrustStore(str(directory)).save(e)
    name = hashlib.sha256(e.entity_id.encode()).hexdigest()[:16] + ".json"
    return (directory / name).read_text()


def odd_record(records_dir):
    """A record with values no constructor gives: a legacy text out of range, NaN and -0.0 set
    afterwards, timestamps with nanoseconds, witness lists in a particular order."""
    records_dir.mkdir(exist_ok=True)
    text = json.dumps({
        "entity_id": "mcp:fs", "entity_type": "tool", "entity_name": "elsewhere",
        "talent": 0.25, "training": 0.5, "temperament": 0.75,
        "valuation": 0.1, "veracity": 0.2, "validity": 0.3,
        "witnessed_by": ["z:1", "a:2", "m:3"], "has_witnessed": ["q:9", "b:0"],
        "action_count": 2**64 - 1, "success_count": 7, "witness_count": 3,
        "last_action": "1969-12-31T23:59:59.000000001Z",
        "created_at": "2024-02-29T12:34:56.123456789Z",
    })
    name = hashlib.sha256(b"mcp:fs").hexdigest()[:16] + ".json"
    (records_dir / name).write_text(text)
    e = TrustStore(str(records_dir)).get("mcp:fs")
    e.training = NAN
    e.validity = -0.0
    return e


@pytest.mark.parametrize("how", DUPLICATES)
@pytest.mark.parametrize("cls", [T3Tensor, V3Tensor])
def test_tensor_duplicates_are_exact(cls, how):
    t = cls(0.1, 0.2, 0.3)
    # Out-of-range values come from a negative decay rate; NaN and -0.0 from assignment.
    t.__setstate__((1.5, NAN, -0.0))
    d = DUPLICATES[how](t)
    assert type(d) is cls and d is not t
    assert tensor_values(d) == tensor_values(t) == exact([1.5, NAN, -0.0])
    assert repr(d) == repr(t)
    d.__setstate__((0.0, 0.0, 0.0))
    assert tensor_values(t) == exact([1.5, NAN, -0.0])


def test_decayed_tensor_out_of_range_survives_pickle():
    t = T3Tensor(0.9, 0.9, 0.9)
    assert t.apply_decay(10, -1.0) is True
    assert t.talent > 1
    assert tensor_values(pickle.loads(pickle.dumps(t))) == tensor_values(t)


@pytest.mark.parametrize("how", DUPLICATES)
def test_record_duplicates_are_exact(how, records_dir, tmp_path):
    e = odd_record(records_dir)
    d = DUPLICATES[how](e)
    assert type(d) is EntityTrust and d is not e
    assert record_values(d) == record_values(e)
    assert d.to_dict()["witnessed_by"] == ["z:1", "a:2", "m:3"]
    assert d.action_count == 2**64 - 1
    assert (d.entity_type, d.entity_name) == ("tool", "elsewhere")
    assert d.days_since_last_action() == e.days_since_last_action()
    text = stored_text(d, tmp_path / "copy")
    assert text == stored_text(e, tmp_path / "original")
    assert '"created_at": "2024-02-29T12:34:56.123456789Z"' in text
    assert '"last_action": "1969-12-31T23:59:59.000000001Z"' in text
    # Independent: changing the duplicate leaves the original as it was.
    before = record_values(e)
    d.receive_witness("new:1", True, 1.0)
    assert record_values(e) == before


def test_equality_and_hashing_stay_by_identity():
    e = EntityTrust("a:b")
    d = copy.deepcopy(e)
    assert d != e and hash(d) != hash(e)
    assert copy.copy(e) != e


def test_store_pickles_as_its_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    s = TrustStore("data/trust")
    s.update("a:b", True, 1.0)
    for how in DUPLICATES.values():
        d = how(s)
        assert type(d) is TrustStore and repr(d) == "TrustStore(path='data/trust')"
        assert d.list_entities() == ["a:b"]


OLD_PICKLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pickled-0.2.0")
# The socket directory the database stores pickled by 0.2.0 name; the test points it at its server.
OLD_SOCKET_DIR, OLD_PORT = "/tmp/velk-trust-pickle", 5999


@pytest.mark.parametrize("name", sorted(os.listdir(OLD_PICKLES)))
def test_stores_pickled_by_0_2_0_still_load(name, tmp_path, monkeypatch, request):
    with open(os.path.join(OLD_PICKLES, name), "rb") as f:
        data = f.read()
    if name.startswith("directory"):
        monkeypatch.chdir(tmp_path)
        store = pickle.loads(data)
        assert repr(store) == "TrustStore(path='records/dir with ' quote')"
        assert (tmp_path / "records" / "dir with ' quote").is_dir()
    else:
        words = dict(w.split("=", 1) for w in request.getfixturevalue("database_url").split())
        os.makedirs(OLD_SOCKET_DIR, exist_ok=True)
        link = os.path.join(OLD_SOCKET_DIR, f".s.PGSQL.{OLD_PORT}")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.join(words["host"], f".s.PGSQL.{words['port']}"), link)
        request.addfinalizer(lambda: os.unlink(link))
        store = pickle.loads(data)
        assert repr(store).startswith("TrustStore.connect(") and repr(store).endswith(", table='pickled_0_2_0')")
        store.delete("mcp:old-pickle")
    assert store.update("mcp:old-pickle", True, 1.0).action_count == 1
    assert pickle.loads(pickle.dumps(store)).get("mcp:old-pickle").action_count == 1


@pytest.mark.parametrize("state, message", [
    ([0.1, 0.2, 0.3], "T3Tensor state must be a tuple of three floats"),
    ((0.1, 0.2), "T3Tensor state must be a tuple of three floats"),
])
def test_tensor_state_is_checked(state, message):
    t = T3Tensor()
    with pytest.raises(TypeError, match=f"^{message}$"):
        t.__setstate__(state)
    assert tensor_values(t) == exact([0.5, 0.5, 0.5])


@pytest.mark.parametrize("key, value, wanted", [
    ("talent", 1, "a float"),
    ("entity_id", b"a:b", "a str"),
    ("witnessed_by", ["a:b", 3], "a list of str"),
    ("action_count", -1, "an int from 0 to 2**64 - 1"),
    ("action_count", 2**64, "an int from 0 to 2**64 - 1"),
    ("created_at", (0, 10**9), "a (seconds, nanoseconds) tuple"),
    ("last_action", "2024-01-01T00:00:00Z", "None or a (seconds, nanoseconds) tuple"),
])
def test_record_state_is_checked_and_applied_whole(key, value, wanted):
    e = EntityTrust("a:b")
    state = e.__reduce__()[2]
    before = record_values(e)
    with pytest.raises(TypeError, match="^" + re.escape(f"EntityTrust state: '{key}' must be {wanted}") + "$"):
        e.__setstate__({**state, "talent": 0.9, key: value})
    assert record_values(e) == before


def test_record_state_without_a_field_keeps_the_constructed_value():
    e = EntityTrust("a:b")
    e.__setstate__({"talent": 0.125, "unknown": 1})
    assert e.talent == 0.125 and e.training == 0.5


def _worker_record(entity_id):
    e = EntityTrust(entity_id)
    e.update_from_outcome(True, 1.0)
    e.temperament = NAN
    return e, T3Tensor(0.1, 0.2, 0.3), V3Tensor.neutral()


def test_records_return_from_worker_processes():
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        e, t, v = pool.submit(_worker_record, "session:w").result(timeout=60)
    assert isinstance(e, EntityTrust) and e.entity_id == "session:w"
    assert e.action_count == 1 and math.isnan(e.temperament)
    assert repr(t) == "T3Tensor(talent=0.100, training=0.200, temperament=0.300)"
    assert repr(v) == "V3Tensor(valuation=0.500, veracity=0.500, validity=0.500)"


def test_pickle_names_the_module_not_builtins():
    data = pickle.dumps(T3Tensor())
    assert b"velk_trust:T3Tensor" in data
    assert T3Tensor.__module__ == "builtins"
    assert velk_trust.__all__[:6] == ["T3Tensor", "V3Tensor", "EntityTrust", "TrustStore",
                                      "create_memory_store", "__version__"]
