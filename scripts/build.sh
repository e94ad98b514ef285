#!/usr/bin/env bash
# Configures and builds one configuration: plain (default), asan, tsan, fuzz or
# windows (cross-compiled for 64-bit Windows with MinGW-w64).
# Prints the build folder on its last line. fuzz builds everything with clang
# (ASan + UBSan + libFuzzer coverage) and the fuzz targets of fuzz/; extra
# arguments are the targets to build (default: all).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-plain}
[ $# -gt 0 ] && shift
compilers=()
buildType=RelWithDebInfo
case "$config" in
  plain) sanitizer="";        build="$top/build" ;;
  # Without NDEBUG: assertions in our code and the libraries' headers are live.
  asan)  sanitizer="address"; build="$top/build-asan"; buildType=Debug ;;
  tsan)  sanitizer="thread";  build="$top/build-tsan" ;;
  windows)
    build="$top/build-windows"
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$build" -j "$(nproc)" >&2
    echo "$build"
    exit 0 ;;
  fuzz)  sanitizer="fuzzer";  build="$top/build-fuzz"
         compilers=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14) ;;
  *) echo "usage: $0 [plain|asan|tsan|windows|fuzz [targets...]]" >&2; exit 2 ;;
esac
bench=ON
[ -n "$sanitizer" ] && bench=OFF
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$buildType" "${compilers[@]}" \
  -DZARN_SANITIZER="$sanitizer" -DZARN_BUILD_BENCH="$bench" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}" >&2
echo "$build"
