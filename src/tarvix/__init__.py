"""tarvix: read, query, edit and write IDD schemas and IDF documents.

The work is done by the extension modules `tarvix.utils`, `tarvix.lexer`,
`tarvix.idd` and `tarvix.idf`; import them directly. `open_idf` loads a
document against the schema of its own version; the `tarvix` command
(`python -m tarvix`) checks, formats, converts and renames documents.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tarvix._schemas import open_idf as open_idf

__all__ = ["open_idf"]
__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    # Imported on first use, so that importing one extension module does not
    # import the others.
    if name == "open_idf":
        from tarvix._schemas import open_idf

        return open_idf
    raise AttributeError(f"module 'tarvix' has no attribute {name!r}")
