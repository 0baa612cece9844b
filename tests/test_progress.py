"""The progress bar, fed the calls the native core makes, on a fake clock."""

import io

from kelvara.progress import ProgressBar


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


class Terminal(io.StringIO):
    def __init__(self, encoding):
        super().__init__()
        self._encoding = encoding

    @property
    def encoding(self):
        return self._encoding


def lines(stream):
    return [part.replace("\x1b[K", "") for part in stream.getvalue().split("\r") if part.strip("\x1b[K")]


def test_bar_waits_then_counts_anchors_of_all_lengths_and_refinement_passes():
    clock, stream = Clock(), Terminal("utf-8")
    bar = ProgressBar(stream, total_anchors=300, refine_passes=3, clock=clock)
    bar.start_length("8-mers", 0)
    bar("cluster", 0, 0, 100)
    clock.now = 0.5
    bar("cluster", 0, 100, 100)
    assert stream.getvalue() == ""  # quick runs stay silent
    bar.start_length("9-mers", 100)
    clock.now = 1.2
    bar("cluster", 0, 50, 200)
    clock.now = 1.25
    bar("cluster", 0, 60, 200)  # too soon after the last line
    bar("medoid", 1, 0, 80)
    clock.now = 1.4
    bar("reassign", 1, 100, 200)
    bar("medoid", 2, 0, 79)
    clock.now = 1.6
    bar("merge", 2, 79, 79)
    bar.close()
    shown = lines(stream)
    assert shown[0].startswith("9-mers clustering  █") and shown[0].endswith("150/300 anchors  0:01")
    assert shown[1].startswith("9-mers refining, pass 1/3  ") and "reassigning 100/200" in shown[1]
    assert shown[2].startswith("9-mers refining, pass 2/3  ") and "merging 79/79" in shown[2]
    assert len(shown) == 3 and stream.getvalue().endswith("\r\x1b[K")


def test_bar_falls_back_to_ascii_and_fits_the_width():
    clock, stream = Clock(), Terminal("ascii")
    bar = ProgressBar(stream, total_anchors=1000, refine_passes=0, clock=clock, delay=0)
    bar.start_length("10-mers", 0)
    bar("cluster", 0, 250, 1000)
    (line,) = lines(stream)
    assert "#" in line and "-" in line and line.isascii()
    filled, empty = line.count("#"), line.count("-")
    assert round(4 * filled / (filled + empty)) == 1 and len(line) < 80


def test_bar_counts_parts_read_then_tasks_done_on_dask():
    clock, stream = Clock(), Terminal("utf-8")
    bar = ProgressBar(stream, total_anchors=0, refine_passes=0, clock=clock, delay=0, interval=0)
    bar("read", 0, 3, 12)
    bar.start_length("8- to 11-mers", 0)
    bar("tasks", 0, 40, 40)
    read, tasks = lines(stream)
    assert read.startswith("reading  █") and read.endswith("3/12 parts  0:00")
    assert tasks.startswith("8- to 11-mers clustering  █") and "░" not in tasks
    assert tasks.endswith("40/40 tasks  0:00")
