"""The kelvara command line: `kelvara cluster` clusters peptide files length by length."""

import signal
import sys

from kelvara import InternalError
from kelvara.cli.errors import (EXIT_BROKEN_PIPE, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, ClusterError, Ended,
                                OutputError, UsageError, quiet_stdout, say)
from kelvara.cli.options import build_parser
from kelvara.io.inputs import InputError
from kelvara.io.outputs import PendingFiles

__all__ = ["main"]


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.command is None:
        build_parser().print_help(sys.stderr)
        return EXIT_USAGE
    pending = PendingFiles()
    previous = _end_on_signals()
    try:
        return _run_class(args)(args, pending).run()
    except (InputError, UsageError) as e:
        say(e)
        return EXIT_USAGE
    except KeyboardInterrupt:
        say("interrupted")
        return EXIT_INTERRUPTED
    except Ended as e:
        say(f"ended by {e}")
        return 128 + e.signum
    except BrokenPipeError:
        # Whoever reads the output has stopped (`| head`): nothing to say.
        quiet_stdout()
        return EXIT_BROKEN_PIPE
    except (OutputError, ClusterError) as e:
        say(e)
        return EXIT_FAILURE
    except MemoryError:
        say("out of memory")
        return EXIT_FAILURE
    except InternalError as e:
        say(f"internal error: {e}")
        return EXIT_FAILURE
    finally:
        # A second signal must not cut the clean-up short.
        _ignore(previous)
        pending.discard()
        _restore(previous)


def _run_class(args):
    if args.command == "assign":
        from kelvara.cli.assign import AssignRun

        return AssignRun
    if args.dask is None:
        from kelvara.cli.local import LocalRun

        return LocalRun
    try:
        from kelvara.cli.dask_run import DaskRun
    except ImportError as e:
        missing = (e.name or getattr(e.__cause__, "name", None) or "").split(".")[0]
        raise UsageError(f"--dask needs the dask extra{f' ({missing} is missing)' if missing else ''}: "
                         f"pip install 'kelvara[dask]'") from None
    return DaskRun


def _end_on_signals():
    """SIGTERM and SIGHUP (a batch scheduler, a closed terminal) end a run as Ctrl-C does: unwinding, so
    that temporary files are removed."""

    def end(signum, frame):
        raise Ended(signum)

    previous = {}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        try:
            previous[signum] = signal.signal(signum, end)
        except (ValueError, OSError):  # not the main thread
            pass
    return previous


def _ignore(previous):
    for signum in previous:
        signal.signal(signum, signal.SIG_IGN)


def _restore(previous):
    for signum, handler in previous.items():
        signal.signal(signum, handler)
