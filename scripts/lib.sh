# Shared by the project's scripts: installing Debian packages on demand.
# Source it; it sets no options of its own.

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

# The host build (preset "host") that the other scripts share.
HOST_BUILD=build

build_host() {
	need_packages g++ cmake ninja-build libgtest-dev binutils
	cmake --preset host >/dev/null
	cmake --build "$HOST_BUILD"
}
