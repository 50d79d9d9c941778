"""What the commands print: tables, figures, JSON, and progress on a terminal."""
import json
import os
import sys
import threading
import time


def print_table(header, rows, right=()):
    """Columns as wide as their widest cell; the columns numbered in right are aligned right."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        cells = [str(c).rjust(w) if k in right else str(c).ljust(w) for k, (c, w) in enumerate(zip(row, widths))]
        print("  ".join(cells).rstrip())


def print_json(value, stream=None):
    print(json.dumps(value, indent=2, ensure_ascii=False), file=stream or sys.stdout)


def short_time(text):
    """A stored timestamp to the second, for a table: 2026-12-08T09:15:02.481516Z -> 2026-12-08 09:15:02."""
    return "-" if text is None else text[:19].replace("T", " ")


def figure(value):
    """A value as people read it: three decimals for fractions, whole numbers as they are."""
    if isinstance(value, float):
        return f"{value:.3f}"
    return value


def plural(n, word, words=None):
    return f"{n} {word if n == 1 else (words or word + 's')}"


def elapsed(seconds):
    return f"{seconds:.1f} s" if seconds < 60 else f"{int(seconds // 60)} min {seconds % 60:.0f} s"


# What the command's progress displays have shown: whether any was, and the summary the command
# gives its work (for the line that replaces them at the end).
_command = {"start": time.monotonic(), "shown": False, "summary": None}


def summarize(text):
    """The command's work in a few words ("2500 records decayed"), for the closing line."""
    _command["summary"] = text


def finish_command(name):
    """Replaces whatever progress was shown with one line: the work and the time it took."""
    if _command["shown"]:
        took = elapsed(time.monotonic() - _command["start"])
        line = f"{name}: {_command['summary'] or 'done'} in {took}"
        if len(line) > terminal_width():
            line = line[len(name) + 2:]  # the rest stays whole: a last line may wrap
        sys.stderr.write("\r\x1b[K" + line + "\n")
        sys.stderr.flush()
        _command["shown"] = False


def abandon_command():
    """Takes whatever progress was shown away, before the message of a failure or an interrupt."""
    if _command["shown"]:
        sys.stderr.write("\r\x1b[K")
        sys.stderr.flush()
        _command["shown"] = False


def terminal_width():
    """The columns the progress line may take: COLUMNS, else the width of the terminal stderr is
    (standard output may be a pipe), one left free so that the cursor never wraps."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        try:
            columns = os.get_terminal_size(sys.stderr.fileno()).columns
        except OSError:
            columns = 80
    return max(columns, 20) - 1


class Progress:
    """A one-line progress display on stderr for work that has taken over a second, only when stderr
    is a terminal: never wider than the terminal, redrawn in place (so it never scrolls), and
    replaced by one summary line when the command ends (finish_command)."""

    REDRAW = 0.1

    def __init__(self, what, total=None):
        # Seconds of work before anything is shown: 1, or VELK_TRUST_PROGRESS_AFTER's.
        try:
            self.delay = float(os.environ.get("VELK_TRUST_PROGRESS_AFTER", "1"))
        except ValueError:
            self.delay = 1.0
        self.what, self.total = what, total
        self.start = self.drawn = time.monotonic()
        self.shown = False
        self.terminal = sys.stderr.isatty()
        self.done = 0

    def step(self, done=None):
        self.done = self.done + 1 if done is None else done
        now = time.monotonic()
        if not self.terminal or now - self.start < self.delay or (now - self.drawn < self.REDRAW and self.shown):
            return
        self.drawn, self.shown = now, True
        _command["shown"] = True
        width = terminal_width()
        if self.total:
            counts = f" {self.done}/{self.total}"
            room = width - len(self.what) - len(counts) - 3
            line = self.what + counts
            if room >= 10:
                filled = room * min(self.done, self.total) // self.total
                line = f"{self.what} [{'#' * filled}{'.' * (room - filled)}]{counts}"
        else:
            line = f"{self.what} ... {elapsed(now - self.start)}"
        self._draw(line[:width])

    @staticmethod
    def _draw(line):
        # Back to the line's start and clear it: a shorter line leaves nothing of the longer one.
        sys.stderr.write("\r\x1b[K" + line)
        sys.stderr.flush()

    def clear(self):
        """Takes the display away (before a message, or the next stage's display)."""
        if self.shown:
            self._draw("")
            self.shown = False


def while_showing(what, work):
    """work() on a thread of its own while the time it takes is shown: one call on the store (a
    listing, a check) can take seconds on a large store and says nothing meanwhile. Its result, or
    its exception, as if called here; Ctrl-C ends the wait (the thread dies with the process)."""
    progress = Progress(what)
    if not progress.terminal:
        return work()
    outcome = {}

    def run():
        try:
            outcome["value"] = work()
        except BaseException as e:  # handed to the caller's thread
            outcome["error"] = e
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    try:
        while thread.is_alive():
            thread.join(Progress.REDRAW)
            progress.step(0)
    finally:
        progress.clear()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]
