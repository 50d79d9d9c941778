#!/usr/bin/env bash
# Builds the module into a venv and runs the library tour on a temporary record directory.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
apt_install g++ libssl-dev libpq-dev libsqlite3-dev
python="$(venv_with_package 3.12)"
exec "$python" "$ROOT/examples/trust_tour.py"
