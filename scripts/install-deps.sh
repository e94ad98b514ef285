#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need.
#
#   scripts/install-deps.sh            Linux build, tests and program
#   scripts/install-deps.sh windows    also what scripts/windows-deps.sh needs to
#                                      cross-build the third-party libraries
#
# The Windows libraries are built from Debian's own source packages, which apt
# only finds through a deb-src entry; a machine that never builds for Windows
# keeps its apt sources exactly as they were.
set -euo pipefail
windows=0
case "${1:-}" in
  "") ;;
  windows) windows=1 ;;
  *) echo "usage: $0 [windows]" >&2; exit 2 ;;
esac

packages=(
  build-essential cmake ninja-build pkg-config git
  capnproto libcapnp-dev
  libopencv-dev
  libglfw3-dev libglew-dev libimgui-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libarchive-dev zlib1g-dev
  xvfb xauth
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64
  clang-14 libclang-rt-14-dev
)
# apt-get source unpacks with dpkg-source (dpkg-dev), which needs xz and patch;
# zlib for Windows is Debian's ready-built static MinGW library.
[ $windows -eq 1 ] && packages+=(dpkg-dev xz-utils patch libz-mingw-w64-dev)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

srcList=/etc/apt/sources.list.d/zarn-deb-src.sources
updated=0

# A deb-src entry for every enabled deb entry: the same archives, suites and
# components, so the sources match the binaries this machine installs.
if [ $windows -eq 1 ] && [ ! -e "$srcList" ]; then
  haveSrc=0
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    if grep -Eq '^[[:space:]]*deb-src[[:space:]]|^[[:space:]]*Types:.*\bdeb-src\b' "$f"; then haveSrc=1; fi
  done
  if [ $haveSrc -eq 0 ]; then
    entries=$(
      for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        # Stanzas are separated by blank lines; keep enabled ones of type deb.
        awk 'function flush() {
               if (body != "" && isDeb && !disabled) printf "Types: deb-src\n%s\n", body
               body = ""; isDeb = 0; disabled = 0 }
             /^[[:space:]]*$/ { flush(); next }
             /^[[:space:]]*#/ { next }
             /^Types:/ { for (i = 2; i <= NF; i++) if ($i == "deb") isDeb = 1; next }
             /^Enabled:[[:space:]]*no/ { disabled = 1 }
             { body = body $0 "\n" }
             END { flush() }' "$f"
      done
      for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        # One-line form: "deb [options] uri suite components...".
        awk '$1 == "deb" {
               opts = ""; i = 2
               if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ }; opts = opts " " $i; i++ }
               comps = ""; for (j = i + 2; j <= NF; j++) comps = comps " " $j
               printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:%s\n", $i, $(i + 1), comps
               if (opts ~ /signed-by=/) { s = opts; sub(/.*signed-by=/, "", s); sub(/[] ].*/, "", s)
                                          printf "Signed-By: %s\n", s }
               printf "\n" }' "$f"
      done
    )
    if [ -z "$entries" ]; then
      echo "install-deps: no deb entry in the apt sources to derive a deb-src entry from" >&2
      exit 1
    fi
    echo "install-deps: adding a deb-src entry ($srcList) for the Windows libraries' sources" >&2
    printf '# Added by scripts/install-deps.sh windows: the Windows build compiles Debian'"'"'s\n# source packages of its third-party libraries.\n%s\n' "$entries" \
      | $SUDO tee "$srcList" >/dev/null
  fi
fi
# The source indexes arrive with the next update (also after an interrupted one).
if [ $windows -eq 1 ] && ! apt-cache showsrc capnproto 2>/dev/null | grep -q '^Package:'; then
  $SUDO apt-get update -qq
  updated=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
[ $updated -eq 1 ] || $SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
