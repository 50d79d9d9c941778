"""The command's exit statuses, in one place."""
import enum


class Status(enum.IntEnum):
    DONE = 0
    # The store has problems (check), or a record asked for is not there (show), or a call on the
    # store failed (one line on stderr).
    PROBLEMS = 1
    FAILED = 1
    USAGE = 2  # argparse's own
    INTERRUPTED = 130


class CommandError(Exception):
    """A failure to report in one line, with the status FAILED."""
