#!/usr/bin/env bash
# Cross-builds the third-party libraries of the Windows build, statically for
# x86_64-w64-mingw32, from Debian's own source packages (apt-get source, so apt
# verifies them), into a cached prefix outside the clone:
#
#   ${ZARN_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zarn-windows-deps}/<key>
#
# The key hashes this script, its patches (scripts/windows-deps/), the toolchain
# file, the exact Debian source versions and the compiler version, so a run
# with an unchanged key builds nothing. The prefix counts only once its
# completion marker (.complete) exists; it is written last, so an interrupted
# build is started again from nothing.
#
# Progress goes to stderr; the last line on stdout is the prefix.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
self="$top/scripts/windows-deps.sh"
patchDir="$top/scripts/windows-deps"
toolchain="$top/cmake/mingw-w64-x86_64.cmake"
triple=x86_64-w64-mingw32
cc=$triple-gcc-posix
cxx=$triple-g++-posix
ar=$triple-gcc-ar-posix
sysroot=/usr/$triple
jobs=$(nproc)

say() { echo "windows-deps: $*" >&2; }
die() { echo "windows-deps: ERROR: $*" >&2; exit 1; }
trap 'die "command failed (line $LINENO): $BASH_COMMAND"' ERR

# Debian source package -> what we build from it. Cap'n Proto: capnp and kj
# (the native capnp compiler from Debian's capnproto package generates code);
# OpenCV: core and imgproc; Dear ImGui with its GLFW and OpenGL 3 back-ends.
sources=(capnproto opencv glfw3 glew imgui libarchive)

"$top/scripts/install-deps.sh" windows >&2 || die "installing the build packages failed (scripts/install-deps.sh windows)"
for tool in apt-get dpkg-source cmake ninja patch sha256sum flock "$cc" "$cxx" "$ar" $triple-nm /usr/bin/capnp /usr/bin/capnpc-c++; do
  command -v "$tool" >/dev/null || die "$tool not found (scripts/install-deps.sh windows installs it)"
done
[ -f "$sysroot/lib/libz.a" ] || die "$sysroot/lib/libz.a missing (package libz-mingw-w64-dev)"

