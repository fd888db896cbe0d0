# Shared by the project's scripts: installing Debian packages on demand, the
# build folders, and the check of a shipped binary's architecture and needs.
# Source it; it sets no options of its own.

PTBENV_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# need_packages PKG...: installs those of the packages that are missing,
# refreshing the package lists first unless that was done in the last hour.
need_packages() {
	local missing=() pkg
	for pkg in "$@"; do
		dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$' ||
			missing+=("$pkg")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "installing: ${missing[*]}"
	local sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	# Each test stage is a process of its own: the lists' age, not a
	# variable, tells whether this run has refreshed them already.
	if [ -z "$(find /var/lib/apt/lists/partial -maxdepth 0 -mmin -60 2>/dev/null)" ]; then
		$sudo apt-get update -qq
	fi
	DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# preset_dir PRESET: the build folder of a configure preset, as every preset
# in CMakePresets.json names it.
preset_dir() {
	echo "build-$1"
}

# The host build (preset "host") that the other scripts share.
HOST_BUILD=$(preset_dir host)

build_host() {
	need_packages g++ cmake ninja-build libgtest-dev binutils
	cmake --preset host >/dev/null
	cmake --build --preset host
}

# preload_path LIBRARY DIR: links LIBRARY into DIR, a scratch folder of the
# caller's, and prints the link for LD_PRELOAD. The loader splits LD_PRELOAD
# at blanks and colons, which the checkout's path may hold and DIR may not.
preload_path() {
	case $2 in
	*[[:blank:]:]*)
		echo "$2: LD_PRELOAD can't name a library in a folder whose path holds a blank or a colon" >&2
		return 1 ;;
	esac
	ln -s "$(realpath -- "$1")" "$2/${1##*/}" && echo "$2/${1##*/}"
}

# check_binary FILE MACHINE [static | GLIBC-BASELINE]: fails unless FILE is an
# ELF program for MACHINE (AArch64 or X86-64) that needs the C library alone
# (and asks for no symbol version above GLIBC-BASELINE) or, given static,
# nothing at all; says why on standard error.
check_binary() {
	local how=
	case ${3:-} in
	static) how=-DSTATIC=ON ;;
	?*) how=-DGLIBC_BASELINE=$3 ;;
	esac
	cmake -DBINARY="$1" -DMACHINE="$2" $how -P "$PTBENV_SOURCE/tests/check_needed.cmake"
}
