#!/bin/sh
# Installs the build tree into a fresh DESTDIR staging tree, as a package
# build does. The other packaging tests read the staged tree.
# Usage: stage.sh CMAKE BUILD_DIR STAGE_DIR
set -eu
cmake=$1 build=$2 stage=$3

rm -rf "$stage"
DESTDIR=$stage "$cmake" --install "$build" >/dev/null
