"""What a Python user would otherwise write: the same tensor arithmetic in a __slots__ class, and a
record store of JSON files named by hashlib's SHA-256, written with json.dumps(indent=2) and
os.replace, and read-modify-written under fcntl.flock. The same work as velk_trust, not every
message."""
import fcntl
import hashlib
import json
import os
import time


def clamp(x):
    return 0.0 if x < 0.0 else 1.0 if x > 1.0 else x


class T3Tensor:
    # Assignment clamps, as the module's does, so the values live under private slots behind
    # properties; the methods use the slots directly.
    __slots__ = ("_talent", "_training", "_temperament")

    def __init__(self, talent=0.5, training=0.5, temperament=0.5):
        self._talent = clamp(float(talent))
        self._training = clamp(float(training))
        self._temperament = clamp(float(temperament))

    @property
    def talent(self):
        return self._talent

    @talent.setter
    def talent(self, value):
        self._talent = clamp(float(value))

    @property
    def training(self):
        return self._training

    @training.setter
    def training(self, value):
        self._training = clamp(float(value))

    @property
    def temperament(self):
        return self._temperament

    @temperament.setter
    def temperament(self, value):
        self._temperament = clamp(float(value))

    def update_from_outcome(self, success, magnitude):
        m = clamp(float(magnitude))
        t = self._training
        delta = (m * 0.05) * (1.0 - t) if success else (m * -0.1) * t
        self._temperament = clamp(self._temperament + 0.5 * delta)
        self._talent = clamp(self._talent + 0.3 * delta)
        self._training = clamp(t + delta)

    def average(self):
        return ((self._training + self._talent) + self._temperament) / 3.0


class EntityTrust:
    __slots__ = ("entity_id", "entity_type", "entity_name", "t3", "valuation", "veracity", "validity",
                 "witnessed_by", "has_witnessed", "action_count", "success_count", "witness_count",
                 "last_action", "created_at")

    def __init__(self, entity_id):
        self.entity_id = entity_id
        self.entity_type, _, self.entity_name = entity_id.partition(":") if ":" in entity_id else ("", "", entity_id)
        self.t3 = T3Tensor()
        self.valuation = self.veracity = self.validity = 0.5
        self.witnessed_by, self.has_witnessed = [], []
        self.action_count = self.success_count = self.witness_count = 0
        self.last_action = None
        self.created_at = time.time()

    def update_from_outcome(self, success, magnitude):
        self.action_count += 1
        if success:
            self.success_count += 1
        self.t3.update_from_outcome(success, magnitude)
        self.valuation = min(self.valuation + 0.01, 1.0)
        self.last_action = time.time()

    def receive_witness(self, witness_id, success, magnitude):
        self.witness_count += 1
        if witness_id not in self.witnessed_by:
            self.witnessed_by.append(witness_id)
        t = self.t3._temperament
        if success:
            self.t3._temperament = clamp(t + (1.0 - t) * (0.03 * magnitude))
            self.veracity = clamp(self.veracity + (magnitude * 0.8) * (1.0 - self.veracity))
        else:
            self.t3._temperament = clamp(t + (-0.05 * magnitude) * t)
            self.veracity = clamp(self.veracity + (magnitude * -0.5) * self.veracity)
        self.validity = min(self.validity + 0.01, 1.0)

    def give_witness(self, target_id, success, magnitude):
        if target_id not in self.has_witnessed:
            self.has_witnessed.append(target_id)
        k = 0.02 if success else 0.01
        self.t3._temperament = clamp(self.t3._temperament + (magnitude * k) * (1.0 - self.t3._temperament))
        self.valuation = min(self.valuation + 0.005, 1.0)

    def to_dict(self):
        t3 = self.t3
        return {
            "entity_id": self.entity_id, "entity_type": self.entity_type, "entity_name": self.entity_name,
            "talent": t3._talent, "training": t3._training, "temperament": t3._temperament,
            "valuation": self.valuation, "veracity": self.veracity, "validity": self.validity,
            "witnessed_by": list(self.witnessed_by), "has_witnessed": list(self.has_witnessed),
            "action_count": self.action_count, "success_count": self.success_count,
            "witness_count": self.witness_count,
        }

    def to_json(self):
        d = self.to_dict()
        d["last_action"] = self.last_action
        d["created_at"] = self.created_at
        return json.dumps(d, indent=2)

    @classmethod
    def from_json(cls, text):
        d = json.loads(text)
        r = cls.__new__(cls)
        r.entity_id, r.entity_type, r.entity_name = d["entity_id"], d.get("entity_type", ""), d.get("entity_name", "")
        r.t3 = T3Tensor(d.get("talent", 0.5), d.get("training", 0.5), d.get("temperament", 0.5))
        r.valuation, r.veracity, r.validity = d.get("valuation", 0.5), d.get("veracity", 0.5), d.get("validity", 0.5)
        r.witnessed_by, r.has_witnessed = d.get("witnessed_by", []), d.get("has_witnessed", [])
        r.action_count, r.success_count = d.get("action_count", 0), d.get("success_count", 0)
        r.witness_count, r.last_action = d.get("witness_count", 0), d.get("last_action")
        r.created_at = d.get("created_at")
        return r


class TrustStore:
    def __init__(self, path):
        self.path = path
        os.makedirs(path, exist_ok=True)

    def record_path(self, entity_id):
        return os.path.join(self.path, hashlib.sha256(entity_id.encode()).hexdigest()[:16] + ".json")

    def _read(self, path):
        with open(path, encoding="utf-8") as f:
            return EntityTrust.from_json(f.read())

    def save(self, record):
        path = self.record_path(record.entity_id)
        tmp = f"{path}.{os.getpid()}.tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(record.to_json())
        os.replace(tmp, path)

    def exists(self, entity_id):
        return os.path.exists(self.record_path(entity_id))

    def _locked(self):
        fd = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(fd, fcntl.LOCK_EX)
        return fd

    def _get_or_create(self, entity_id):
        path = self.record_path(entity_id)
        try:
            return self._read(path)
        except FileNotFoundError:
            record = EntityTrust(entity_id)
            self.save(record)
            return record

    def get(self, entity_id):
        try:
            return self._read(self.record_path(entity_id))
        except FileNotFoundError:
            fd = self._locked()
            try:
                return self._get_or_create(entity_id)
            finally:
                os.close(fd)

    def update(self, entity_id, success, magnitude):
        fd = self._locked()
        try:
            record = self._get_or_create(entity_id)
            record.update_from_outcome(success, magnitude)
            self.save(record)
            return record
        finally:
            os.close(fd)

    def witness(self, witness_id, target_id, success, magnitude):
        fd = self._locked()
        try:
            target = self._get_or_create(target_id)
            target.receive_witness(witness_id, success, magnitude)
            self.save(target)
            witness = self._get_or_create(witness_id)
            witness.give_witness(target_id, success, magnitude)
            self.save(witness)
            return witness, target
        finally:
            os.close(fd)

    def _scan(self):
        records = []
        for entry in os.scandir(self.path):
            if entry.name.endswith(".json"):
                try:
                    records.append(self._read(entry.path))
                except (OSError, ValueError, KeyError):
                    pass
        return records

    def list_entities(self, entity_type=None):
        return [r.entity_id for r in self._scan() if entity_type is None or r.entity_type == entity_type]

    def get_by_type(self, entity_type):
        return [r for r in self._scan() if r.entity_type == entity_type]
