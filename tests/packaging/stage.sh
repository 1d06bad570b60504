#!/bin/sh
# Installs the build tree into a fresh DESTDIR staging tree, as a package
# build does, and each install component into one of its own
# (STAGE_DIR-runtime, STAGE_DIR-devel), as a split package build does. The
# other packaging tests read the staged trees.
# Usage: stage.sh CMAKE BUILD_DIR STAGE_DIR
set -eu
cmake=$1 build=$2 stage=$3

rm -rf "$stage" "$stage-runtime" "$stage-devel"
DESTDIR=$stage "$cmake" --install "$build" >/dev/null
for component in runtime devel; do
    DESTDIR=$stage-$component "$cmake" --install "$build" --component "$component" >/dev/null
done
