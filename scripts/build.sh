#!/usr/bin/env bash
# Configures and builds one configuration: plain (default), asan or tsan.
# Prints the build folder on its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-plain}
buildType=RelWithDebInfo
case "$config" in
  plain) sanitizer="";        build="$top/build" ;;
  # Without NDEBUG: assertions in our code and the libraries' headers are live.
  asan)  sanitizer="address"; build="$top/build-asan"; buildType=Debug ;;
  tsan)  sanitizer="thread";  build="$top/build-tsan" ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
bench=ON
[ -n "$sanitizer" ] && bench=OFF
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$buildType" \
  -DZARN_SANITIZER="$sanitizer" -DZARN_BUILD_BENCH="$bench" >/dev/null
cmake --build "$build" -j "$(nproc)" >&2
echo "$build"
