"""tarvix lsp: the language server, for editors."""

from __future__ import annotations

import argparse
import logging
from typing import Any

from tarvix.cli._common import UsageError


def cmd_lsp(args: argparse.Namespace) -> int:
    try:
        import pygls  # noqa: F401
    except ImportError:
        raise UsageError("tarvix lsp needs pygls: pip install 'tarvix[lsp]'") from None
    from tarvix.lsp import serve

    if args.log:
        logging.basicConfig(filename=args.log, level=logging.INFO,
                            format="%(asctime)s %(name)s %(levelname)s %(message)s")
    else:
        # The editor may not read stderr: nothing is written there unless asked.
        logging.getLogger().addHandler(logging.NullHandler())
    serve(tcp=args.tcp)
    return 0


def port_argument(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 < port < 65536:
        raise argparse.ArgumentTypeError(f"not a port: {text!r} (1 to 65535)")
    return port


def add_parser(commands: Any) -> None:
    command = commands.add_parser(
        "lsp", help="the language server for editors (stdio)",
        description="Serve an editor over the Language Server Protocol on stdin and stdout: diagnostics, hover, "
                    "completion, go to definition, references, rename, formatting, outline and quick fixes for "
                    "IDF documents. The document's Version picks the schema from the editor's tarvix.idd "
                    "setting, else $TARVIX_IDD_FOLDER, else the engine's own. Needs the lsp extra.",
        epilog="Exit status: 0 when the editor ends the session, 2 without pygls.")
    command.add_argument("--tcp", metavar="PORT", type=port_argument,
                         help="listen on 127.0.0.1:PORT instead of stdio (for debugging)")
    command.add_argument("--log", metavar="FILE", help="write the server's log to FILE")
    command.set_defaults(run=cmd_lsp)
