#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the firmware updater
# against the simulated sensor. Arguments are passed to the updater.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/install-deps.sh"
build=$("$top/scripts/build.sh" plain | tail -n 1)
# The simulated sensor flashes instantly unless told otherwise; a tenth of a
# second per flash block lets the progress of an update be watched, as on a
# real sensor. See README.md for the other ZARN_SIM_* settings.
export ZARN_SIM_FLASH_MS=${ZARN_SIM_FLASH_MS:-100}
exec "$build/app/ZarnFirmwareUpdater" "$@"
