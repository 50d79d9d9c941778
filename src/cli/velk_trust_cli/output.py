"""What the commands print: tables, times, and progress on a terminal."""
import sys
import time


def print_table(header, rows, right=()):
    """Columns as wide as their widest cell; the columns numbered in right are aligned right."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        cells = [str(c).rjust(w) if k in right else str(c).ljust(w) for k, (c, w) in enumerate(zip(row, widths))]
        print("  ".join(cells).rstrip())


def short_time(text):
    """A stored timestamp to the second, for a table: 2026-12-08T09:15:02.481516Z -> 2026-12-08 09:15:02."""
    return "-" if text is None else text[:19].replace("T", " ")


class Progress:
    """A progress bar on stderr for work that has taken over a second, only when stderr is a terminal."""

    def __init__(self, what, total):
        self.what, self.total, self.start, self.shown = what, total, time.monotonic(), False
        self.terminal = sys.stderr.isatty()

    def step(self, done):
        if not self.terminal or (done % 20 and done != self.total) or time.monotonic() - self.start < 1.0:
            return
        filled = 30 * done // max(1, self.total)
        print(f"\r{self.what} [{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}", end="", file=sys.stderr,
              flush=True)
        self.shown = True

    def close(self):
        if self.shown:
            print(file=sys.stderr)
