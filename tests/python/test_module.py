import os
import sys
import weakref

import pytest

import velk_trust
from conftest import ROOT, run_python

HERE = os.path.dirname(os.path.abspath(__file__))

CLASSES = [velk_trust.T3Tensor, velk_trust.V3Tensor, velk_trust.EntityTrust, velk_trust.TrustStore]


def test_module_attributes():
    assert velk_trust.__version__ == "0.2.0"
    assert velk_trust.__doc__ == "Python module definition"
    assert velk_trust.__all__ == [
        "T3Tensor", "V3Tensor", "EntityTrust", "TrustStore", "create_memory_store", "__version__",
        "TrustError", "StorageError", "SerializationError", "InvalidIdError", "TrustIOError", "AsyncTrustStore",
    ]
    assert not hasattr(velk_trust, "PanicException")


def test_reimport_returns_the_same_module():
    before = sys.modules.pop("velk_trust")
    import velk_trust as again

    assert again is before
    assert len(again.__all__) == 12


def test_sub_interpreter_import_fails():
    proc = run_python(
        """
        import velk_trust, _testcapi
        _testcapi.run_in_subinterp('''
        try:
            import velk_trust
            print("imported")
        except ImportError as e:
            print("ImportError")
        ''')
        """
    )
    assert proc.stdout.strip() == "ImportError", proc.stderr


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_final_and_slotless(cls, tmp_path):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    args = {velk_trust.TrustStore: (str(tmp_path),), velk_trust.EntityTrust: ("x:y",)}.get(cls, ())
    obj = cls(*args)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (velk_trust.T3Tensor, "(talent=0.5, training=0.5, temperament=0.5)",
         "Python-exposed T3 Trust Tensor (Talent/Training/Temperament)"),
        (velk_trust.V3Tensor, "(valuation=0.5, veracity=0.5, validity=0.5)",
         "Python-exposed V3 Value Tensor (Valuation/Veracity/Validity)"),
        (velk_trust.EntityTrust, "(entity_id)", "Python-exposed EntityTrust"),
        (velk_trust.TrustStore, "(path=None)", "Python-exposed TrustStore (wraps FileStore or InMemoryStore)"),
    ],
)
def test_class_documentation(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc


# The documentation of every method: a method added without its row here fails
# test_every_method_has_its_places.
METHOD_DOCS = [
    (velk_trust.T3Tensor.neutral, "()", "Create a neutral tensor (all 0.5)"),
    (velk_trust.T3Tensor.average, "($self)", "Calculate average trust score"),
    (velk_trust.T3Tensor.level, "($self)", "Get trust level as string"),
    (velk_trust.T3Tensor.update_from_outcome, "($self, success, magnitude)", "Update from action outcome"),
    (velk_trust.T3Tensor.apply_decay, "($self, days_inactive, decay_rate)", "Apply temporal decay"),
    (velk_trust.V3Tensor.neutral, "()", None),
    (velk_trust.V3Tensor.average, "($self)", None),
    (velk_trust.EntityTrust.t3_average, "($self)", "Get T3 average"),
    (velk_trust.EntityTrust.v3_average, "($self)", "Get V3 average"),
    (velk_trust.EntityTrust.trust_level, "($self)", "Get trust level"),
    (velk_trust.EntityTrust.update_from_outcome, "($self, success, magnitude)", "Update from action outcome"),
    (velk_trust.EntityTrust.receive_witness, "($self, witness_id, success, magnitude)", "Receive witness event"),
    (velk_trust.EntityTrust.give_witness, "($self, target_id, success, magnitude)", "Give witness event"),
    (velk_trust.EntityTrust.days_since_last_action, "($self)", "Days since last action"),
    (velk_trust.EntityTrust.apply_decay, "($self, days_inactive, decay_rate)", "Apply decay"),
    (velk_trust.EntityTrust.success_rate, "($self)", "Success rate"),
    (velk_trust.EntityTrust.to_dict, "($self)", "Convert to dict (for JSON serialization)"),
    (velk_trust.EntityTrust.to_json, "($self)", "The record's JSON text, as the store writes it"),
    (velk_trust.EntityTrust.from_json, "(text)", "Read a record from its JSON text as the store reads record files"),
    (velk_trust.TrustStore.get, "($self, entity_id)", "Get entity trust (creates if doesn't exist)"),
    (velk_trust.TrustStore.find, "($self, entity_id)", "The stored record, or None when there is none; creates nothing"),
    (velk_trust.TrustStore.save, "($self, trust)", "Save entity trust"),
    (velk_trust.TrustStore.create, "($self, trust)",
     "Save entity trust only where no record is stored for its entity_id, in one step; True if it was saved"),
    (velk_trust.TrustStore.update, "($self, entity_id, success, magnitude)", "Update entity from outcome"),
    (velk_trust.TrustStore.witness, "($self, witness_id, target_id, success, magnitude)",
     "Witness event between two entities"),
    (velk_trust.TrustStore.list_entities, "($self, entity_type=None)", "List all entity IDs"),
    (velk_trust.TrustStore.count, "($self, entity_type=None)", "Count the entity IDs that list_entities gives"),
    (velk_trust.TrustStore.exists, "($self, entity_id)", "Check if entity exists"),
    (velk_trust.TrustStore.delete, "($self, entity_id)", "Delete entity"),
    (velk_trust.TrustStore.get_by_type, "($self, entity_type)", "Get entities by type"),
    (velk_trust.TrustStore.decay, "($self, entity_id, days_inactive, decay_rate, min_idle=0.0)",
     "Apply decay to a stored record under the directory lock; True if it changed"),
    (velk_trust.TrustStore.check, "($self)", "Check every record file or row of the store, writing nothing"),
    (velk_trust.TrustStore.connect, "($self, url, table='velk_trust', timeout=None, pool_size=None)",
     "Open a store on a PostgreSQL table (libpq connection URI or keyword string)"),
    (velk_trust.TrustStore.open, "($self, address, table=None, create=True, timeout=None, pool_size=None)",
     "Open the store an address names: a database's connection text (as connect takes), else a record directory; "
     "with create=False, refuse one that is not there"),
    (velk_trust.create_memory_store, "()", "Create in-memory store (for testing)"),
]
# The asyncio face: the same signatures and summaries, and its own aclose.
METHOD_DOCS += [(getattr(velk_trust.AsyncTrustStore, m.__name__), signature, doc) for m, signature, doc in METHOD_DOCS
                if m.__qualname__.startswith("TrustStore.")] + [
    (velk_trust.AsyncTrustStore.aclose, "($self)", "Close the store's database sessions; later calls fail"),
]


@pytest.mark.parametrize("method, signature, doc", METHOD_DOCS)
def test_method_documentation(method, signature, doc):
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def public_methods(cls):
    return {name for name in vars(cls) if not name.startswith("_") and callable(getattr(cls, name))}


@pytest.mark.parametrize("cls", [velk_trust.T3Tensor, velk_trust.V3Tensor, velk_trust.EntityTrust,
                                 velk_trust.TrustStore, velk_trust.AsyncTrustStore])
def test_every_method_has_its_places(cls):
    """A method added to a class is also documented here, used by the typed test, shown in the
    README's API reference and (for a store's method) broken by the fault-injection run, or this
    fails: none of those places stays silent when it is forgotten."""
    methods = public_methods(cls)
    documented = {m.__name__ for m, _, _ in METHOD_DOCS if m.__qualname__.split(".")[0] == cls.__name__}
    assert methods - documented == set(), "no row in METHOD_DOCS"
    typed = open(os.path.join(HERE, "test_typed_api.py")).read()
    assert {m for m in methods if f".{m}(" not in typed} == set(), "not used in test_typed_api.py"
    readme = open(os.path.join(ROOT, "README.md")).read()
    assert {m for m in methods if f"`{m}(" not in readme and f".{m}(" not in readme} == set(), "not in the README"
    if cls in (velk_trust.TrustStore, velk_trust.AsyncTrustStore):  # the fault run takes both faces
        from fault_matrix import CALLS
        broken = {name.split("-")[0] for name in CALLS}
        assert methods - broken - {"connect", "open", "aclose"} == set(), "no row in fault_matrix.CALLS"


def test_create_memory_store_is_bound_to_the_module():
    f = velk_trust.create_memory_store
    assert f.__self__ is velk_trust
    assert f.__module__ == "velk_trust"
    with pytest.raises(TypeError):
        f(1)


def test_attribute_docs_are_empty():
    assert velk_trust.T3Tensor.talent.__doc__ == ""
    assert velk_trust.EntityTrust.entity_id.__doc__ == ""
