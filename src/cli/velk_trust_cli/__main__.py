"""python -m velk_trust_cli: the velk-trust command."""
import sys

from velk_trust_cli.main import main

sys.exit(main())
