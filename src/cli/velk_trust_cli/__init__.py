"""velk-trust: look after a velk_trust record store from the command line.

    velk-trust [--store PATH] list [--type KIND] [--sort id|level|actions|last-action] [--json]
    velk-trust [--store PATH] show ID [--raw] [--json]
    velk-trust [--store PATH] check [--json]
    velk-trust [--store PATH] decay --days N --rate R [--type KIND] [--min-idle D] [--json]
    velk-trust [--store PATH] repair [--dry-run] [--json]
    velk-trust [--store PATH] export [--type KIND] [-o FILE]
    velk-trust [--store PATH] import FILE [--replace]
    velk-trust [--table NAME] copy SOURCE TARGET
    velk-trust [--store PATH] report [--html FILE] [--json]

PATH, SOURCE and TARGET are record directories or PostgreSQL connection texts (a postgresql:// URI
or libpq keywords), whose records are rows of the table --table names. list, show, check, export
and report write nothing; repair never deletes a record (unreadable ones
go to a quarantine directory beside the store). Exit status: 0 on success, 1 when check finds
problems, show finds no record or the store fails (one line on stderr), 2 on a usage error, 130 on
Ctrl-C.
"""
from velk_trust_cli.main import main

__all__ = ["main"]
