#!/usr/bin/env bash
# Packs the release from what the Windows build made: the classes jar, the
# DLL, the sources, the Javadoc and the POM; and the servlet filter's jar,
# its sources, its Javadoc and its POM. Every jar carries the license as
# META-INF/LICENSE and lists its entries in a fixed order, all dated
# SOURCE_DATE_EPOCH, so that the same inputs give the same bytes.
#
# Usage: pack-release.sh DIST VERSION EPOCH_FILE CLASSES_JAR DLL SOURCES_DIR JAVADOC_DIR POM SERVLET_JAR SERVLET_POM
#                        WORK_DIR SERVLET_SOURCES_DIR SERVLET_JAVADOC_DIR LICENSE
set -euo pipefail

(($# == 14)) || {
  echo "usage: $0 DIST VERSION EPOCH_FILE CLASSES_JAR DLL SOURCES_DIR JAVADOC_DIR POM SERVLET_JAR SERVLET_POM WORK_DIR" \
    "SERVLET_SOURCES_DIR SERVLET_JAVADOC_DIR LICENSE" >&2
  exit 2
}
readonly DIST="$1" VERSION="$2" EPOCH_FILE="$3" CLASSES_JAR="$4" DLL="$5" SOURCES_DIR="$6" JAVADOC_DIR="$7" POM="$8"
readonly SERVLET_JAR="$9" SERVLET_POM="${10}" WORK_DIR="${11}" SERVLET_SOURCES_DIR="${12}" SERVLET_JAVADOC_DIR="${13}"
readonly LICENSE="${14}"
readonly NATIVE_DIR=native/windows-x86_64
readonly JAR="${JAR:-jar}"
DATE="$(date -u -d "@$(cat "$EPOCH_FILE")" +%Y-%m-%dT%H:%M:%SZ)"
readonly DATE
readonly BASE="ntseclink-$VERSION"
readonly SERVLET_BASE="ntseclink-servlet-$VERSION"

# manifest FILE TITLE [LINE...]: a manifest with the release's title, version and vendor.
manifest() {
  local file=$1 title=$2
  shift 2
  printf '%s\n' "Implementation-Title: $title" "Implementation-Version: $VERSION" "Implementation-Vendor: Corvane, Inc." \
    "$@" >"$file"
}

# pack JAR DIR [JAR_OPTIONS...]: the files below DIR, sorted by path, and
# the license as META-INF/LICENSE. DIR is copied first, so that the build's
# own folders stay as they are.
pack() {
  local jar=$1 dir=$2
  shift 2
  local staged="$WORK_DIR/staged-$(basename "$jar")" files
  rm -rf "$staged"
  cp -R "$dir" "$staged"
  mkdir -p "$staged/META-INF"
  cp "$LICENSE" "$staged/META-INF/LICENSE"
  mapfile -t files < <(cd "$staged" && find . -type f -printf '%P\n' | LC_ALL=C sort)
  (cd "$staged" && TZ=UTC "$JAR" --create --file "$jar" --date "$DATE" "$@" "${files[@]}")
}

rm -rf "$WORK_DIR"
mkdir -p "$WORK_DIR/classes/$NATIVE_DIR"
(cd "$WORK_DIR/classes" && "$JAR" --extract --file "$CLASSES_JAR")
rm -rf "$WORK_DIR/classes/META-INF"
cp "$DLL" "$WORK_DIR/classes/$NATIVE_DIR/ntseclink.dll"
sha256sum "$DLL" | cut -d ' ' -f 1 >"$WORK_DIR/classes/$NATIVE_DIR/ntseclink.dll.sha256"
# JDK 22 and later warn at the library's load unless the application allows
# native access; for `java -jar` the manifest allows it.
manifest "$WORK_DIR/MANIFEST.MF" ntseclink "Enable-Native-Access: ALL-UNNAMED"
# The servlet jar is no explicit module, since containers name the Servlet
# API's module differently; on the module path it is the automatic module of
# this name, to which the main module exports its sign-on rules.
mkdir -p "$WORK_DIR/servlet"
(cd "$WORK_DIR/servlet" && "$JAR" --extract --file "$SERVLET_JAR")
rm -rf "$WORK_DIR/servlet/META-INF"
manifest "$WORK_DIR/SERVLET-MANIFEST.MF" ntseclink-servlet "Automatic-Module-Name: com.corvane.zel.ntseclink.servlet"

mkdir -p "$DIST"
rm -f "$DIST"/ntseclink-*.jar "$DIST"/ntseclink-*.pom "$DIST/SHA256SUMS"
# `java -jar` runs the sign-on doctor.
pack "$DIST/$BASE.jar" "$WORK_DIR/classes" --manifest "$WORK_DIR/MANIFEST.MF" --module-version "$VERSION" \
  --main-class com.corvane.zel.ntseclink.doctor.Main
pack "$DIST/$BASE-sources.jar" "$SOURCES_DIR"
pack "$DIST/$BASE-javadoc.jar" "$JAVADOC_DIR"
cp "$POM" "$DIST/$BASE.pom"
pack "$DIST/$SERVLET_BASE.jar" "$WORK_DIR/servlet" --manifest "$WORK_DIR/SERVLET-MANIFEST.MF"
pack "$DIST/$SERVLET_BASE-sources.jar" "$SERVLET_SOURCES_DIR"
pack "$DIST/$SERVLET_BASE-javadoc.jar" "$SERVLET_JAVADOC_DIR"
cp "$SERVLET_POM" "$DIST/$SERVLET_BASE.pom"
(cd "$DIST" && sha256sum "$BASE.jar" "$BASE-sources.jar" "$BASE-javadoc.jar" "$BASE.pom" "$SERVLET_BASE.jar" \
  "$SERVLET_BASE-sources.jar" "$SERVLET_BASE-javadoc.jar" "$SERVLET_BASE.pom" >SHA256SUMS)
