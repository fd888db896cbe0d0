#!/usr/bin/env bash
# Builds the tool, the simulated device and the tests for this machine and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# mandoc and busybox: the manual pages' lint and the boot snippet test are registered only when found.
need_packages g++ cmake ninja-build libgtest-dev binutils mandoc busybox
status=0
cmake --workflow --preset host || status=$?
# The table of power cuts at every device step of set and write, which its
# test prints in every run, failing or not.
grep '^power cuts: ' "$HOST_BUILD/Testing/Temporary/LastTest.log" || echo "no table of power cuts"
[ "$status" -eq 0 ] || exit "$status"

# try.sh as a newcomer runs it: from a folder of their own, the image named
# from there (the sample's serial number), and its usage on --help.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp examples/sample-ptb.img "$scratch/mine.img"
tried=$(cd "$scratch" && "$OLDPWD/scripts/try.sh" --image mine.img sninfo)
[ "$tried" = "sninfo:PT2324A00117" ] || { echo "try.sh --image mine.img sninfo: '$tried'"; exit 1; }
scripts/try.sh --help | grep -q '^usage: scripts/try.sh ' || { echo "try.sh --help: no usage"; exit 1; }
echo "try.sh: an image named from the caller's folder, and --help"
