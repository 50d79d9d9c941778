"""velk-trust: look after a velk_trust record store from the command line.

    velk-trust [--store PATH|URL] list [--type KIND] [--sort id|level|actions|last-action] [--json]
    velk-trust [--store PATH|URL] show ID [--raw] [--json]
    velk-trust [--store PATH|URL] check [--json]
    velk-trust [--store PATH|URL] decay --days DAYS --rate RATE [--type KIND] [--min-idle DAYS] [--dry-run] [--json]
    velk-trust [--store PATH|URL] repair [--dry-run] [--remove-identical] [--json]
    velk-trust [--store PATH|URL] export [--type KIND] [-o FILE] [--json]
    velk-trust [--store PATH|URL] import FILE [--replace] [--json]
    velk-trust [--table NAME] copy SOURCE TARGET [--json]
    velk-trust [--store PATH|URL] report [--html FILE] [--json]
    velk-trust --version

PATH|URL, SOURCE and TARGET are record directories or PostgreSQL connection texts (a postgresql://
URI or libpq keywords), whose records are rows of the table --table names; without --store, the
store is $VELK_TRUST_STORE's, else the default record directory. list, show, check, export and
report write nothing and fail on a store that is not there; repair never deletes a record
(unreadable ones go to a quarantine directory beside the store). Exit status: 0 done, 1 the store
has problems (or show finds no record), 2 usage error, 3 the store could not be opened or a call on
it failed, 130 interrupted.
"""
from velk_trust_cli.main import main

__all__ = ["main"]
