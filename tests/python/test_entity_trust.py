import pytest

from velk_trust import EntityTrust

TENSOR_ATTRIBUTES = ["talent", "training", "temperament", "valuation", "veracity", "validity"]
KEYS = ["entity_id", "entity_type", "entity_name", *TENSOR_ATTRIBUTES,
        "witnessed_by", "has_witnessed", "action_count", "success_count", "witness_count"]


class TestNewRecord:
    def test_fields(self):
        e = EntityTrust("mcp:fs")
        assert (e.entity_id, e.entity_type, e.entity_name) == ("mcp:fs", "mcp", "fs")
        assert all(getattr(e, name) == 0.5 for name in TENSOR_ATTRIBUTES)
        assert e.trust_level() == "medium"
        assert e.success_rate() == 0.5
        assert e.to_dict()["witnessed_by"] == []
        assert abs(e.days_since_last_action()) < 1 / 86400 * 2
        assert repr(e) == "EntityTrust('mcp:fs', t3=0.500, level=medium)"

    def test_identifier_is_not_rejected(self):
        e = EntityTrust(entity_id="plainname")
        assert (e.entity_type, e.entity_name) == ("", "plainname")
        assert repr(EntityTrust("it's")) == "EntityTrust('it's', t3=0.500, level=medium)"

    @pytest.mark.parametrize("entity_id, parts", [
        ("mcp:fs", ("mcp", "fs")), ("agent:é", ("agent", "é")), ("😀:가", ("😀", "가")), ("plainname", ("", "plainname")),
    ])
    def test_texts_agree_everywhere_and_follow_every_change(self, entity_id, parts):
        def shown(e):
            d = e.to_dict()
            attributes = [getattr(e, k) for k in ("entity_id", "entity_type", "entity_name", "witnessed_by")]
            assert [d[k] for k in ("entity_id", "entity_type", "entity_name", "witnessed_by")] == attributes
            return attributes

        e = EntityTrust(entity_id)
        for witness in ("w:1", "w:é", "w:1", "w:😀"):  # each read after a change, twice
            e.receive_witness(witness, True, 0.1)
            for _ in range(2):
                assert shown(e) == [entity_id, *parts, ["w:1", "w:é", "w:😀"][:len(e.witnessed_by)]]
        # A restored state may hold other texts and a shorter list with other entries.
        other = EntityTrust("other:x")
        other.receive_witness("w:2", True, 0.1)
        e.__setstate__(other.__reduce__()[2])
        assert shown(e) == ["other:x", "other", "x", ["w:2"]]
        assert repr(e).startswith("EntityTrust('other:x'")

class TestAttributes:
    @pytest.mark.parametrize("name", TENSOR_ATTRIBUTES)
    def test_assignment_clamps_and_delete_is_refused(self, name):
        e = EntityTrust("a:b")
        setattr(e, name, 1.7)
        assert getattr(e, name) == 1.0
        setattr(e, name, -3)
        assert getattr(e, name) == 0.0
        setattr(e, name, 1)
        assert getattr(e, name) == 1.0
        with pytest.raises(TypeError):
            setattr(e, name, "x")
        assert getattr(e, name) == 1.0
        with pytest.raises(AttributeError) as err:
            delattr(e, name)
        assert str(err.value) == "can't delete attribute"

    @pytest.mark.parametrize("name", [k for k in KEYS if k not in TENSOR_ATTRIBUTES])
    def test_read_only(self, name):
        with pytest.raises(AttributeError):
            setattr(EntityTrust("a:b"), name, 1)

    def test_lists_are_fresh_copies(self):
        e = EntityTrust("a:b")
        e.receive_witness("lct:w", True, 1.0)
        e.witnessed_by.append("x")
        assert e.witnessed_by == ["lct:w"]
        assert e.witnessed_by is not e.witnessed_by


class TestOperations:
    def test_outcomes(self):
        e = EntityTrust("a:b")
        e.update_from_outcome(success=True, magnitude=0.5)
        e.update_from_outcome(True, 0.5)
        e.update_from_outcome(False, 0.5)
        assert (e.action_count, e.success_count) == (3, 2)
        assert e.success_rate() == 2 / 3
        with pytest.raises(TypeError):
            e.update_from_outcome(1, 0.5)
        assert e.action_count == 3

    def test_witnesses(self):
        e = EntityTrust("a:b")
        e.receive_witness("lct:w", True, 1.0)
        e.receive_witness("lct:w", True, 1.0)
        assert e.witness_count == 2
        assert e.witnessed_by == ["lct:w"]
        assert (e.temperament, e.veracity, e.validity) == (0.52955, 0.98, 0.52)
        e.give_witness(target_id="mcp:t", success=False, magnitude=1.0)
        assert e.has_witnessed == ["mcp:t"]
        assert e.valuation == 0.505

    def test_decay(self):
        e = EntityTrust("a:b")
        assert e.apply_decay(0, 0.1) is False
        assert e.apply_decay(1, 1.0) is True
        assert [getattr(e, n) for n in TENSOR_ATTRIBUTES] == [0.3, 0.3, 0.3, 0.3, 0.5, 0.3]

    def test_repr_rounds_half_to_even(self):
        e = EntityTrust("a:b")
        e.talent = e.training = e.temperament = 0.8125
        assert e.t3_average() == 0.8125
        assert repr(e).endswith("t3=0.812, level=high)")

    def test_to_dict(self):
        e = EntityTrust("session:s1")
        e.receive_witness("mcp:m", True, 0.5)
        d = e.to_dict()
        assert list(d) == KEYS
        assert d["witnessed_by"] == ["mcp:m"] and d["witness_count"] == 1
        assert type(d["talent"]) is float and type(d["action_count"]) is int


class TestBorrowing:
    def test_float_calling_back_into_the_same_object(self):
        e = EntityTrust("a:b")

        class Reader:
            def __float__(self):
                return e.talent

        class Writer:
            def __float__(self):
                e.talent = 0.9
                return 0.5

        with pytest.raises(RuntimeError) as err:
            e.update_from_outcome(True, Reader())
        assert str(err.value) == "Already mutably borrowed"
        with pytest.raises(RuntimeError) as err:
            e.apply_decay(Writer(), 0.1)
        assert str(err.value) == "Already borrowed"
        assert e.action_count == 0 and e.talent == 0.5

        # Setters convert before they borrow, so a callback there is fine.
        e.talent = Reader()
        assert e.talent == 0.5


def test_to_dict_and_attributes_follow_the_record_file(store, records_dir):
    """Every stored field but the two timestamps is in to_dict, in the file's order, and is an
    attribute with the same value."""
    import json
    from test_trust_store import record_file
    record = store.witness("session:a", "mcp:b", True, 0.5)[1]
    stored = json.loads(record_file(records_dir, "mcp:b").read_text())
    shown = {k: v for k, v in stored.items() if k not in ("last_action", "created_at")}
    assert list(record.to_dict()) == list(shown)
    assert record.to_dict() == shown
    assert {k: getattr(record, k) for k in shown} == shown
