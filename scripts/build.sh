#!/usr/bin/env bash
# Configures and builds one configuration: plain (default), asan, tsan or
# windows (cross-compiled for 64-bit Windows with MinGW-w64).
# Prints the build folder on its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-plain}
case "$config" in
  plain) sanitizer="";        build="$top/build" ;;
  asan)  sanitizer="address"; build="$top/build-asan" ;;
  tsan)  sanitizer="thread";  build="$top/build-tsan" ;;
  windows)
    build="$top/build-windows"
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$build" -j "$(nproc)" >&2
    echo "$build"
    exit 0 ;;
  *) echo "usage: $0 [plain|asan|tsan|windows]" >&2; exit 2 ;;
esac
bench=ON
[ -n "$sanitizer" ] && bench=OFF
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZARN_SANITIZER="$sanitizer" -DZARN_BUILD_BENCH="$bench" >/dev/null
cmake --build "$build" -j "$(nproc)" >&2
echo "$build"
