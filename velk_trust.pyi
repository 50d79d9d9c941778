"""Python module definition"""

# The docstrings here are what editors show; the module's own are shorter.

from types import TracebackType
from typing import Any, Final, Literal, Self, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

__all__ = [
    "T3Tensor", "V3Tensor", "EntityTrust", "TrustStore", "create_memory_store", "__version__",
    "TrustError", "StorageError", "SerializationError", "InvalidIdError", "TrustIOError", "AsyncTrustStore",
]

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

class TrustError(ValueError):
    """A store or a record text could not do what was asked; str() is the library's text.

    errno: the operating system's error number, or None. path: the record file, or
    '<table>/<identifier>' of a row, or None. entity_id: the identifier concerned, or None.
    transient: True where trying again may succeed (a lost connection, a timeout, a busy
    system). outcome_unknown: True where a write may or may not have been made.
    """

    errno: int | None
    path: str | None
    entity_id: str | None
    transient: bool
    outcome_unknown: bool

class StorageError(TrustError):
    """A store refused or failed a call ("Storage error: ..."): a misplaced or oversized record,
    a database's refusal or lost connection, no home directory."""

class SerializationError(TrustError):
    """A record text does not read ("Serialization error: ..." with the reader's message and its
    position); a note names the record's file or row."""

class InvalidIdError(TrustError):
    """An identifier is not of the form 'type:name' ("Invalid entity ID format: ...")."""

