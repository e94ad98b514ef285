#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the whole test suite.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/install-deps.sh"
"$top/scripts/test.sh" plain
