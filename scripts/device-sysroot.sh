#!/usr/bin/env bash
# device-sysroot.sh KIND: prints the path of a sysroot for building the
# device's binaries, made from Debian's packages on first use and cached in
# ${PTBENV_CACHE:-~/.cache/ptbenv}/sysroot (delete a sysroot to make it anew).
#   glibc         Debian 11's arm64 C library (glibc 2.31): a binary linked
#                 against it asks for no symbol version above GLIBC_2.17.
#   musl [ARCH]   Debian 12's musl (1.2.3) for arm64 (default) or amd64, with
#                 that architecture's kernel headers: for static binaries.
# The toolchain files in cmake/ run it at configure time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/debian-archive.sh"

kind=${1:-}
case $kind in
glibc)
	arch=arm64 suite=bullseye
	packages=(libc6:$arch libc6-dev:$arch linux-libc-dev:$arch) ;;
musl)
	arch=${2:-arm64} suite=bookworm
	packages=(musl-dev:$arch linux-libc-dev:$arch) ;;
*)
	echo "usage: $0 glibc | musl [arm64|amd64]" >&2
	exit 2 ;;
esac

root=${PTBENV_CACHE:-${HOME:-/root}/.cache/ptbenv}/sysroot/$kind-$suite-$arch

make_sysroot() {
	local new=$root.new link target
	rm -rf "$new"
	mkdir -p "$new"
	archive_unpack "$suite" "$new" "${packages[@]}"
	# The packages' development links (libm.so -> /lib/...) are absolute: they
	# point into the machine itself, not the sysroot. Make them relative.
	while IFS= read -r link; do
		target=$(readlink "$link")
		ln -sfn "$(realpath -ms --relative-to="$(dirname "$link")" "$new$target")" "$link"
	done < <(find "$new" -type l -lname '/*')
	touch "$new/.complete"
	rm -rf "$root"
	mv "$new" "$root"
}

if [[ ! -e $root/.complete ]]; then
	mkdir -p "$(dirname "$root")"
	(flock 9 && { [[ -e $root/.complete ]] || make_sysroot >&2; }) 9>"$root.lock"
fi
echo "$root"
