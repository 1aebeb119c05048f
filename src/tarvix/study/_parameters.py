"""Parameters of a study: what each changes in the base model, and the values it takes."""

from __future__ import annotations

import builtins
import math
import os
import re
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tarvix import idf as _idf

# Characters a field value cannot hold: they would end the field, the object or start a comment.
_UNSAFE = re.compile(r"[,;!\r\n]")
# The most names an error lists.
_SHOWN = 8
_MATERIAL_CLASSES = re.compile(r"^(Material|WindowMaterial:|Material:)", re.IGNORECASE)
_DAY_SCHEDULES = ("Schedule:Day:Hourly", "Schedule:Day:Interval", "Schedule:Day:List")


@dataclass(frozen=True)
class Target:
    """One field a field parameter writes: the object's class, its position among the objects of its class
    in the base model, and the field's index."""

    class_name: str
    position: int
    field: int


def _listed(names: Iterable[str]) -> str:
    names = sorted(set(names), key=str.lower)
    if not names:
        return "none"
    shown = ", ".join(names[:_SHOWN])
    return shown + (f" and {len(names) - _SHOWN} more" if len(names) > _SHOWN else "")


def _check_value(name: str, value: Any) -> Any:
    """A value a parameter can take: a finite number, a str, a bool or a path."""
    if isinstance(value, bool) or isinstance(value, str):
        return value
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    if isinstance(value, (int, float)):
        if isinstance(value, float) and not math.isfinite(value):
            raise ValueError(f"parameter {name!r}: {value!r} is not a value it can take (a number must be finite)")
        return value
    if hasattr(value, "__float__") and hasattr(value, "dtype"):  # a NumPy scalar
        return _check_value(name, value.item())
    raise TypeError(f"parameter {name!r}: a value is a number, a str or a bool, not {type(value).__name__}")


class Parameter:
    """One thing a study varies: a name (its column in the design and the results), the values it takes (a
    list, for grids and explicit tables) or a range (low, high) for the samplers, and what it changes.
    Made by field(), edit(), window_wall_ratio(), orientation(), layer_thickness(), material_property(),
    schedule_value() and weather()."""

    kind: str  # "field", "edit" or "weather"

    def __init__(self, name: str, kind: str, values: Sequence[Any] | None, range: Sequence[float] | None, *,
                 integer: bool = False) -> None:
        if not isinstance(name, str) or not name.strip():
            raise ValueError("a parameter needs a name (a non-empty str)")
        self.name = name
        self.kind = kind
        self.integer = integer
        if values is not None and range is not None:
            raise ValueError(f"parameter {name!r}: give values or a range, not both")
        if values is None and range is None:
            raise ValueError(f"parameter {name!r} has no values: give values=[...] or range=(low, high)")
        self.values: tuple[Any, ...] | None = None
        self.range: tuple[float, float] | None = None
        if values is not None:
            if isinstance(values, (str, bytes)):
                raise TypeError(f"parameter {name!r}: values is a list of values, not a str")
            checked = tuple(_check_value(name, v) for v in values)
            if not checked:
                raise ValueError(f"parameter {name!r} has no values: give at least one")
            self.values = checked
        else:
            assert range is not None
            bounds = tuple(range)
            if len(bounds) != 2:
                raise ValueError(f"parameter {name!r}: a range is (low, high)")
            low, high = (_check_value(name, b) for b in bounds)
            if not all(isinstance(b, (int, float)) and not isinstance(b, bool) for b in (low, high)):
                raise TypeError(f"parameter {name!r}: a range is two numbers")
            if not low < high:
                raise ValueError(f"parameter {name!r}: a range's low end must be below its high end, not "
                                 f"({low!r}, {high!r})")
            self.range = (float(low), float(high))

    def __repr__(self) -> str:
        taken = f"values={list(self.values)!r}" if self.values is not None else f"range={self.range!r}"
        return f"<Parameter {self.name!r} ({self.kind}) {taken}>"

    @property
    def continuous(self) -> bool:
        """Whether the parameter takes a range (samplers draw from it) rather than a list of values."""
        return self.range is not None

    def value_at(self, u: float) -> Any:
        """The value at `u` in [0, 1): a point of the range, or one of the listed values (equal shares)."""
        if self.range is not None:
            low, high = self.range
            value = low + u * (high - low)
            return round(value) if self.integer else value
        assert self.values is not None
        return self.values[min(int(u * len(self.values)), len(self.values) - 1)]

    def checked(self, doc: _idf.IDF, values: Iterable[Any] | None = None) -> None:
        """ValueError when the parameter names something `doc` lacks, or takes a value its fields refuse
        (its own values, or `values`)."""

    def apply(self, doc: _idf.IDF, value: Any) -> None:
        raise NotImplementedError


