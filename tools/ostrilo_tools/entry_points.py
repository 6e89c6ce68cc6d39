"""Every Python entry point of the installed ostrilo_py, read from the interface records of its
library, with a way to call each one and to make arguments that satisfy its annotations.

The leak test, the fuzzer and the thread stress program enumerate the module through this file,
so a method added to a class table is exercised by all three without a change here: receivers
are built through the class's own constructor record (or, for a class without one, through an
entry that returns it), arguments from their annotations.
"""
from __future__ import annotations

import operator
import random
import struct
from dataclasses import dataclass
from typing import Any

from . import make_stub

# Special methods the interpreter reaches through type slots, called the way Python code does.
BINARY = {"__add__": operator.add, "__sub__": operator.sub, "__mul__": operator.mul,
          "__truediv__": operator.truediv, "__eq__": operator.eq, "__ne__": operator.ne,
          "__lt__": operator.lt, "__le__": operator.le, "__gt__": operator.gt, "__ge__": operator.ge,
          "__getitem__": operator.getitem}
REFLECTED = {"__rmul__": operator.mul}
UNARY = {"__neg__": operator.neg, "__repr__": repr, "__hash__": hash, "__len__": len, "__iter__": iter,
         "__next__": next}


@dataclass(frozen=True)
class Entry:
    owner: str | None  # the class, None for a module-level function
    name: str
    kind: str  # "new", "method", "static", "getter", "setter", "slot" or "function"
    params: tuple[tuple[str, str], ...]  # (name, annotation such as "float", "Vec3d", "Sequence[Vec3d]")
    returns: str
    module: str | None = None  # set for the functions of a companion module (ostrilo_ext)

    @property
    def label(self) -> str:
        base = f"{self.owner}.{self.name}" if self.owner else self.name
        if self.module:
            base = f"{self.module}.{base}"
        return base + (".setter" if self.kind == "setter" else "")

    @property
    def needs_receiver(self) -> bool:
        return self.kind in ("method", "getter", "setter", "slot")


def annotation(node: dict, by_id: dict) -> str:
    """An annotation tree as short text: classes and builtins by bare name."""
    t = node["type"]
    if t == "name":
        return node["id"]
    if t == "attribute":
        return node["attr"]
    if t == "id":
        return by_id[node["id"]]["name"]
    if t == "subscript":
        return f"{annotation(node['value'], by_id)}[{annotation(node['slice'], by_id)}]"
    if t == "tuple":
        return ", ".join(annotation(e, by_id) for e in node["elts"])
    if t == "binop":
        return f"{annotation(node['left'], by_id)} | {annotation(node['right'], by_id)}"
    if t == "constant":
        return "None"
    raise ValueError(f"unknown annotation node {node}")


def kind_of(record: dict) -> str:
    decorators = record.get("decorators", [])
    if any(d["type"] == "attribute" and d["attr"] == "setter" for d in decorators):
        return "setter"
    if any(d == {"type": "name", "id": "property"} for d in decorators):
        return "getter"
    if any(d == {"type": "name", "id": "staticmethod"} for d in decorators):
        return "static"
    if "parent" not in record:
        return "function"
    if record["name"] == "__new__":
        return "new"
    if record["name"].startswith("__") and record["name"].endswith("__"):
        return "slot"
    return "method"


