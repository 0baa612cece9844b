"""A one-line progress bar on a terminal, fed by the native core's progress(stage, pass, done, total) calls,
or by the command line as the tasks of a run on Dask complete."""

import shutil
import time

_STAGES = {"medoid": "medoids", "reassign": "reassigning", "merge": "merging"}


class ProgressBar:
    """Anchors clustered out of all lengths' total, then each refinement pass with its current step; on Dask,
the parts of the input read ("read") and the clustering tasks done ("tasks") instead.

    Nothing is drawn before `delay` seconds have passed, so short runs stay silent; the line is redrawn at
    most every `interval` seconds and cleared by close().
    """

    def __init__(self, stream, total_anchors, refine_passes, delay=1.0, interval=0.1, clock=time.monotonic):
        self.stream = stream
        self.total = total_anchors
        self.refine_passes = refine_passes
        self.delay = delay
        self.interval = interval
        self.clock = clock
        self.started = clock()
        self.last_draw = None
        self.drawn = False
        self.offset = 0  # anchors of the lengths already clustered
        self.label = ""
        self.passes_begun = 0
        self.work = ""  # what a reading or writing stage is about
        self.fill, self.empty = ("█", "░") if _can_encode(stream, "█░") else ("#", "-")

    def start_length(self, label, offset):
        """Progress of a new length: its label and the anchors of the lengths before it."""
        self.label = label
        self.offset = offset
        self.passes_begun = 0

    def task(self, work):
        """A stage that is not clustering: its words ("writing clusters.tsv")."""
        self.work = work

    def reading(self, done, total):
        """Bytes of the input read so far, of total (either None where it cannot be told)."""
        self("bytes", 0, done or 0, total or 0)

    def writing(self, done, total):
        """Rows or clusters of an output written so far."""
        self("write", 0, done, total)

    def __call__(self, stage, pass_, done, total):
        if stage == "medoid" and done == 0:
            self.passes_begun += 1
        now = self.clock()
        if now - self.started < self.delay:
            return
        if self.last_draw is not None and now - self.last_draw < self.interval and done != total:
            return
        self.last_draw = now
        self._draw(self.render(stage, done, total, now - self.started))

    def render(self, stage, done, total, elapsed):
        # Room at the end for the terminal's echo of ^C, which would otherwise wrap the line.
        width = max(40, min(shutil.get_terminal_size((80, 24)).columns, 120) - 4)
        clock = f"{int(elapsed) // 60}:{int(elapsed) % 60:02d}"
        if stage == "cluster":
            text = f"{self.offset + done:,}/{self.total:,} anchors"
            fraction = (self.offset + done) / self.total if self.total else 1.0
            head = f"{self.label} clustering"
        elif stage == "bytes":
            text = f"{done / 2**20:,.0f}/{total / 2**20:,.0f} MB" if total else f"{done / 2**20:,.0f} MB"
            fraction = done / total if total else 0.0
            head = "reading"
        elif stage == "write":
            text = f"{done:,}/{total:,}"
            fraction = done / total if total else 1.0
            head = self.work
        elif stage in ("read", "tasks"):
            text = f"{done:,}/{total:,} {'parts' if stage == 'read' else 'tasks'}"
            fraction = done / total if total else 1.0
            head = "reading" if stage == "read" else f"{self.label} clustering"
        elif stage in _STAGES:
            text = f"{_STAGES[stage]} {done:,}/{total:,}"
            fraction = done / total if total else 1.0
            head = f"{self.label} refining, pass {self.passes_begun}/{self.refine_passes}"
        else:
            text, fraction, head = "", 1.0, f"{self.label} refined"
        room = width - len(head) - len(text) - len(clock) - 6
        bar = ""
        if room >= 10:
            filled = int(round(min(max(fraction, 0.0), 1.0) * room))
            bar = self.fill * filled + self.empty * (room - filled) + "  "
        return f"{head}  {bar}{text}  {clock}"

    def _draw(self, line):
        self.stream.write("\r" + line + "\x1b[K")
        self.stream.flush()
        self.drawn = True

    def close(self):
        if self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False


def _can_encode(stream, text):
    try:
        text.encode(getattr(stream, "encoding", None) or "ascii")
        return True
    except (UnicodeEncodeError, LookupError):
        return False