class FieldParameter(Parameter):
    """A parameter that writes its value into fields of the base model: every target field takes the same
    text. Its edits can be undone exactly, so variants are written from one loaded copy of the base."""

    def __init__(self, name: str, values: Sequence[Any] | None, range: Sequence[float] | None,
                 resolve: Callable[[_idf.IDF], list[Target]], what: str, *, integer: bool = False) -> None:
        super().__init__(name, "field", values, range, integer=integer)
        self._resolve = resolve
        self.what = what

    def targets(self, doc: _idf.IDF) -> list[Target]:
        """The fields the parameter writes in `doc` (a parameter may serve several base models)."""
        found = self._resolve(doc)
        if not found:
            raise ValueError(f"parameter {self.name!r}: {self.what} names no field of the base model")
        return found

    def checked(self, doc: _idf.IDF, values: Iterable[Any] | None = None,
                targets: list[Target] | None = None) -> None:
        targets = targets if targets is not None else self.targets(doc)
        if values is not None:
            candidates = list(values)
        else:
            candidates = list(self.values) if self.values is not None else list(self.range or ())
        for value in candidates:
            try:
                value_text(value)
            except ValueError as error:
                raise ValueError(f"parameter {self.name!r}: {error}") from None
        for target in targets:
            info = doc.idd.get_class_info(target.class_name).fields
            field = info[target.field] if target.field < len(info) else info[-1]
            for value in candidates:
                problem = _field_refuses(field, value)
                if problem:
                    raise ValueError(f"parameter {self.name!r}: {value!r} {problem} ({target.class_name} field "
                                     f"{field.name!r}, {self.what})")

    def apply(self, doc: _idf.IDF, value: Any, targets: list[Target] | None = None) -> None:
        """Write `value` into the fields `targets` (resolved in a document of the same text) or, by
        default, those the parameter names in `doc`."""
        text = value_text(value)
        objects: dict[str, _idf.IDFObjectTuple] = {}
        for target in targets if targets is not None else self.targets(doc):
            if target.class_name not in objects:
                objects[target.class_name] = doc[target.class_name]
            objects[target.class_name][target.position][target.field] = text


class EditParameter(Parameter):
    """A parameter applied by a function `f(doc, value)`."""

    def __init__(self, name: str, function: Callable[[_idf.IDF, Any], object], values: Sequence[Any] | None,
                 range: Sequence[float] | None, *, check: Callable[[_idf.IDF], None] | None = None,
                 integer: bool = False) -> None:
        super().__init__(name, "edit", values, range, integer=integer)
        if not callable(function):
            raise TypeError(f"parameter {name!r}: the edit is a function f(doc, value)")
        self.function = function
        self._check = check

    def checked(self, doc: _idf.IDF, values: Iterable[Any] | None = None) -> None:
        if self._check is not None:
            self._check(doc)

    def apply(self, doc: _idf.IDF, value: Any) -> None:
        self.function(doc, value)


class WeatherParameter(Parameter):
    """The weather file each variant runs with."""

    def __init__(self, name: str, files: Sequence[str | os.PathLike[str]]) -> None:
        super().__init__(name, "weather", [os.fspath(f) for f in files], None)
        assert self.values is not None
        for path in self.values:
            if not isinstance(path, str) or not Path(path).is_file():
                raise FileNotFoundError(f"parameter {name!r}: no such weather file: {path}")

    def apply(self, doc: _idf.IDF, value: Any) -> None:
        pass  # the run's weather file, not the document


