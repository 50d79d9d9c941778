"""Every argument-error message form, through the classes' methods and constructors."""
import pytest

import velk_trust
from velk_trust import EntityTrust, T3Tensor, TrustStore, V3Tensor


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Boom:
    def __float__(self):
        raise KeyError("boom")


class Broken:
    pass


# (call, exact TypeError text)
CASES = [
    # counts
    (lambda s: T3Tensor(1, 2, 3, 4), "T3Tensor.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda s: V3Tensor(1, 2, 3, 4, 5), "V3Tensor.__new__() takes from 0 to 3 positional arguments but 5 were given"),
    (lambda s: EntityTrust("a", "b"), "EntityTrust.__new__() takes 1 positional arguments but 2 were given"),
    (lambda s: TrustStore("a", "b"), "TrustStore.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda s: T3Tensor().update_from_outcome(True, 1, 2),
     "T3Tensor.update_from_outcome() takes 2 positional arguments but 3 were given"),
    (lambda s: s.list_entities("a", "b"),
     "TrustStore.list_entities() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda s: s.get("a", "b"), "TrustStore.get() takes 1 positional arguments but 2 were given"),
    # missing
    (lambda s: EntityTrust(), "EntityTrust.__new__() missing 1 required positional argument: 'entity_id'"),
    (lambda s: T3Tensor().update_from_outcome(True),
     "T3Tensor.update_from_outcome() missing 1 required positional argument: 'magnitude'"),
    (lambda s: T3Tensor().apply_decay(decay_rate=0.1),
     "T3Tensor.apply_decay() missing 1 required positional argument: 'days_inactive'"),
    (lambda s: s.get(), "TrustStore.get() missing 1 required positional argument: 'entity_id'"),
    (lambda s: T3Tensor().apply_decay(),
     "T3Tensor.apply_decay() missing 2 required positional arguments: 'days_inactive' and 'decay_rate'"),
    (lambda s: EntityTrust("a").receive_witness(),
     "EntityTrust.receive_witness() missing 3 required positional arguments: 'witness_id', 'success', and 'magnitude'"),
    (lambda s: s.witness("w"),
     "TrustStore.witness() missing 3 required positional arguments: 'target_id', 'success', and 'magnitude'"),
    (lambda s: s.witness(magnitude=1.0),
     "TrustStore.witness() missing 3 required positional arguments: 'witness_id', 'target_id', and 'success'"),
    (lambda s: EntityTrust("a").give_witness("t", magnitude=1.0),
     "EntityTrust.give_witness() missing 1 required positional argument: 'success'"),
    # keywords
    (lambda s: T3Tensor(talnet=1), "T3Tensor.__new__() got an unexpected keyword argument 'talnet'"),
    (lambda s: s.update("a", True, 1.0, weight=2), "TrustStore.update() got an unexpected keyword argument 'weight'"),
    (lambda s: T3Tensor(0.1, talent=0.2), "T3Tensor.__new__() got multiple values for argument 'talent'"),
    (lambda s: EntityTrust("a").apply_decay(1, days_inactive=2),
     "EntityTrust.apply_decay() got multiple values for argument 'days_inactive'"),
    # conversions
    (lambda s: T3Tensor("x"), "argument 'talent': must be real number, not str"),
    (lambda s: T3Tensor(None), "argument 'talent': must be real number, not NoneType"),
    (lambda s: V3Tensor(validity=[]), "argument 'validity': must be real number, not list"),
    (lambda s: T3Tensor().update_from_outcome(1, 0.5),
     "argument 'success': 'int' object cannot be converted to 'PyBool'"),
    (lambda s: T3Tensor().update_from_outcome(True, "x"), "argument 'magnitude': must be real number, not str"),
    (lambda s: EntityTrust(5), "argument 'entity_id': 'int' object cannot be converted to 'PyString'"),
    (lambda s: EntityTrust(b"a:b"), "argument 'entity_id': 'bytes' object cannot be converted to 'PyString'"),
    (lambda s: EntityTrust("a").receive_witness(None, True, 1),
     "argument 'witness_id': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda s: EntityTrust("a").give_witness("t", 0, 1),
     "argument 'success': 'int' object cannot be converted to 'PyBool'"),
    (lambda s: TrustStore(5), "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (lambda s: s.update("a:b", 1, 0.5), "argument 'success': 'int' object cannot be converted to 'PyBool'"),
    (lambda s: s.update("a:b", True, Broken()), "argument 'magnitude': must be real number, not Broken"),
    (lambda s: s.save("a:b"), "argument 'trust': 'str' object cannot be converted to 'EntityTrust'"),
    (lambda s: s.save(T3Tensor()), "argument 'trust': 'T3Tensor' object cannot be converted to 'EntityTrust'"),
    (lambda s: s.list_entities(3), "argument 'entity_type': 'int' object cannot be converted to 'PyString'"),
    (lambda s: s.get_by_type(None), "argument 'entity_type': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda s: s.witness("w", 1, True, 1), "argument 'target_id': 'int' object cannot be converted to 'PyString'"),
    # the count is checked before any conversion, the first failing conversion wins
    (lambda s: s.update(1, 2, 3, 4), "TrustStore.update() takes 3 positional arguments but 4 were given"),
    (lambda s: s.update(1, 2, "x"), "argument 'entity_id': 'int' object cannot be converted to 'PyString'"),
    # setters raise the conversion's own error
    (lambda s: setattr(T3Tensor(), "talent", "x"), "must be real number, not str"),
    (lambda s: setattr(EntityTrust("a"), "veracity", None), "must be real number, not NoneType"),
]


@pytest.mark.parametrize("call, message", CASES)
def test_argument_errors(store, call, message):
    with pytest.raises(TypeError) as e:
        call(store)
    assert str(e.value) == message


def test_parameterless_methods_leave_checking_to_the_interpreter():
    with pytest.raises(TypeError, match="takes no arguments"):
        T3Tensor.neutral(1)
    with pytest.raises(TypeError, match="takes no arguments"):
        EntityTrust("a").to_dict(1)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: T3Tensor(Boom()),
        lambda s: T3Tensor().apply_decay(1, Boom()),
        lambda s: s.update("a:b", True, Boom()),
        lambda s: setattr(EntityTrust("a"), "talent", Boom()),
    ],
)
def test_other_conversion_errors_pass_through(store, call):
    with pytest.raises(KeyError):
        call(store)


def test_unencodable_text_raises_the_encoding_error(store):
    with pytest.raises(UnicodeEncodeError):
        EntityTrust("a\udcff")
    with pytest.raises(UnicodeEncodeError):
        store.get("a\udcff")


def test_accepted_conversions(store):
    assert T3Tensor(True).talent == 1.0
    assert T3Tensor(Floaty(0.25)).talent == 0.25
    assert T3Tensor(training=0.9).talent == 0.5

    class Index:
        def __index__(self):
            return 1

    assert V3Tensor(Index()).valuation == 1.0

    class Text(str):
        pass

    assert EntityTrust(Text("mcp:x")).entity_type == "mcp"
    assert store.update(entity_id="a:b", success=True, magnitude=2).action_count == 1


def test_receiver_of_another_class():
    with pytest.raises(TypeError):
        T3Tensor.average(V3Tensor())
    with pytest.raises(TypeError):
        EntityTrust.t3_average(T3Tensor())