class TrustIOError(TrustError):
    """A file operation failed ("IO error: ..." with the system's message; errno is its number)."""

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
    """Python-exposed T3 Trust Tensor (Talent/Training/Temperament)

    How far an entity can be trusted to act: talent (shown competence), training (reliability
    over many actions) and temperament (steadiness), each 0..1, neutral at 0.5. Values are
    clamped to 0..1 on construction and assignment.
    """

    def __new__(cls, talent: _Real = 0.5, training: _Real = 0.5, temperament: _Real = 0.5) -> Self: ...
    @staticmethod
    def neutral() -> T3Tensor:
        """Create a neutral tensor (all 0.5)"""
    def average(self) -> float:
        """Calculate average trust score: ((training + talent) + temperament) / 3."""
    def level(self) -> str:
        """Get trust level as string: "high" from an average of 0.8, "medium-high" from 0.6,
        "medium" from 0.4, "low" from 0.2, else "minimal" (NaN included)."""
    def update_from_outcome(self, success: bool, magnitude: _Real) -> None:
        """Update from action outcome.

        magnitude (clamped to 0..1) is how much the outcome says. With t the training before,
        delta is magnitude * 0.05 * (1 - t) on success and magnitude * -0.1 * t on failure;
        training moves by delta, temperament by half of it, talent by 0.3 of it.
        """
    def apply_decay(self, days_inactive: _Real, decay_rate: _Real) -> bool:
        """Apply temporal decay: each value moves toward 0.3 by the factor
        (1 - decay_rate) ** days_inactive (talent 0.995 and temperament 0.98 of it), never below
        0.3. Nothing happens for days_inactive <= 0. Returns True only when training moved by
        more than 0.001."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""
    def __setstate__(self, state: tuple[float, float, float], /) -> None:
        """Restore the state that __reduce__ gave."""

@final
class V3Tensor(_V3Values):
    """Python-exposed V3 Value Tensor (Valuation/Veracity/Validity)

    How much an entity's work is worth: valuation, veracity and validity, each 0..1, neutral at
    0.5, clamped on construction and assignment.
    """

    def __new__(cls, valuation: _Real = 0.5, veracity: _Real = 0.5, validity: _Real = 0.5) -> Self: ...
    @staticmethod
    def neutral() -> V3Tensor:
        """A neutral tensor (all 0.5)."""
    def average(self) -> float:
        """((veracity + valuation) + validity) / 3."""
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""
    def __setstate__(self, state: tuple[float, float, float], /) -> None:
        """Restore the state that __reduce__ gave."""

@final
class EntityTrust(_T3Values, _V3Values):
    """Python-exposed EntityTrust

    One entity's record ("type:name"): its T3 and V3 values, counters, witness lists and times.
    A record from a store is a copy: pass it to TrustStore.save to store a change.
    """

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
        """Get trust level: the level word of t3_average() ("high", "medium-high", "medium",
        "low", "minimal")."""
    def update_from_outcome(self, success: bool, magnitude: _Real) -> None:
        """Update from action outcome: talent, training and temperament as T3Tensor's
        update_from_outcome (magnitude clamped to 0..1), valuation + 0.01 (at most 1),
        action_count + 1, success_count + 1 on success, last_action now."""
    def receive_witness(self, witness_id: str, success: bool, magnitude: _Real) -> None:
        """Receive witness event: witness_count + 1, witness_id added to witnessed_by once,
        temperament and veracity raised on success (lowered on failure) by magnitude (not
        clamped), validity + 0.01 (at most 1)."""
    def give_witness(self, target_id: str, success: bool, magnitude: _Real) -> None:
        """Give witness event: target_id added to has_witnessed once, temperament raised (by
        half on a failure), valuation + 0.005 (at most 1); no counter changes."""
    def days_since_last_action(self) -> float:
        """Days since last action (or since creation when there was none), to the second;
        negative for a time in the future."""
    def apply_decay(self, days_inactive: _Real, decay_rate: _Real) -> bool:
        """Apply decay to talent, training, temperament, valuation and validity (veracity
        stays), as T3Tensor's apply_decay. Returns True only when training moved by more than
        0.001; a small rate changes values and returns False."""
    def success_rate(self) -> float:
        """Success rate: success_count / action_count, 0.5 before any action."""
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
    """Python-exposed TrustStore (wraps FileStore or InMemoryStore)

    The records of a record directory (TrustStore(path), one JSON file per entity) or of a
    PostgreSQL table (TrustStore.connect(url)). Every method reads and writes the store itself:
    there is no cache, and several stores, threads and processes may share one.
    """

    def __new__(cls, path: str | None = None) -> Self:
        """A store on the directory path (created with its ancestors), or on
        ~/.velk/governance/entities when path is None. A connection text is refused: open it
        with TrustStore.connect."""
    @classmethod
    def open(
        cls,
        address: str,
        table: str | None = None,
        create: bool = True,
        timeout: float | None = None,
        pool_size: int | None = None,
    ) -> Self:
        """Open the store an address names: a database's connection text (as connect takes), else a record directory; with create=False, refuse one that is not there"""
    @classmethod
    def connect(cls, url: str, table: str = "velk_trust", timeout: float | None = None, pool_size: int | None = None) -> Self:
        """Open a store on a PostgreSQL table (libpq connection URI or keyword string)"""
    @property
    def directory(self) -> str | None:
        """The record directory's path; None for a database store"""
    def get(self, entity_id: str) -> EntityTrust:
        """Get entity trust (creates if doesn't exist): the stored record, or a new neutral one,
        saved at once. StorageError when the place holds another entity's record."""
    def find(self, entity_id: str) -> EntityTrust | None:
        """The stored record, or None when there is none; creates nothing (use it to gate on a
        record that must exist)."""
    def save(self, trust: EntityTrust) -> None:
        """Save entity trust: replaces the record of trust.entity_id whole."""
    def create(self, trust: EntityTrust) -> bool:
        """Save entity trust only where no record is stored for its entity_id, in one step; True if it was saved"""
    def update(self, entity_id: str, success: bool, magnitude: _Real) -> EntityTrust:
        """Update entity from outcome: update_from_outcome on the stored record (made when
        missing) and save, atomically; returns the updated record."""
    def witness(self, witness_id: str, target_id: str, success: bool, magnitude: _Real) -> tuple[EntityTrust, EntityTrust]:
        """Witness event between two entities: the target receives the witness and the witness
        gives it, both saved or neither; returns (witness, target)."""
    def list_entities(self, entity_type: str | None = None) -> list[str]:
        """List all entity IDs"""
    def count(self, entity_type: str | None = None) -> int:
        """Count the entity IDs that list_entities gives (the same records skipped)"""
    def exists(self, entity_id: str) -> bool:
        """Check if entity exists"""
    def delete(self, entity_id: str) -> bool:
        """Delete entity"""
    def get_by_type(self, entity_type: str) -> list[EntityTrust]:
        """Get entities by type"""
    def decay(self, entity_id: str, days_inactive: _Real, decay_rate: _Real, min_idle: _Real = 0.0) -> bool:
        """Apply decay to a stored record under the directory lock; True if it changed.

        The record (none is made) is decayed by apply_decay(days_inactive, decay_rate) when it has
        been idle for min_idle days or more, and saved whenever any value moved.
        """
    def check(self) -> list[_CheckFinding]:
        """Check every record file or row of the store, writing nothing"""
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""

