#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the firmware updater
# against the simulated sensor. Arguments are passed to the updater.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/install-deps.sh"
build=$("$top/scripts/build.sh" plain | tail -n 1)
if [ -x "$build/app/ZarnFirmwareUpdater" ]; then
  exec "$build/app/ZarnFirmwareUpdater" "$@"
fi
cat <<MSG
The updater program is not built yet. What exists so far is the host runtime
layer, the vision-chip host library, the first pieces of the sensor driver
(device protocol, device client, firmware update, clock synchronisation) and
of the updater (embedded firmware package, command-line support), and the
simulated sensor they run against, with their tests: run ./run-tests.sh to
build and run them.
MSG
exit 1
