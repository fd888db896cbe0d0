#!/usr/bin/env bash
# Builds everything and runs every test, installing what is missing with apt-get.
# Each stage is a script of its own; all run, and the run fails if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

stages=(host aarch64 guest package fuzz asan valgrind lint)
failed=()
for stage in "${stages[@]}"; do
	echo "=== $stage"
	start=$SECONDS
	if bash "scripts/test-$stage.sh"; then
		echo "=== $stage passed ($((SECONDS - start)) s)"
	else
		echo "=== $stage FAILED ($((SECONDS - start)) s)"
		failed+=("$stage")
	fi
done
echo "$((${#stages[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
