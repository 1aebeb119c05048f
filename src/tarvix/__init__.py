"""tarvix: read, query, edit and write IDD schemas and IDF documents.

The work is done by the extension modules `tarvix.utils`, `tarvix.lexer`,
`tarvix.idd` and `tarvix.idf`; import them directly.
"""

__version__ = "0.1.0"
