"""Python module definition"""

from typing import Any, Final, Literal, Self, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

__all__ = ["T3Tensor", "V3Tensor", "EntityTrust", "TrustStore", "create_memory_store", "__version__"]

__version__: Final[str]

# Real-valued arguments go through the interpreter's float conversion: float, int, bool, or any
# object with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

class _EntityTrustDict(TypedDict):
    """What EntityTrust.to_dict() returns, keys in this order."""

    entity_id: str
    entity_type: str
    entity_name: str
    talent: float
    training: float
    temperament: float
    valuation: float
    veracity: float
    validity: float
    witnessed_by: list[str]
    has_witnessed: list[str]
    action_count: int
    success_count: int
    witness_count: int

_Verdict: TypeAlias = Literal["record", "misplaced", "unreadable", "not a regular file", "temporary", "unknown"]

class _CheckFinding(TypedDict):
    """One entry of the record directory as TrustStore.check() finds it."""

    path: str
    verdict: _Verdict
    entity_id: str | None
    detail: str | None
    record: EntityTrust | None

# The tensor values, read as float and assigned as any real number, which is stored clamped to
# 0..1: shared by the tensors and the record, which shows its own T3 and V3 values.
class _T3Values:
    @property
    def talent(self) -> float: ...
    @talent.setter
    def talent(self, value: _Real) -> None: ...
    @property
    def training(self) -> float: ...
    @training.setter
    def training(self, value: _Real) -> None: ...
    @property
    def temperament(self) -> float: ...
    @temperament.setter
    def temperament(self, value: _Real) -> None: ...

class _V3Values:
    @property
    def valuation(self) -> float: ...
    @valuation.setter
    def valuation(self, value: _Real) -> None: ...
    @property
    def veracity(self) -> float: ...
    @veracity.setter
    def veracity(self, value: _Real) -> None: ...
    @property
    def validity(self) -> float: ...
    @validity.setter
    def validity(self, value: _Real) -> None: ...

@final
class T3Tensor(_T3Values):
    """Python-exposed T3 Trust Tensor (Talent/Training/Temperament)"""

    def __new__(cls, talent: _Real = 0.5, training: _Real = 0.5, temperament: _Real = 0.5) -> Self: ...
    @staticmethod
    def neutral() -> T3Tensor:
        """Create a neutral tensor (all 0.5)"""
    def average(self) -> float:
        """Calculate average trust score"""
    def level(self) -> str:
        """Get trust level as string"""
    def update_from_outcome(self, success: bool, magnitude: _Real) -> None:
        """Update from action outcome"""
    def apply_decay(self, days_inactive: _Real, decay_rate: _Real) -> bool:
        """Apply temporal decay"""
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""
    def __setstate__(self, state: tuple[float, float, float], /) -> None:
        """Restore the state that __reduce__ gave."""

@final
class V3Tensor(_V3Values):
    """Python-exposed V3 Value Tensor (Valuation/Veracity/Validity)"""

    def __new__(cls, valuation: _Real = 0.5, veracity: _Real = 0.5, validity: _Real = 0.5) -> Self: ...
    @staticmethod
    def neutral() -> V3Tensor: ...
    def average(self) -> float: ...
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""
    def __setstate__(self, state: tuple[float, float, float], /) -> None:
        """Restore the state that __reduce__ gave."""

@final
class EntityTrust(_T3Values, _V3Values):
    """Python-exposed EntityTrust"""

    def __new__(cls, entity_id: str) -> Self: ...
    @staticmethod
    def from_json(text: str) -> EntityTrust:
        """Read a record from its JSON text as the store reads record files"""
    @property
    def entity_id(self) -> str: ...
    @property
    def entity_type(self) -> str: ...
    @property
    def entity_name(self) -> str: ...
    @property
    def witnessed_by(self) -> list[str]: ...
    @property
    def has_witnessed(self) -> list[str]: ...
    @property
    def action_count(self) -> int: ...
    @property
    def success_count(self) -> int: ...
    @property
    def witness_count(self) -> int: ...
    def t3_average(self) -> float:
        """Get T3 average"""
    def v3_average(self) -> float:
        """Get V3 average"""
    def trust_level(self) -> str:
        """Get trust level"""
    def update_from_outcome(self, success: bool, magnitude: _Real) -> None:
        """Update from action outcome"""
    def receive_witness(self, witness_id: str, success: bool, magnitude: _Real) -> None:
        """Receive witness event"""
    def give_witness(self, target_id: str, success: bool, magnitude: _Real) -> None:
        """Give witness event"""
    def days_since_last_action(self) -> float:
        """Days since last action"""
    def apply_decay(self, days_inactive: _Real, decay_rate: _Real) -> bool:
        """Apply decay"""
    def success_rate(self) -> float:
        """Success rate"""
    def to_json(self) -> str:
        """The record's JSON text, as the store writes it"""
    def to_dict(self) -> _EntityTrustDict:
        """Convert to dict (for JSON serialization)"""
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""
    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Restore the state that __reduce__ gave."""

@final
class TrustStore:
    """Python-exposed TrustStore (wraps FileStore or InMemoryStore)"""

    def __new__(cls, path: str | None = None) -> Self: ...
    @classmethod
    def open(cls, address: str, table: str | None = None, create: bool = True) -> Self:
        """Open the store an address names: a database's connection text (as connect takes), else a record directory; with create=False, refuse one that is not there"""
    @classmethod
    def connect(cls, url: str, table: str = "velk_trust") -> Self:
        """Open a store on a PostgreSQL table (libpq connection URI or keyword string)"""
    @property
    def directory(self) -> str | None:
        """The record directory's path; None for a database store"""
    def get(self, entity_id: str) -> EntityTrust:
        """Get entity trust (creates if doesn't exist)"""
    def save(self, trust: EntityTrust) -> None:
        """Save entity trust"""
    def update(self, entity_id: str, success: bool, magnitude: _Real) -> EntityTrust:
        """Update entity from outcome"""
    def witness(self, witness_id: str, target_id: str, success: bool, magnitude: _Real) -> tuple[EntityTrust, EntityTrust]:
        """Witness event between two entities"""
    def list_entities(self, entity_type: str | None = None) -> list[str]:
        """List all entity IDs"""
    def count(self, entity_type: str | None = None) -> int:
        """Count the entity IDs that list_entities gives"""
    def exists(self, entity_id: str) -> bool:
        """Check if entity exists"""
    def delete(self, entity_id: str) -> bool:
        """Delete entity"""
    def get_by_type(self, entity_type: str) -> list[EntityTrust]:
        """Get entities by type"""
    def decay(self, entity_id: str, days_inactive: _Real, decay_rate: _Real, min_idle: _Real = 0.0) -> bool:
        """Apply decay to a stored record under the directory lock; True if it changed"""
    def check(self) -> list[_CheckFinding]:
        """Check every record file or row of the store, writing nothing"""
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""

def create_memory_store() -> TrustStore:
    """Create in-memory store (for testing)"""
