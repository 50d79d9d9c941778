"""Every public name used as a typed program would use it; `mypy --strict` checks this file against
the stubs (assert_type pins each result type), and pytest runs it."""
import asyncio
import copy
import os
import pathlib
import pickle
from typing import assert_type

import velk_trust
from velk_trust import AsyncTrustStore, EntityTrust, T3Tensor, TrustStore, V3Tensor, create_memory_store


class Magnitude:
    """An object with __float__ is accepted wherever a real number is."""

    def __float__(self) -> float:
        return 0.5


def test_tensors() -> None:
    t = T3Tensor(1, training=0.25, temperament=True)
    assert_type(t, T3Tensor)
    assert_type(T3Tensor.neutral(), T3Tensor)
    assert_type(t.talent, float)
    t.talent = 0.75
    t.training = 1
    assert_type(t.average(), float)
    assert_type(t.level(), str)
    assert_type(t.update_from_outcome(True, Magnitude()), None)
    assert_type(t.apply_decay(days_inactive=3, decay_rate=0.01), bool)
    v = V3Tensor(valuation=0.2)
    assert_type(V3Tensor.neutral(), V3Tensor)
    v.validity = 0.9
    total: float = v.valuation + v.veracity + v.validity
    assert abs(v.average() - total / 3) < 1e-15
    assert repr(copy.deepcopy(t)) == repr(t)
    assert repr(pickle.loads(pickle.dumps(v))) == repr(v)


def test_records_and_stores(tmp_path: pathlib.Path, database_url: str) -> None:
    e = EntityTrust("mcp:fs")
    ids: tuple[str, str, str] = (e.entity_id, e.entity_type, e.entity_name)
    assert ids == ("mcp:fs", "mcp", "fs")
    counts: tuple[int, int, int] = (e.action_count, e.success_count, e.witness_count)
    assert counts == (0, 0, 0)
    assert_type(e.witnessed_by, list[str])
    assert_type(e.has_witnessed, list[str])
    e.talent = 0.9
    e.validity = 0
    e.veracity = Magnitude()
    assert_type(e.update_from_outcome(success=True, magnitude=1.0), None)
    e.receive_witness("session:a", True, 0.5)
    e.give_witness(target_id="mcp:web", success=False, magnitude=0.25)
    averages: tuple[float, float] = (e.t3_average(), e.v3_average())
    assert 0 < averages[0] < 1
    assert_type(e.trust_level(), str)
    assert_type(e.days_since_last_action(), float)
    assert_type(e.apply_decay(1.5, 0.01), bool)
    assert_type(e.success_rate(), float)
    d = e.to_dict()
    witnessed_by: list[str] = d["witnessed_by"]
    action_count: int = d["action_count"]
    assert (witnessed_by, action_count) == (["session:a"], 1)
    restored: EntityTrust = pickle.loads(pickle.dumps(e))
    assert restored.to_dict() == d

    s = TrustStore(str(tmp_path / "records"))
    assert_type(s.get("mcp:fs"), EntityTrust)
    assert_type(s.find("mcp:fs"), EntityTrust | None)
    assert s.find("mcp:nobody") is None
    assert_type(s.save(e), None)
    assert_type(s.create(e), bool)
    assert_type(s.update("mcp:fs", True, 0.5), EntityTrust)
    witness, target = s.witness("session:a", "mcp:fs", True, 0.5)
    assert_type(witness, EntityTrust)
    assert target.entity_id == "mcp:fs"
    assert_type(s.list_entities(), list[str])
    assert_type(s.count("mcp"), int)
    assert s.list_entities(None) == s.list_entities()
    assert s.list_entities(entity_type="mcp") == ["mcp:fs"]
    assert_type(s.exists("mcp:fs"), bool)
    assert_type(s.get_by_type("session"), list[EntityTrust])
    assert_type(s.decay("session:a", 30, 0.01, min_idle=0), bool)
    for finding in s.check():
        verdict: str = finding["verdict"]
        record: EntityTrust | None = finding["record"]
        assert (verdict, finding["entity_id"]) == ("record", record.entity_id if record else None)
    copied = EntityTrust.from_json((tmp_path / "records" / os.listdir(tmp_path / "records")[0]).read_text())
    assert_type(copied, EntityTrust)
    assert_type(copied.to_json(), str)
    assert_type(TrustStore.open(str(tmp_path / "records")), TrustStore)
    assert_type(s.directory, str | None)
    assert_type(s.delete("mcp:fs"), bool)
    assert_type(TrustStore(path=None), TrustStore)
    assert_type(create_memory_store(), TrustStore)
    shared = TrustStore.connect(database_url, table="typed_" + str(os.getpid()))
    assert_type(shared, TrustStore)
    assert_type(shared.update("mcp:fs", True, 0.5), EntityTrust)
    assert_type(velk_trust.__version__, str)


async def on_loop(folder: pathlib.Path, database_url: str) -> None:
    s = AsyncTrustStore(str(folder))
    e = EntityTrust("mcp:fs")
    assert_type(await s.get("mcp:fs"), EntityTrust)
    assert_type(await s.find("mcp:none"), EntityTrust | None)
    assert_type(await s.save(e), None)
    assert_type(await s.create(e), bool)
    assert_type(await s.update("mcp:fs", True, Magnitude()), EntityTrust)
    witness, target = await s.witness("session:a", "mcp:fs", True, 0.5)
    assert_type(witness, EntityTrust)
    assert_type(await s.list_entities(entity_type="mcp"), list[str])
    assert_type(await s.count(), int)
    assert_type(await s.exists("mcp:fs"), bool)
    assert_type(await s.get_by_type("session"), list[EntityTrust])
    assert_type(await s.decay("mcp:fs", 30, 0.01, min_idle=0), bool)
    assert [f["verdict"] for f in await s.check()] == ["record", "record"]
    assert_type(await s.delete("session:a"), bool)
    assert_type(s.directory, str | None)
    assert_type(await AsyncTrustStore.open(str(folder)), AsyncTrustStore)
    async with await AsyncTrustStore.connect(database_url, table="typed_async_" + str(os.getpid())) as shared:
        assert_type(shared, AsyncTrustStore)
        assert_type(await shared.update("mcp:fs", True, 0.5), EntityTrust)
    assert_type(await s.aclose(), None)


def test_the_asyncio_face(tmp_path: pathlib.Path, database_url: str) -> None:
    asyncio.run(on_loop(tmp_path / "records", database_url))


def test_errors(tmp_path: pathlib.Path) -> None:
    try:
        EntityTrust.from_json("{")
    except velk_trust.SerializationError as e:
        assert_type(e, velk_trust.SerializationError)
        error: velk_trust.TrustError = e
        number: int | None = error.errno
        where: str | None = error.path
        about: str | None = error.entity_id
        flags: tuple[bool, bool] = (error.transient, error.outcome_unknown)
        assert (number, where, about, flags) == (None, None, None, (False, False))
    try:
        TrustStore(str(tmp_path / "file-in-the-way")).save(EntityTrust("a:b"))
        (tmp_path / "x").write_text("")
        TrustStore(str(tmp_path / "x"))
    except velk_trust.TrustIOError as e:
        assert isinstance(e, ValueError) and e.errno is not None
    for cls in (velk_trust.StorageError, velk_trust.InvalidIdError):
        assert issubclass(cls, velk_trust.TrustError)
