"""tarvix: read, query, edit and write IDD schemas and IDF documents, and run the engine on them.

The extension modules `tarvix.utils`, `tarvix.lexer`, `tarvix.idd` and
`tarvix.idf` do the reading, checking, editing and writing; `tarvix.IDD` and
`tarvix.IDF` are their two main types, here too. `open_idf` loads a document
against the schema of its own version. `tarvix.geometry` gives the surfaces
where the engine puts them (areas, a window-to-wall ratio, an SVG drawing),
`tarvix.schedules` evaluates schedules as the engine does, `tarvix.weather`
reads and writes weather files, and `tarvix.simulation` runs the engine and
reads its results. The `tarvix` command (`python -m tarvix`) checks, formats,
converts, renames, upgrades, runs and draws documents. `migrate` brings a
document written for an older version of the engine to a newer one.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tarvix._schemas import open_idf as open_idf
    from tarvix.idd import IDD as IDD
    from tarvix.idf import IDF as IDF
    from tarvix.migration import migrate as migrate

__all__ = ["IDD", "IDF", "migrate", "open_idf"]
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    # Imported on first use, so that importing one extension module does not
    # import the others.
    if name == "open_idf":
        from tarvix._schemas import open_idf

        return open_idf
    if name == "migrate":
        from tarvix.migration import migrate

        return migrate
    if name == "IDD":
        from tarvix.idd import IDD

        return IDD
    if name == "IDF":
        from tarvix.idf import IDF

        return IDF
    raise AttributeError(f"module 'tarvix' has no attribute {name!r}")