class Surface:
    """The module's classes and entry points, and valid values for every annotation."""

    def __init__(self) -> None:
        import ostrilo_py

        self.root = ostrilo_py
        records = make_stub.read_records(ostrilo_py.__file__)
        by_id = {r["id"]: r for r in records if "id" in r}
        homes = {}
        for m in records:
            if m["type"] == "module":
                module = ostrilo_py if m["name"] == "ostrilo_py" else getattr(ostrilo_py, m["name"])
                for member in m["members"]:
                    homes[member] = module
        self.entries: list[Entry] = []
        for r in records:
            if r["type"] != "function":
                continue
            owner = by_id[r["parent"]]["name"] if "parent" in r else None
            params = tuple((a["name"], annotation(a["annotation"], by_id)) for a in r["arguments"].get("args", []))
            self.entries.append(Entry(owner, r["name"], kind_of(r), params, annotation(r["returns"], by_id)))
        self.entries.sort(key=lambda e: (e.owner or "", e.name, e.kind))
        self.by_owner: dict[str | None, list[Entry]] = {}
        for e in self.entries:
            self.by_owner.setdefault(e.owner, []).append(e)
        self.functions = {by_id[i]["name"]: getattr(m, by_id[i]["name"]) for i, m in homes.items()
                          if by_id[i]["type"] == "function"}
        self.classes: dict[str, type | None] = {r["name"]: None for r in records if r["type"] == "class"}
        for i, m in homes.items():
            if by_id[i]["type"] == "class":
                self.classes[by_id[i]["name"]] = getattr(m, by_id[i]["name"])
        self.companion_functions: dict[str, Any] = {}
        self._add_companion(by_id)

    def _add_companion(self, core_by_id: dict) -> None:
        """The module functions of the companion ostrilo_ext, from its own library's records (its
        annotations name the core's classes), when it is installed. One that is installed and
        fails to import is an error here, not a reason to leave its entries out of every check."""
        try:
            import ostrilo_ext
        except ModuleNotFoundError as e:
            if e.name != "ostrilo_ext":
                raise
            return
        records = make_stub.read_records(ostrilo_ext.__file__)
        by_id = {**core_by_id, **{r["id"]: r for r in records if "id" in r}}
        for r in records:
            if r["type"] == "class":  # its own classes (SpatialIndex), reached as attributes
                self.classes[r["name"]] = getattr(ostrilo_ext, r["name"])
            if r["type"] != "function":
                continue
            params = tuple((a["name"], annotation(a["annotation"], by_id)) for a in r["arguments"].get("args", []))
            if "parent" in r:  # a method of one of its classes
                owner = by_id[r["parent"]]["name"]
                self.entries.append(Entry(owner, r["name"], kind_of(r), params, annotation(r["returns"], by_id),
                                          "ostrilo_ext"))
                self.by_owner.setdefault(owner, []).append(self.entries[-1])
                continue
            self.entries.append(Entry(None, r["name"], "function", params, annotation(r["returns"], by_id),
                                      "ostrilo_ext"))
            self.by_owner.setdefault(None, []).append(self.entries[-1])
            self.companion_functions[r["name"]] = getattr(ostrilo_ext, r["name"])

    def of(self, owner: str) -> list[Entry]:
        return self.by_owner.get(owner, [])

    def cls(self, name: str) -> type:
        """The class object, also of a class that is registered in no module."""
        if self.classes[name] is None:
            self.classes[name] = type(self.make(name))
        return self.classes[name]  # type: ignore[return-value]

    def make(self, name: str, rng: random.Random | None = None, size: int = 3) -> Any:
        """A new instance of the class: through its constructor, or else through any entry that
        returns one. Sequences in its arguments have `size` items unless rng draws a size."""
        if name in AGREEING:
            return AGREEING[name](self, rng)
        entries = self.of(name)
        new = [e for e in entries if e.kind == "new"]
        if new and self.classes[name] is not None:
            return self.classes[name](*[self.value(a, rng, size) for _, a in new[0].params])
        for e in self.entries:
            if e.returns == name and e.owner != name and e.kind != "setter":
                return self.call(e, self.make(e.owner, rng, size) if e.needs_receiver else None,
                                 [self.value(a, rng, size) for _, a in e.params])
        raise LookupError(f"no way to make a {name}")

    def value(self, ann: str, rng: random.Random | None = None, size: int = 3) -> Any:
        """A value that converts without error for a parameter of this annotation."""
        if " | " in ann:  # a union: None where it may be left so (an optional box), else its first
            options = ann.split(" | ")
            return None if "None" in options else self.value(options[0], rng, size)
        if ann == "float":
            return rng.choice(FLOATS) if rng else 1.5
        if ann == "int":
            return rng.choice((0, 1, 2)) if rng else 1
        if ann == "bool":
            return rng.choice((True, False)) if rng else True
        if ann == "str":  # the companion's axis sequences
            return rng.choice(("xyz", "ZXZ", "yxy", "xx", "", "xyzw")) if rng else "xyz"
        if ann == "Sequence[Sequence[float]]":  # rows: points of three coordinates
            n = (3000 if rng.random() < 0.03 else rng.choice((0, 1, 2, 3, 5, 8, 40))) if rng else size
            return [[self.value("float", rng) for _ in range(3)] for _ in range(n)]
        if ann.startswith("Sequence[") and ann.endswith("]"):
            # Now and then long enough for the worker pool to take the work.
            n = (3000 if rng.random() < 0.03 else rng.choice((0, 1, 2, 3, 5, 8, 40))) if rng else size
            return [self.value(ann[len("Sequence["):-1], rng) for _ in range(n)]
        if ann in self.classes:
            return self.make(ann, rng, size)
        raise LookupError(f"no value for annotation {ann!r}")

    def call(self, e: Entry, receiver: Any, args: list, kwargs: dict | None = None) -> Any:
        """Calls one entry the way Python code reaches it."""
        kwargs = kwargs or {}
        if e.kind == "new":
            return self.cls(e.owner)(*args, **kwargs)
        if e.kind == "function":
            return (self.companion_functions if e.module else self.functions)[e.name](*args, **kwargs)
        if e.kind == "static":
            return getattr(self.cls(e.owner), e.name)(*args, **kwargs)
        if e.kind == "method":
            return getattr(receiver, e.name)(*args, **kwargs)
        if e.kind == "getter":
            return getattr(receiver, e.name)
        if e.kind == "setter":
            if not args:
                return delattr(receiver, e.name)
            return setattr(receiver, e.name, args[0])
        if not kwargs and len(args) == 1 and e.name in BINARY:
            return BINARY[e.name](receiver, args[0])
        if not kwargs and len(args) == 1 and e.name in REFLECTED:
            return REFLECTED[e.name](args[0], receiver)
        if not kwargs and not args and e.name in UNARY:
            return UNARY[e.name](receiver)
        return getattr(receiver, e.name)(*args, **kwargs)