def value_text(value: Any) -> str:
    """The text a field takes for a value: numbers as Python writes them (0.1, 25, 1e-05), True and False
    as Yes and No, text as it is."""
    if isinstance(value, bool):
        return "Yes" if value else "No"
    text = repr(value) if isinstance(value, float) else str(value)
    if _UNSAFE.search(text):
        raise ValueError(f"{text!r} cannot stand in a field: it holds ',', ';', '!' or a line break")
    return text


def _number(value: Any) -> float | None:
    if isinstance(value, bool):
        return None
    if isinstance(value, (int, float)):
        return float(value)
    try:
        return float(str(value))
    except ValueError:
        return None


def _field_refuses(field: Any, value: Any) -> str | None:
    """Why the schema's field does not take `value`, or None."""
    text = value if isinstance(value, str) else None
    if field.kind == "N":
        if text is not None and text.strip().lower() == "autosize" and field.autosizable:
            return None
        if text is not None and text.strip().lower() == "autocalculate" and field.autocalculatable:
            return None
        number = _number(value)
        if number is None or not math.isfinite(number):
            return "is not a number"
        if field.type == "integer" and not float(number).is_integer():
            return "is not a whole number"
        low, high = field.minimum, field.maximum
        below = low is not None and (number <= low if field.minimum_exclusive else number < low)
        above = high is not None and (number >= high if field.maximum_exclusive else number > high)
        if below or above:
            units = f" {field.units}" if field.units else ""
            limits = []
            if low is not None:
                limits.append(f"{'>' if field.minimum_exclusive else '>='} {low:g}{units}")
            if high is not None:
                limits.append(f"{'<' if field.maximum_exclusive else '<='} {high:g}{units}")
            return f"is outside the field's limits ({' and '.join(limits)})"
        return None
    if field.choices:
        keys = {c.lower() for c in field.choices}
        if str(value_text(value)).lower() not in keys:
            return f"is not one of the field's choices ({', '.join(field.choices)})"
    return None


def _field_index(doc: _idf.IDF, class_name: str, field: int | str) -> int:
    info = doc.idd.get_class_info(class_name)
    names = [f.name for f in info.fields]
    if isinstance(field, int) and not isinstance(field, bool):
        if not 0 <= field < len(names) and not info.extensible_size:
            raise ValueError(f"{class_name} has no field {field} (it has {len(names)})")
        return field
    if not isinstance(field, str):
        raise TypeError(f"a field is named by its name or index, not {type(field).__name__}")
    wanted = field.strip().lower()
    for index, name in enumerate(names):
        if name.lower() == wanted:
            return index
    raise ValueError(f"{class_name} has no field {field!r} (its fields: {_listed(names)})")


def _class_of(doc: _idf.IDF, class_name: str) -> str:
    """The class as the schema spells it; ValueError naming the classes of the base model when the schema
    or the model has none of it."""
    try:
        spelled = doc.idd.get_class_info(class_name).name
    except (KeyError, ValueError):
        raise ValueError(f"no class {class_name!r} in the schema (the base model's classes: "
                         f"{_listed(doc.get_class_names())})") from None
    if spelled not in doc:
        raise ValueError(f"the base model has no {spelled} object (its classes: "
                         f"{_listed(doc.get_class_names())})")
    return spelled


def _named(doc: _idf.IDF, class_name: str, name: str) -> tuple[int, _idf.IDFObject]:
    objects = doc[class_name]
    wanted = name.lower()
    for position, obj in enumerate(objects):
        if obj.get_values()[:1] and str(obj[0]).lower() == wanted:
            return position, obj
    raise ValueError(f"the base model has no {class_name} named {name!r} (its {class_name} objects: "
                     f"{_listed(str(o[0]) for o in objects)})")


