# Sourced: fetching Debian packages of any suite and architecture (amd64,
# arm64) without installing them, through a private apt state per suite in
# the project's cache. Used for the device's sysroot and the guest's kernels.
# Sets no options of its own.

ARCHIVE_CACHE=${PTBENV_CACHE:-${HOME:-/root}/.cache/ptbenv}/apt

# The Debian mirror this machine's own apt uses, so that nothing else is asked.
archive_mirror() {
	local uri
	uri=$(sed -n 's/^URIs: *\([^ ]*\/debian\)\/*$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
	[[ -n $uri ]] || uri=$(sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\/debian\)\/* .*/\2/p' \
		/etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | head -n 1)
	echo "${uri:-http://deb.debian.org/debian}"
}

# archive_apt SUITE COMMAND ARGS...: apt-get or apt-cache over SUITE's main pocket.
archive_apt() {
	local suite=$1 cmd=$2 state=$ARCHIVE_CACHE/$1
	shift 2
	"$cmd" -q -o APT::Architecture=amd64 \
		-o APT::Architectures::=amd64 -o APT::Architectures::=arm64 \
		-o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/dev/null \
		-o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status" \
		-o Dir::Cache="$state/cache" -o APT::Sandbox::User=root "$@"
}

# archive_update SUITE: refreshes SUITE's package lists unless done in the last
# day; one process at a time, as stages and builds may run side by side.
archive_update() {
	mkdir -p "$ARCHIVE_CACHE"
	(flock 9 && archive_refresh "$1") 9>"$ARCHIVE_CACHE/$1.lock"
}

archive_refresh() {
	local suite=$1 state=$ARCHIVE_CACHE/$1
	[[ -n $(find "$state/lists/.updated" -mmin -1440 2>/dev/null) ]] && return 0
	mkdir -p "$state/lists/partial" "$state/cache"
	: >"$state/status"
	echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(archive_mirror) $suite main" \
		>"$state/sources.list"
	archive_apt "$suite" apt-get update >/dev/null || {
		echo "archive: apt-get update of $suite failed" >&2
		return 1
	}
	touch "$state/lists/.updated"
}

# archive_version SUITE PKG: the version SUITE offers of PKG (PKG may carry :ARCH).
archive_version() {
	archive_update "$1" || return 1
	archive_apt "$1" apt-cache show --no-all-versions "$2" 2>/dev/null |
		sed -n 's/^Version: //p' | head -n 1
}

# archive_download SUITE DIR PKG...: downloads the packages' .debs into DIR.
archive_download() {
	local suite=$1 dir=$2
	shift 2
	archive_update "$suite" || return 1
	mkdir -p "$dir"
	(cd "$dir" && archive_apt "$suite" apt-get download "$@" >/dev/null) || {
		echo "archive: can't download from $suite: $*" >&2
		return 1
	}
}

# archive_unpack SUITE DIR PKG...: downloads the packages and unpacks them all into DIR.
archive_unpack() {
	local suite=$1 dir=$2 debs deb
	shift 2
	debs=$(mktemp -d)
	archive_download "$suite" "$debs" "$@" || { rm -rf "$debs"; return 1; }
	for deb in "$debs"/*.deb; do
		dpkg-deb -x "$deb" "$dir"
	done
	rm -rf "$debs"
}