# Classes whose constructor's arguments must agree with each other (as many key times, in
# increasing order, as key rotations), which values drawn one by one from their annotations never
# do: made by hand, with the sizes and numbers a draw would give.
AGREEING = {
    "Slerp": lambda s, rng: s.cls("Slerp")(
        sorted({rng.choice(FLOATS[:6]) if rng else 0.0, 2.5, 7.0}),
        s.cls("QuatList").random(3, rng.randrange(1000) if rng else 0)),
}


# Internal assertions the module documents (index and axis out of range, stride 0, a search that
# found nothing, a comparison operand borrowed elsewhere): the messages of the PanicExceptions
# that arguments may provoke, every other one is a fault.
DOCUMENTED_PANICS = frozenset({"assertion failed: index <= 2", "assertion failed: axis <= 2",
                               "assertion failed: stride != 0", "called `Option::unwrap()` on a `None` value",
                               "Already mutably borrowed: PyBorrowError"})


def documented_panic(error: BaseException) -> bool:
    return type(error).__name__ == "PanicException" and str(error) in DOCUMENTED_PANICS


FLOATS = (0.0, -0.0, 1.0, -1.5, 0.5, 3.0, 1e-300, 5e-324, 1e300, 2.0**53, float("inf"), float("-inf"),
          float("nan"), 0.1, -7.25)


def state(surface: Surface, obj: Any, depth: int = 0) -> Any:
    """What an instance holds, read through its property getters (floats by their bits), so that
    two reads compare equal exactly when nothing changed. None for a class without properties."""
    if isinstance(obj, float):
        return struct.pack("<d", obj)
    if isinstance(obj, (list, tuple)):
        return [state(surface, o, depth) for o in obj]
    name = type(obj).__name__
    if depth > 3 or name not in surface.classes:
        return obj
    getters = [e.name for e in surface.of(name) if e.kind == "getter"]
    if not getters:
        return None
    return tuple(state(surface, getattr(obj, g), depth + 1) for g in getters)


def borrow_flag(obj: Any):
    """An instance's borrow flag, as a ctypes int32 over the instance's memory: the flag is the
    last 8 bytes of the instance (tests/borrowing.py checks that layout)."""
    import ctypes

    return ctypes.c_int32.from_address(id(obj) + type(obj).__basicsize__ - 8)