def field(class_name: str, object: str | Callable[[_idf.IDFObject], bool] | None, field: int | str,
          values: Sequence[Any] | None = None, *, range: Sequence[float] | None = None,
          name: str | None = None) -> Parameter:
    """A parameter that sets one field: of the object of `class_name` named `object` (any case), of every
    object of the class (`object` None or "*"), or of those for which `object(obj)` is true. `field` is the
    field's name or index. Values that the field refuses (outside its limits, not one of its choices, not a
    number) are refused before anything runs, naming the limits."""
    label = name or f"{class_name}:{object if isinstance(object, str) else '*'}:{field}"

    def resolve(doc: _idf.IDF) -> list[Target]:
        spelled = _class_of(doc, class_name)
        index = _field_index(doc, spelled, field)
        if isinstance(object, str) and object != "*":
            position, _ = _named(doc, spelled, object)
            return [Target(spelled, position, index)]
        objects = doc[spelled]
        if object is None or object == "*":
            return [Target(spelled, k, index) for k in builtins.range(len(objects))]
        if not callable(object):
            raise TypeError(f"parameter {label!r}: the object is a name, '*', None or a function of the object")
        chosen = [Target(spelled, k, index) for k, obj in enumerate(objects) if object(obj)]
        if not chosen:
            raise ValueError(f"parameter {label!r}: no {spelled} object passes the filter (its {spelled} "
                             f"objects: {_listed(str(o[0]) for o in objects)})")
        return chosen

    what = f"{class_name} {object!r} field {field!r}" if isinstance(object, str) else f"{class_name} field {field!r}"
    return FieldParameter(label, values, range, resolve, what)



def edit(name: str, function: Callable[[_idf.IDF, Any], object], values: Sequence[Any] | None = None, *,
         range: Sequence[float] | None = None) -> Parameter:
    """A parameter applied by `function(doc, value)`, for anything a field cannot say; the function edits
    the variant's copy of the base model in place."""
    return EditParameter(name, function, values, range)


def window_wall_ratio(values: Sequence[float] | None = None, *, range: Sequence[float] | None = None,
                      orientation: str | Sequence[str] | None = None, name: str = "window_wall_ratio") -> Parameter:
    """The window-to-wall ratio of the exterior walls (facing `orientation`, None: all), as
    tarvix.geometry.set_window_wall_ratio sets it."""
    from tarvix import geometry

    for value in values if values is not None else (range or ()):
        if not isinstance(value, (int, float)) or isinstance(value, bool) or not 0.0 <= float(value) < 1.0:
            raise ValueError(f"parameter {name!r}: a window-wall ratio is at least 0 and below 1, not {value!r}")

    def apply(doc: _idf.IDF, value: Any) -> None:
        geometry.set_window_wall_ratio(doc, float(value), orientation=orientation)

    def check(doc: _idf.IDF) -> None:
        if not geometry.window_wall_ratio(doc):
            raise ValueError(f"parameter {name!r}: the base model has no exterior walls")

    return EditParameter(name, apply, values, range, check=check)


def orientation(values: Sequence[float] | None = None, *, range: Sequence[float] | None = None,
                name: str = "orientation") -> Parameter:
    """The model turned by a number of degrees clockwise seen from above, as tarvix.geometry.rotate turns it."""
    from tarvix import geometry

    def apply(doc: _idf.IDF, value: Any) -> None:
        geometry.rotate(doc, float(value))

    return EditParameter(name, apply, values, range)


def layer_thickness(construction: str, layer: int | str, values: Sequence[float] | None = None, *,
                    range: Sequence[float] | None = None, name: str | None = None) -> Parameter:
    """The thickness of one layer of a construction: `layer` is the material's name or its place in the
    construction (1 the outside layer). The material itself changes, so every construction using it does."""
    label = name or f"{construction}:{layer}:thickness"

    def resolve(doc: _idf.IDF) -> list[Target]:
        _, obj = _named(doc, _class_of(doc, "Construction"), construction)
        layers = [str(v) for v in obj.get_values()[1:] if v not in (None, "")]
        if isinstance(layer, int) and not isinstance(layer, bool):
            if not 1 <= layer <= len(layers):
                raise ValueError(f"parameter {label!r}: construction {construction!r} has {len(layers)} "
                                 f"layers, not {layer}")
            material = layers[layer - 1]
        else:
            if str(layer).lower() not in (n.lower() for n in layers):
                raise ValueError(f"parameter {label!r}: construction {construction!r} has no layer {layer!r} "
                                 f"(its layers: {', '.join(layers)})")
            material = str(layer)
        return [_material_field(doc, material, "Thickness", label)]

    return FieldParameter(label, values, range, resolve, f"the thickness of a layer of {construction!r}")


