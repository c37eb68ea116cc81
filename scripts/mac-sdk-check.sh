#!/usr/bin/env bash
# Builds the Mac helper on Linux against a real macOS SDK, the way a Mac builds it: the
# top-level CMake project with the settings of the "mac-universal" preset (Release, no tests,
# Ninja, arm64 and x86_64, macOS 11.0), through cmake/darwin-toolchain.cmake (clang, ld64.lld,
# llvm-libtool-darwin, llvm-lipo). Our warnings are errors, and any warning at all in the build's
# output fails the check. It then reports the architectures and the minimum macOS of each.
#
#   MACOS_SDK=<sdk folder> bash scripts/mac-sdk-check.sh
#
# MACOS_SDK      the SDK's folder (the one holding usr/include and System/Library/Frameworks).
#                Unset: the check says it was skipped and exits 0. The SDK is never part of this
#                repository.
# UTF8PROC_SOURCE optional: a folder holding utf8proc's source (utf8proc.c), the release that
#                cmake/apple_dependencies.cmake pins; unset, CMake downloads that release.
#
# nlohmann/json comes from Debian's package nlohmann-json3-dev, the tools from clang, lld and
# llvm; missing packages are installed (apt-get). The build goes to build-mac-cross/.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z ${MACOS_SDK:-} ]]; then
  echo "mac-sdk-check: skipped: MACOS_SDK is not set (it names a macOS SDK folder, which this repository does not hold)"
  exit 0
fi
sdk=$(cd "$MACOS_SDK" && pwd)
if [[ ! -d $sdk/usr/include/c++/v1 || ! -d $sdk/System/Library/Frameworks ]]; then
  echo "mac-sdk-check: $sdk is no macOS SDK (no usr/include/c++/v1 or System/Library/Frameworks)" >&2
  exit 2
fi

bash scripts/install-deps.sh clang lld llvm cmake ninja-build nlohmann-json3-dev

work=$(mktemp -d "${TMPDIR:-/tmp}/caretsafe-mac-sdk.XXXXXX")
trap 'rm -rf "$work"' EXIT

# clang joins the architectures with a program called lipo; LLVM's is llvm-lipo.
lipo=$(command -v llvm-lipo || command -v llvm-lipo-16 || command -v llvm-lipo-15 || command -v llvm-lipo-14)
objdump=$(command -v llvm-objdump || command -v llvm-objdump-16 || command -v llvm-objdump-15 || command -v llvm-objdump-14)
mkdir -p "$work/bin"
ln -s "$lipo" "$work/bin/lipo"
export PATH=$work/bin:$PATH

# Debian's headers of nlohmann/json, laid out as the release archive's include folder, and
# nothing else of /usr/include: the Mac build must see the SDK's headers only.
mkdir -p "$work/json/include"
ln -s /usr/include/nlohmann "$work/json/include/nlohmann"

sources=(-DFETCHCONTENT_SOURCE_DIR_CARETSAFE_NLOHMANN_JSON="$work/json")
if [[ -n ${UTF8PROC_SOURCE:-} ]]; then
  sources+=(-DFETCHCONTENT_SOURCE_DIR_CARETSAFE_UTF8PROC="$(cd "$UTF8PROC_SOURCE" && pwd)")
fi

build="build-mac-cross"
rm -rf "$build"
log=$work/build.log
echo "mac-sdk-check: configuring $build against $sdk"
# The mac-universal preset's settings; the preset itself is for Mac hosts only.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCARETSAFE_TESTS=OFF \
  -DCARETSAFE_WERROR=ON -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/darwin-toolchain.cmake" \
  -DCMAKE_OSX_SYSROOT="$sdk" "${sources[@]}" >"$log" 2>&1 || {
  cat "$log"
  echo "mac-sdk-check: FAILED: configure"
  exit 1
}
echo "mac-sdk-check: building"
if ! cmake --build "$build" --target caretsafe -- -v >>"$log" 2>&1; then
  grep -E 'error|warning' "$log" | head -n 40
  echo "mac-sdk-check: FAILED: build (full output: rerun with the same command; log kept in $build/mac-sdk-check.log)"
  cp "$log" "$build/mac-sdk-check.log"
  exit 1
fi
cp "$log" "$build/mac-sdk-check.log"
if grep -q 'warning:' "$log"; then
  grep 'warning:' "$log" | head -n 40
  echo "mac-sdk-check: FAILED: the build printed warnings"
  exit 1
fi

helper=$build/caretsafe
archs=$("$lipo" -archs "$helper")
echo "mac-sdk-check: $helper: $(wc -c <"$helper") bytes"
echo "lipo -archs: $archs"
status=0
for arch in arm64 x86_64; do
  if [[ " $archs " != *" $arch "* ]]; then
    echo "mac-sdk-check: FAILED: no $arch"
    status=1
    continue
  fi
  headers=$("$objdump" --macho --private-headers --arch="$arch" "$helper")
  minos=$(awk '/LC_BUILD_VERSION/ {b=1} b && $1=="minos" {print $2; exit}' <<<"$headers")
  sdkv=$(awk '/LC_BUILD_VERSION/ {b=1} b && $1=="sdk" {print $2; exit}' <<<"$headers")
  echo "$arch: minimum macOS $minos (SDK $sdkv)"
  [[ $minos == 11.0 ]] || status=1
done
if ((status)); then
  echo "mac-sdk-check: FAILED"
else
  echo "mac-sdk-check: ok: universal, macOS 11.0 and later, no warning"
fi
exit $status
