"""Griffe extension for the API reference (mkdocs.yml): keeps the functions that type stubs declare only
through @overload. Griffe attaches overloads to the implementation that follows them; a stub has none, so
such a method (IDF.add_object, IDFObject.update) would be left out. Here the first overload stands for
the method, with its docstring, and the others are shown as its overloads."""

from typing import Any

import griffe


class StubOverloads(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: Any) -> None:
        for name, overloads in cls.overloads.items():
            if overloads and name not in cls.members:
                first = overloads[0]
                first.overloads = overloads[1:]
                cls.set_member(name, first)
