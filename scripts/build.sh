#!/usr/bin/env bash
# Configures and builds one configuration: plain (default), asan, tsan, fuzz or
# windows (cross-compiled for 64-bit Windows with MinGW-w64).
# Prints the build folder on its last line. fuzz builds everything with clang
# (ASan + UBSan + libFuzzer coverage) and the fuzz targets of fuzz/. Extra
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
    # The third-party libraries for Windows: a cached prefix, built once
    # (ZARN_WINDOWS_DEPS names one that exists already).
    deps=${ZARN_WINDOWS_DEPS:-}
    [ -n "$deps" ] || deps=$("$top/scripts/windows-deps.sh" | tail -n 1)
    # The embedded firmware package is generated on this machine, by the
    # native build's generator.
    native=$("$top/scripts/build.sh" plain embed_firmware_package | tail -n 1)
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
      -DZARN_WINDOWS_DEPS="$deps" -DZARN_NATIVE_EMBED_TOOL="$native/tools/embed_firmware_package" >/dev/null
    targets=()
    for t in "$@"; do targets+=(--target "$t"); done
    cmake --build "$build" -j "$(nproc)" "${targets[@]}" >&2
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