def _material_field(doc: _idf.IDF, material: str, field_name: str, label: str) -> Target:
    classes = [c for c in doc.get_class_names() if _MATERIAL_CLASSES.match(c)]
    for class_name in sorted(classes):
        obj = doc.get_object_by_name(class_name, material)
        if obj is None:
            continue
        position = next(k for k, o in enumerate(doc[class_name]) if str(o[0]).lower() == material.lower())
        try:
            index = _field_index(doc, obj.class_name, field_name)
        except ValueError as error:
            raise ValueError(f"parameter {label!r}: {material!r} is a {obj.class_name}: {error}") from None
        return Target(obj.class_name, position, index)
    names = [str(o[0]) for c in classes for o in doc[c]]
    raise ValueError(f"parameter {label!r}: the base model has no material named {material!r} (its materials: "
                     f"{_listed(names)})")


def material_property(material: str, field: str, values: Sequence[Any] | None = None, *,
                      range: Sequence[float] | None = None, name: str | None = None) -> Parameter:
    """A field of a material (Material, Material:NoMass, WindowMaterial:..., found by its name): its
    conductivity, density, solar absorptance, U-factor..."""
    label = name or f"{material}:{field}"
    return FieldParameter(label, values, range, lambda doc: [_material_field(doc, material, field, label)],
                          f"material {material!r} field {field!r}")


def schedule_value(schedule: str, values: Sequence[float] | None = None, *, range: Sequence[float] | None = None,
                   replace: float | None = None, name: str | None = None) -> Parameter:
    """The value of a schedule: a Schedule:Constant's value, or the values of a Schedule:Compact or a
    Schedule:Day:Hourly, :Interval or :List; with `replace`, only the values equal to it (the occupied
    setpoint of a schedule that also has a setback, say)."""
    label = name or f"{schedule}:value"

    def resolve(doc: _idf.IDF) -> list[Target]:
        kinds = ("Schedule:Constant", "Schedule:Compact", *_DAY_SCHEDULES)
        for class_name in kinds:
            if class_name not in doc:
                continue
            obj = doc.get_object_by_name(class_name, schedule)
            if obj is None:
                continue
            position, _ = _named(doc, class_name, schedule)
            stored = obj.get_values()
            if class_name == "Schedule:Constant":
                indices = [2]
            elif class_name == "Schedule:Compact":
                indices = [k for k in builtins.range(3, len(stored))
                           if str(stored[k - 1]).strip().lower().startswith("until") and _number(stored[k]) is not None]
            elif class_name == "Schedule:Day:Interval":
                indices = [k for k in builtins.range(4, len(stored), 2) if _number(stored[k]) is not None]
            elif class_name == "Schedule:Day:List":
                indices = [k for k in builtins.range(4, len(stored)) if _number(stored[k]) is not None]
            else:
                indices = [k for k in builtins.range(2, len(stored)) if _number(stored[k]) is not None]
            if replace is not None:
                indices = [k for k in indices if _number(stored[k]) == float(replace)]
            if not indices:
                raise ValueError(f"parameter {label!r}: {class_name} {schedule!r} has no value"
                                 + (f" equal to {replace!r}" if replace is not None else ""))
            return [Target(class_name, position, k) for k in indices]
        names = [str(o[0]) for c in kinds if c in doc for o in doc[c]]
        raise ValueError(f"parameter {label!r}: the base model has no schedule named {schedule!r} of the classes "
                         f"{', '.join(kinds)} (those it has: {_listed(names)})")

    return FieldParameter(label, values, range, resolve, f"schedule {schedule!r}")


def weather(files: Sequence[str | os.PathLike[str]], *, name: str = "weather") -> Parameter:
    """The weather file (.epw) each variant runs with."""
    if isinstance(files, (str, os.PathLike)):
        files = [files]
    return WeatherParameter(name, files)
