"""Run the stand-in core process until SIGINT or SIGTERM."""

import argparse
import signal
import sys
import threading

import korvit
from korvit.core.server import CORE_VERSION, DEFAULT_PORT, CoreServer


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m korvit.core", description="Stand-in core process of the framework."
    )
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help="0 picks a free port")
    parser.add_argument("--core-version", default=CORE_VERSION)
    parser.add_argument(
        "--supported",
        default=korvit.__version__,
        help="comma-separated framework versions this core accepts (default: this one)",
    )
    parser.add_argument("--cache-root", default=None)
    parser.add_argument(
        "--max-line",
        type=int,
        default=None,
        metavar="BYTES",
        help="longest request line; a longer one is answered with an error and its "
        "connection closed (default 1048576, or KORVIT_CORE_MAX_LINE)",
    )
    parser.add_argument(
        "--max-connections",
        type=int,
        default=None,
        metavar="N",
        help="connections served at once; one more is told so and closed "
        "(default 32, or KORVIT_CORE_MAX_CONNECTIONS)",
    )
    args = parser.parse_args(argv)
    supported = [v.strip() for v in args.supported.split(",") if v.strip()]

    try:
        server = CoreServer(
            host=args.host,
            port=args.port,
            core_version=args.core_version,
            supported=supported,
            cache_root=args.cache_root,
            max_line=args.max_line,
            max_connections=args.max_connections,
            record=False,
        )
    except (TypeError, ValueError) as exc:
        parser.error(
            str(exc)
            .replace("max_line", "--max-line")
            .replace("max_connections", "--max-connections")
        )
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    try:
        server.start()
    except (OSError, ValueError) as exc:
        print(f"korvit core: cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    print(f"korvit core listening on {server.host}:{server.port}", flush=True)
    try:
        while not stop.wait(0.5):
            pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
