"""A language server for IDF documents: `tarvix lsp`, for any editor that speaks the Language Server
Protocol. Needs the `lsp` extra (pygls)."""

from __future__ import annotations


def serve(tcp: int | None = None, host: str = "127.0.0.1") -> None:
    """Serve one editor over stdin and stdout, or, with `tcp`, the first client that connects to that
    port (for debugging the server apart from the editor)."""
    from tarvix.lsp._server import server

    if tcp is None:
        server.start_io()
    else:
        server.start_tcp(host, tcp)


__all__ = ["serve"]
