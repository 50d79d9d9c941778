"""The command's exit statuses, in one place."""
import enum


class Status(enum.IntEnum):
    DONE = 0
    # The store has problems: check finds some, export met unreadable records, repair left some,
    # copy found a difference; also show finding no record.
    PROBLEMS = 1
    USAGE = 2  # argparse's own, and arguments the command refuses
    FAILED = 3  # the store could not be opened, or a call on it failed (one line on stderr)
    INTERRUPTED = 130  # Ctrl-C
    CLOSED_PIPE = 141  # the reader of standard output went away (128 + SIGPIPE, as tools it kills say)


EXIT_STATUSES = """exit status:
  0    done
  1    the store has problems (check, export of unreadable
       records, repair leaving some, a copy that differs),
       or show finds no record
  2    usage error
  3    the store could not be opened, or a call on it failed
  130  interrupted (Ctrl-C)"""


class CommandError(Exception):
    """A failure to report in one line, with its exit status."""

    def __init__(self, message, status=Status.FAILED):
        super().__init__(message)
        self.status = status


class UsageError(CommandError):
    """Arguments the parser takes but the command refuses (a rate of 7, a negative day count)."""

    def __init__(self, message):
        super().__init__(message, Status.USAGE)
