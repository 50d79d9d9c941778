"""Errors a program can act on: one class per kind under TrustError (a ValueError), the texts as
they were, and the attributes that say where, whom, and whether trying again may help."""
import copy
import errno
import os
import pickle

import pytest

import velk_trust
from velk_trust import EntityTrust, TrustStore

KINDS = [velk_trust.StorageError, velk_trust.SerializationError, velk_trust.InvalidIdError, velk_trust.TrustIOError]


def raised(call):
    with pytest.raises(velk_trust.TrustError) as e:
        call()
    return e.value


def attributes(e):
    return (type(e), e.errno, e.path, e.entity_id, e.transient, e.outcome_unknown)


def test_the_classes():
    assert issubclass(velk_trust.TrustError, ValueError)
    for cls in KINDS:
        assert cls.__mro__[1] is velk_trust.TrustError and cls.__module__ == "velk_trust"
    e = velk_trust.StorageError("Storage error: made by hand")
    assert (str(e), e.errno, e.path, e.entity_id, e.transient, e.outcome_unknown) == (
        "Storage error: made by hand", None, None, None, False, False)


def test_a_record_that_does_not_read_names_its_place(store, medium, store_kind):
    medium.put("mcp:broken", '{"entity_id": "mcp:broken", "talent": "high"}')
    e = raised(lambda: store.get("mcp:broken"))
    assert str(e).startswith('Serialization error: invalid type: string "high"')
    assert attributes(e) == (velk_trust.SerializationError, None, medium.place("mcp:broken"), "mcp:broken", False, False)
    what = "record file" if store_kind == "directory" else "row"
    assert e.__notes__[-1].startswith(f"in {what} '{medium.place('mcp:broken')}'")


def test_an_error_of_the_system_carries_its_number_and_file(records_dir):
    store = TrustStore(str(records_dir))
    store.get("mcp:shut")
    path = records_dir / os.listdir(records_dir)[0]
    os.chmod(path, 0)
    try:
        if os.access(path, os.R_OK):
            pytest.skip("this user reads files whatever their mode (root without a capability drop)")
        e = raised(lambda: store.get("mcp:shut"))
        assert str(e) == "IO error: Permission denied (os error 13)"
        assert attributes(e) == (velk_trust.TrustIOError, errno.EACCES, str(path), "mcp:shut", False, False)
        listing = raised(store.list_entities)
        assert (listing.errno, listing.path, listing.entity_id) == (errno.EACCES, str(path), None)
        assert listing.__notes__ == [f"in record file '{path}'"]
    finally:
        os.chmod(path, 0o644)


def test_errors_travel_with_their_attributes(store, medium):
    medium.put("mcp:broken", "{")
    e = raised(lambda: store.update("mcp:broken", True, 1.0))
    for twin in (copy.copy(e), copy.deepcopy(e), pickle.loads(pickle.dumps(e))):
        assert type(twin) is type(e) and str(twin) == str(e) and twin.args == e.args
        assert attributes(twin) == attributes(e) and twin.__notes__ == e.__notes__


def test_a_lost_database_is_worth_trying_again(database_url):
    words = dict(w.split("=", 1) for w in database_url.split())
    # A port where nothing listens: the connection is refused, and a later try may find the server.
    e = raised(lambda: TrustStore.connect(f"host=127.0.0.1 port=1 user=postgres dbname=postgres connect_timeout=2"))
    assert type(e) is velk_trust.StorageError and e.transient
    assert str(e).startswith("Storage error: cannot connect to the database: ")
    wrong = raised(lambda: TrustStore.connect(f"host=127.0.0.1 port={words['port']} user=postgres password=wrong "
                                              "dbname=postgres"))
    assert not wrong.transient and "wrong" not in str(wrong)


@pytest.mark.parametrize("text", ["postgresql://scorer:s3cret@db/trust", "postgres://scorer:s3cret@db:5433/trust"])
def test_a_connection_text_is_no_directory(tmp_path, monkeypatch, text):
    (tmp_path / "cwd").mkdir()
    monkeypatch.chdir(tmp_path / "cwd")
    e = raised(lambda: TrustStore(text))
    shown = text.replace(":s3cret@", ":***@")
    assert str(e) == (f"Storage error: '{shown}' is a connection text, not a record directory's path: open it with "
                      "TrustStore.connect()")
    assert type(e) is velk_trust.StorageError and "s3cret" not in repr(e)
    assert os.listdir(tmp_path / "cwd") == []


@pytest.mark.parametrize("text", ["records/trust", "", "postgresq://scorer:s3cret@db/trust", "/var/lib/trust"])
def test_connect_takes_only_a_connection_text(text):
    e = raised(lambda: TrustStore.connect(text))
    assert str(e) == ("Storage error: not a connection text: TrustStore.connect takes a URI (postgresql://... or "
                      "postgres://...), libpq's key=value words (host=... dbname=...) or sqlite:PATH; a record "
                      "directory opens with TrustStore(path)")
    assert type(e) is velk_trust.StorageError