# The exact source version apt would fetch now, with the .dsc's checksum, so
# a new Debian revision (a security fix, say) gives a new key.
declare -A version dsc
dscLines=""
for s in "${sources[@]}"; do
  line=$(apt-get source --print-uris -qq "$s" 2>/dev/null | awk '$2 ~ /\.dsc$/ { print; exit }') || true
  [ -n "$line" ] || die "apt knows no source package '$s': is there a deb-src entry? (scripts/install-deps.sh windows adds one)"
  file=$(awk '{ print $2 }' <<<"$line")
  v=${file#"${s}_"}
  version[$s]=${v%.dsc}
  dsc[$s]=$file
  dscLines+="$line"$'\n'
done

zlibVersion=$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
key=$(
  {
    echo "script"; cat "$self"
    echo "toolchain"; cat "$toolchain"
    for p in "$patchDir"/*; do echo "patch $(basename "$p")"; cat "$p"; done
    echo "sources"; printf '%s' "$dscLines"
    echo "zlib $zlibVersion"
    echo "compilers"; "$cc" --version | head -n1; "$cxx" --version | head -n1
  } | sha256sum | cut -c1-16
)
cache=${ZARN_WINDOWS_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zarn-windows-deps}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd -P)
case "$cache/" in
  "$(cd "$top" && pwd -P)"/*) die "the cache $cache lies inside the clone; set ZARN_WINDOWS_DEPS_CACHE to a folder outside it" ;;
esac
prefix="$cache/$key"

# Two runs with the same key (two clones, a second CI step) wait for each
# other instead of building into the same folder at once.
exec 9>"$prefix.lock"
flock 9
if [ -f "$prefix/.complete" ]; then
  say "up to date: $prefix"
  echo "$prefix"
  exit 0
fi

say "building into $prefix (key $key, $jobs cores)"
start=$(date +%s)
rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zarn-windows-deps.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# apt's download user must be able to write here when we run as root.
chmod 755 "$scratch"
mkdir -p "$scratch/src" "$scratch/build" "$scratch/log"

say "fetching sources: $(for s in "${sources[@]}"; do printf '%s=%s ' "$s" "${version[$s]}"; done)"
pins=()
for s in "${sources[@]}"; do pins+=("$s=${version[$s]}"); done
(cd "$scratch" && apt-get source --download-only -qq "${pins[@]}") >"$scratch/log/fetch.log" 2>&1 \
  || { tail -n 30 "$scratch/log/fetch.log" >&2; die "apt-get source failed"; }
for s in "${sources[@]}"; do
  (cd "$scratch" && dpkg-source -x "${dsc[$s]}" "src/$s") >>"$scratch/log/fetch.log" 2>&1 \
    || { tail -n 30 "$scratch/log/fetch.log" >&2; die "unpacking ${dsc[$s]} failed"; }
  for p in "$patchDir/$s"-*.patch; do
    [ -f "$p" ] || continue
    patch -d "$scratch/src/$s" -p1 --forward --batch <"$p" >>"$scratch/log/fetch.log" 2>&1 \
      || { tail -n 30 "$scratch/log/fetch.log" >&2; die "patch $(basename "$p") does not apply to $s ${version[$s]}"; }
  done
done

# The project's toolchain, with the prefix added to the find root so one
# library finds another there.
cat >"$scratch/toolchain.cmake" <<EOF
include("$toolchain")
list(APPEND CMAKE_FIND_ROOT_PATH "$prefix")
EOF
cmakeCommon=(-G Ninja -Wno-dev
  -DCMAKE_TOOLCHAIN_FILE="$scratch/toolchain.cmake"
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$prefix"
  -DBUILD_SHARED_LIBS=OFF)

# The libraries build side by side, each on every core. Configuring is one
# process of hundreds of small compiles and links (libarchive's takes the
# longest of all), so the parallel compiles run at a lower priority and do not
# starve it: the slowest chain sets the wall time.
compileNice=(nice -n 10)
cmakeBuild() { # name, configure arguments...
  local name=$1; shift
  cmake -S "$scratch/src/$name" -B "$scratch/build/$name" "${cmakeCommon[@]}" "$@"
  "${compileNice[@]}" cmake --build "$scratch/build/$name" -j "$jobs"
}

buildCapnproto() {
  # Tests off; the native compiler generates code, so none is cross-built.
  cmakeBuild capnproto -DBUILD_TESTING=OFF -DEXTERNAL_CAPNP=ON \
    -DCAPNP_EXECUTABLE=/usr/bin/capnp -DCAPNPC_CXX_EXECUTABLE=/usr/bin/capnpc-c++ \
    -DWITH_OPENSSL=OFF -DWITH_ZLIB=OFF
  cmake --install "$scratch/build/capnproto"
}

buildOpencv() {
  # Only core and imgproc, nothing optional: no third-party code beyond zlib
  # (Debian's static MinGW build), and no run-time CPU dispatch, whose
  # per-instruction-set objects this program does not need. Library names
  # without the Windows DLL version suffix: libopencv_core.a, as on Linux.
  local off=()
  for w in 1394 ADE ARAVIS AVFOUNDATION CAROTENE CLP CUDA DIRECTX DSHOW EIGEN FFMPEG GDAL GDCM \
           GPHOTO2 GSTREAMER GTK HALIDE HPX IMGCODEC_HDR IMGCODEC_PFM IMGCODEC_PXM IMGCODEC_SUNRASTER \
           IPP ITT JASPER JPEG LAPACK LIBREALSENSE MFX MSMF NGRAPH ONNX OPENCL OPENCLAMDBLAS \
           OPENCLAMDFFT OPENCL_D3D11_NV OPENEXR OPENGL OPENJPEG OPENMP OPENNI OPENNI2 OPENVX PLAIDML \
           PNG PROTOBUF PTHREADS_PF PVAPI QT QUIRC TBB TIFF UEYE V4L VA VA_INTEL VTK VULKAN WEBNN \
           WEBP WIN32UI XIMEA XINE; do
    off+=("-DWITH_$w=OFF")
  done
  cmakeBuild opencv -DBUILD_LIST=core,imgproc "${off[@]}" \
    -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF \
    -DBUILD_DOCS=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF \
    -DBUILD_opencv_js=OFF -DBUILD_ZLIB=OFF -DBUILD_ITT=OFF -DBUILD_IPP_IW=OFF \
    -DZLIB_LIBRARY="$sysroot/lib/libz.a" -DZLIB_INCLUDE_DIR="$sysroot/include" \
    -DCPU_DISPATCH= -DOPENCV_DLLVERSION= -DENABLE_PRECOMPILED_HEADERS=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF \
    -DINSTALL_CREATE_DISTRIB=OFF
  cmake --install "$scratch/build/opencv"
}

buildGlfw3() {
  cmakeBuild glfw3 -DGLFW_BUILD_EXAMPLES=OFF -DGLFW_BUILD_TESTS=OFF -DGLFW_BUILD_DOCS=OFF
  cmake --install "$scratch/build/glfw3"
}

buildGlew() {
  # Its own makefiles want a generated pkg-config file that requires GLU and
  # lacks GLEW_STATIC; the one source file is all the library is.
  local src="$scratch/src/glew" out="$scratch/build/glew"
  mkdir -p "$out" "$prefix/include/GL"
  "${compileNice[@]}" "$cc" -O2 -DGLEW_STATIC -DGLEW_NO_GLU -I"$src/include" -c "$src/src/glew.c" -o "$out/glew.o"
  rm -f "$prefix/lib/libglew32.a"
  "$ar" rcs "$prefix/lib/libglew32.a" "$out/glew.o"
  install -m 644 "$src/include/GL/glew.h" "$src/include/GL/wglew.h" "$prefix/include/GL/"
}

buildImgui() {
  # Laid out as Debian's libimgui-dev: headers in include/imgui, back-end
  # headers in include/imgui/backends, one static library with the core, the
  # std::string helpers and the GLFW and OpenGL 3 back-ends (built against the
  # prefix's GLFW). The tree's own stb copies are compiled in.
  local src="$scratch/src/imgui" out="$scratch/build/imgui" objs=() pids=() f o
  mkdir -p "$out" "$prefix/include/imgui/backends"
  for f in imgui.cpp imgui_demo.cpp imgui_draw.cpp imgui_tables.cpp imgui_widgets.cpp \
           misc/cpp/imgui_stdlib.cpp backends/imgui_impl_glfw.cpp backends/imgui_impl_opengl3.cpp; do
    o="$out/$(basename "$f" .cpp).o"
    "${compileNice[@]}" "$cxx" -O2 -I"$src" -I"$prefix/include" -c "$src/$f" -o "$o" &
    pids+=($!)
    objs+=("$o")
  done
  for p in "${pids[@]}"; do wait "$p"; done
  rm -f "$prefix/lib/libimgui.a"
  "$ar" rcs "$prefix/lib/libimgui.a" "${objs[@]}"
  install -m 644 "$src"/imgui.h "$src"/imconfig.h "$src"/imgui_internal.h "$src"/imstb_*.h \
    "$src"/misc/cpp/imgui_stdlib.h "$prefix/include/imgui/"
  install -m 644 "$src"/backends/imgui_impl_glfw.h "$src"/backends/imgui_impl_opengl3.h \
    "$src"/backends/imgui_impl_opengl3_loader.h "$prefix/include/imgui/backends/"
}

buildLibarchive() {
  # Plain tar is all we read: every optional library off. zlib too: its
  # ZLIB_WINAPI check runs a program, which a cross build cannot. No POSIX
  # regex library exists for MinGW. Only the static library is built, so no
  # DLL or import library lands in the prefix.
  cmake -S "$scratch/src/libarchive" -B "$scratch/build/libarchive" "${cmakeCommon[@]}" \
    -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_LIBB2=OFF \
    -DENABLE_LZ4=OFF -DENABLE_LZO=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_ZLIB=OFF \
    -DENABLE_BZip2=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF \
    -DENABLE_LIBGCC=OFF -DENABLE_CNG=OFF -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF \
    -DENABLE_XATTR=OFF -DENABLE_ACL=OFF -DENABLE_ICONV=OFF -DENABLE_TEST=OFF \
    -DENABLE_INSTALL=OFF -DPOSIX_REGEX_LIB=NONE
  cmake --build "$scratch/build/libarchive" -j "$jobs" --target archive_static
  install -m 644 "$scratch/build/libarchive/libarchive/libarchive_static.a" "$prefix/lib/libarchive.a"
  install -m 644 "$scratch/src/libarchive/libarchive/archive.h" \
    "$scratch/src/libarchive/libarchive/archive_entry.h" "$prefix/include/"
}

# Each chain runs in the background with its own log; ImGui needs GLFW's
# headers in the prefix, the others are independent.
declare -A pidOf
run() { # name, functions...
  local name=$1; shift
  (
    set -euo pipefail
    trap - ERR
    t=$(date +%s)
    for f in "$@"; do "$f"; done
    echo "done in $(($(date +%s) - t)) s"
  ) >"$scratch/log/$name.log" 2>&1 &
  pidOf[$name]=$!
}
run capnproto buildCapnproto
run opencv buildOpencv
run libarchive buildLibarchive
run glfw3-imgui buildGlfw3 buildImgui
run glew buildGlew

failed=()
for name in capnproto opencv libarchive glfw3-imgui glew; do
  if wait "${pidOf[$name]}"; then
    say "$name: $(tail -n1 "$scratch/log/$name.log")"
  else
    failed+=("$name")
    echo "---- $name: last lines of its log ----" >&2
    tail -n 40 "$scratch/log/$name.log" >&2
  fi
done
[ ${#failed[@]} -eq 0 ] || die "failed to build: ${failed[*]}"

# Smoke check: every library is there, is a Windows x86-64 archive with the
# symbol its users call, and nothing needs a DLL at run time.
check() { # library, symbol
  local lib="$prefix/lib/$1"
  [ -f "$lib" ] || die "missing $lib"
  # grep reads all its input (no -q): an early exit would break the pipe
  # and, with pipefail, fail the check.
  $triple-objdump -f "$lib" 2>/dev/null | grep 'file format pe-x86-64' >/dev/null \
    || die "$lib is not a 64-bit Windows archive"
  $triple-nm -C --defined-only "$lib" 2>/dev/null | grep -F "$2" >/dev/null || die "$lib lacks $2"
}
check libkj.a 'kj::throwFatalException'
check libcapnp.a 'capnp::MessageBuilder'
check libopencv_core.a 'cv::Mat::Mat'
check libopencv_imgproc.a 'cv::matchTemplate'
check libglfw3.a 'glfwCreateWindow'
check libglew32.a 'glewInit'
check libimgui.a 'ImGui_ImplOpenGL3_Init'
check libimgui.a 'ImGui_ImplGlfw_InitForOpenGL'
check libarchive.a 'archive_read_open_memory'
for f in include/imgui/imgui.h include/imgui/backends/imgui_impl_glfw.h include/GL/glew.h \
         include/GL/wglew.h include/archive.h include/archive_entry.h \
         lib/cmake/CapnProto/CapnProtoConfig.cmake lib/cmake/opencv4/OpenCVConfig.cmake \
         lib/cmake/glfw3/glfw3Config.cmake; do
  [ -f "$prefix/$f" ] || die "missing $prefix/$f"
done
dlls=$(find "$prefix" \( -iname '*.dll' -o -iname '*.dll.a' \) -print)
[ -z "$dlls" ] || die "dynamic libraries in the prefix: $dlls"

{
  for s in "${sources[@]}"; do echo "$s ${version[$s]}"; done
  echo "libz-mingw-w64-dev $zlibVersion"
} >"$prefix/versions.txt"
touch "$prefix/.complete"
say "built in $(($(date +%s) - start)) s: $prefix"
echo "$prefix"