@final
class AsyncTrustStore:
    """A TrustStore for asyncio: every method a coroutine, run by the event loop without blocking it

    The same records, results, texts and errors as TrustStore on the same backend. A database
    store's waits are the event loop's own; a directory's call whose lock is free runs at once,
    and a lock wait or a listing runs on a thread of its own. A cancelled task (task.cancel(),
    asyncio.timeout(), Ctrl-C under asyncio.run) stops its call as Ctrl-C stops a TrustStore
    call, and its CancelledError carries a note of what became of the change. A store is bound
    to the event loop that first uses it (until that loop is closed).
    """

    def __new__(cls, path: str | None = None) -> Self:
        """A store on the directory path (created with its ancestors), or on the default
        directory; a database store opens with await AsyncTrustStore.connect(...)."""
    @classmethod
    async def connect(
        cls, url: str, table: str = "velk_trust", timeout: float | None = None, pool_size: int | None = None
    ) -> Self:
        """Open a store on a PostgreSQL table (libpq connection URI or keyword string)"""
    @classmethod
    async def open(
        cls,
        address: str,
        table: str | None = None,
        create: bool = True,
        timeout: float | None = None,
        pool_size: int | None = None,
    ) -> Self:
        """Open the store an address names: a database's connection text (as connect takes), else a record directory; with create=False, refuse one that is not there"""
    @classmethod
    def _reopen(
        cls, url: str, table: str = "velk_trust", timeout: float | None = None, pool_size: int | None = None
    ) -> Self:
        """Open a database store at once (how a pickled store comes back)"""
    @property
    def directory(self) -> str | None:
        """The record directory's path; None for a database store"""
    async def get(self, entity_id: str) -> EntityTrust:
        """Get entity trust (creates if doesn't exist)"""
    async def find(self, entity_id: str) -> EntityTrust | None:
        """The stored record, or None when there is none; creates nothing"""
    async def save(self, trust: EntityTrust) -> None:
        """Save entity trust (the record as it was when save was called)"""
    async def create(self, trust: EntityTrust) -> bool:
        """Save entity trust only where no record is stored for its entity_id, in one step; True if it was saved"""
    async def update(self, entity_id: str, success: bool, magnitude: _Real) -> EntityTrust:
        """Update entity from outcome"""
    async def witness(
        self, witness_id: str, target_id: str, success: bool, magnitude: _Real
    ) -> tuple[EntityTrust, EntityTrust]:
        """Witness event between two entities"""
    async def list_entities(self, entity_type: str | None = None) -> list[str]:
        """List all entity IDs"""
    async def count(self, entity_type: str | None = None) -> int:
        """Count the entity IDs that list_entities gives"""
    async def exists(self, entity_id: str) -> bool:
        """Check if entity exists"""
    async def delete(self, entity_id: str) -> bool:
        """Delete entity"""
    async def get_by_type(self, entity_type: str) -> list[EntityTrust]:
        """Get entities by type"""
    async def decay(self, entity_id: str, days_inactive: _Real, decay_rate: _Real, min_idle: _Real = 0.0) -> bool:
        """Apply decay to a stored record under the directory lock; True if it changed"""
    async def check(self) -> list[_CheckFinding]:
        """Check every record file or row of the store, writing nothing"""
    async def aclose(self) -> None:
        """Close the store's database sessions; later calls fail"""
    async def __aenter__(self) -> Self:
        """The store itself"""
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None = None,
        exc: BaseException | None = None,
        traceback: TracebackType | None = None,
    ) -> None:
        """Close the store's sessions (await aclose())"""
    def __reduce__(self) -> tuple[Any, ...]:
        """Helper for pickle."""

def create_memory_store() -> TrustStore:
    """Create in-memory store (for testing)

    Despite its name, the same as TrustStore(): a store on the default record directory below
    the home directory, whose records every other store there sees. For a throwaway store use
    TrustStore(tempfile.mkdtemp()).
    """
