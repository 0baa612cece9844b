"""How a run of the command line ends: exit statuses, and the errors reported in one line."""

import os
import signal
import sys

from kelvara.io.inputs import display_name

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE


class UsageError(Exception):
    """A bad option or output path: reported in one line, exit status 2."""


class OutputError(Exception):
    """An output that could not be written, a full disk say: reported in one line, exit status 1."""


class ClusterError(Exception):
    """A Dask cluster that cannot be reached or loses its workers: reported in one line, exit status 1."""


class Ended(BaseException):
    """A signal that ends the run (SIGTERM, SIGHUP): its status is 128 + the signal's number."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def say(message):
    """One line on standard error, every character of it shown rather than sent (names and text from the
    input are in it); a closed standard error changes nothing."""
    if sys.stderr is None:  # started with standard error closed
        return
    try:
        sys.stderr.write(f"kelvara: {display_name(message)}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def quiet_stdout():
    """After a broken pipe, send what is still buffered for standard output nowhere, so that the
    interpreter's own flush at exit finds nothing to complain about."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
