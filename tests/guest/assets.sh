# Sourced by run.sh: fetches the guest's kernel, busybox and MTD modules into
# the cache, building nandsim, mtdram and the raw-NAND core against the exact
# kernel Debian's linux-image-arm64 points at. Needs CACHE set.

# Host packages the run needs, and a file or command that shows each is there.
HOST_PACKAGES=(
	"qemu-system-arm:/usr/bin/qemu-system-aarch64"
	"cpio:/usr/bin/cpio"
	"gcc-aarch64-linux-gnu:/usr/bin/aarch64-linux-gnu-gcc-12"
	"binutils-aarch64-linux-gnu:/usr/bin/aarch64-linux-gnu-readelf"
	"libc6-dev-arm64-cross:/usr/aarch64-linux-gnu/lib/libc.so.6"
	"make:/usr/bin/make"
	"xz-utils:/usr/bin/xz"
)

install_host_packages() {
	local entry missing=()
	for entry in "${HOST_PACKAGES[@]}"; do
		[[ -e ${entry#*:} ]] || missing+=("${entry%%:*}")
	done
	((${#missing[@]})) || return 0
	echo "guest: installing host packages: ${missing[*]}"
	apt-get update -q >/dev/null
	DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
		"${missing[@]}" >/dev/null
}

# A private apt state that knows arm64 and amd64 packages and installs nothing.
guest_apt() {
	local cmd=$1
	shift
	"$cmd" -q -o APT::Architecture=amd64 \
		-o APT::Architectures::=amd64 -o APT::Architectures::=arm64 \
		-o Dir::State::Lists="$CACHE/apt/lists" \
		-o Dir::State::status="$CACHE/apt/status" \
		-o Dir::Cache="$CACHE/apt/cache" \
		-o APT::Sandbox::User=root "$@"
}

guest_apt_update() {
	mkdir -p "$CACHE/apt/lists/partial" "$CACHE/apt/cache"
	: >"$CACHE/apt/status"
	guest_apt apt-get update >/dev/null ||
		echo "guest: apt-get update reported errors, going on with what it got" >&2
}

# Prints the kernel ABI name linux-image-arm64 depends on, e.g. 6.1.0-57-arm64.
resolve_kernel_abi() {
	guest_apt apt-cache depends linux-image-arm64:arm64 |
		sed -n 's/^ *Depends: linux-image-\(.*-arm64\)\(:arm64\)\?$/\1/p' | head -n 1
}

package_version() {
	guest_apt apt-cache show --no-all-versions "$1" | sed -n 's/^Version: //p' | head -n 1
}

# Downloads every .deb the guest needs for kernel ABI $1 into directory $2.
download_guest_debs() {
	local abi=$1 dir=$2 version series
	version=$(package_version "linux-headers-$abi:arm64")
	series=${abi%%.0-*}
	[[ -n $version ]] || { echo "guest: no headers for $abi" >&2; return 1; }
	(cd "$dir" && guest_apt apt-get download >/dev/null \
		"linux-image-$abi:arm64" "linux-headers-$abi:arm64=$version" \
		"linux-headers-${abi%-arm64}-common=$version" \
		"linux-source-$series=$version" "linux-kbuild-$series:amd64=$version" \
		busybox-static:arm64)
}

# Writes a Kbuild for nand.ko (with software Hamming ECC built in, which the
# stock nandcore.ko lacks), nandsim.ko and mtdram.ko into directory $1.
write_kbuild() {
	local dir=$1 objs
	objs=$(sed -n 's/^nand-objs[ :+]*= *//p' "$dir/Makefile.raw" | tr '\n' ' ')
	cat >"$dir/Kbuild" <<-KBUILD
		ccflags-y += -DCONFIG_MTD_NAND_ECC_SW_HAMMING=1
		ccflags-y += -DCONFIG_MTDRAM_TOTAL_SIZE=4096 -DCONFIG_MTDRAM_ERASE_SIZE=128
		obj-m += nand.o nandsim.o mtdram.o
		nand-y := $objs ecc-sw-hamming.o
	KBUILD
}

# Builds the three modules from the unpacked packages under $1 into $1/kb.
build_modules() {
	local root=$1 abi=$2 headers src
	headers=$root/usr/src/linux-headers-$abi
	src=$root/linux-source-${abi%%.0-*}/drivers/mtd
	tar -xJf "$root"/usr/src/linux-source-*.tar.xz -C "$root" --wildcards \
		'*/drivers/mtd/nand/raw/*.[ch]' '*/drivers/mtd/nand/ecc-sw-hamming.c' \
		'*/drivers/mtd/nand/raw/Makefile' '*/drivers/mtd/devices/mtdram.c'
	# The headers' Makefile includes the -common tree by its installed path.
	sed -i "s#^include /usr/src/#include $root/usr/src/#" "$headers/Makefile"
	mkdir -p "$root/kb"
	cp "$src"/nand/raw/*.[ch] "$src/nand/ecc-sw-hamming.c" \
		"$src/devices/mtdram.c" "$root/kb/"
	cp "$src/nand/raw/Makefile" "$root/kb/Makefile.raw"
	write_kbuild "$root/kb"
	make -s -C "$headers" M="$root/kb" ARCH=arm64 \
		CROSS_COMPILE=aarch64-linux-gnu- CC=aarch64-linux-gnu-gcc-12 \
		-j"$(nproc)" modules >"$root/kb/build.log" 2>&1 ||
		{ tail -n 30 "$root/kb/build.log" >&2; return 1; }
}

# Fills $CACHE/$abi with vmlinuz, busybox and the MTD modules, once.
fetch_guest_assets() {
	local abi=$1 out=$CACHE/$1 work=$CACHE/work mods
	[[ -e $out/.complete ]] && return 0
	echo "guest: preparing kernel $abi and MTD modules (first run only)"
	rm -rf "$work" "$out"
	mkdir -p "$work/debs" "$work/root" "$out/modules"
	download_guest_debs "$abi" "$work/debs"
	local deb
	for deb in "$work"/debs/*.deb; do
		dpkg-deb -x "$deb" "$work/root"
	done
	build_modules "$work/root" "$abi"
	mods=$work/root/lib/modules/$abi/kernel
	cp "$mods/drivers/mtd/mtd.ko" "$mods/lib/bch.ko" \
		"$mods/drivers/mtd/nand/nandcore.ko" "$work"/root/kb/*.ko "$out/modules/"
	cp "$work/root/boot/vmlinuz-$abi" "$out/vmlinuz"
	cp "$work/root/bin/busybox" "$out/busybox"
	rm -rf "$work"
	touch "$out/.complete"
}

# Prints the cached kernel ABI, resolving (and caching) today's on first use.
guest_kernel_abi() {
	local abi
	if [[ -s $CACHE/current && -e $CACHE/$(cat "$CACHE/current")/.complete ]]; then
		cat "$CACHE/current"
		return 0
	fi
	guest_apt_update
	abi=$(resolve_kernel_abi)
	[[ -n $abi ]] || { echo "guest: can't resolve linux-image-arm64" >&2; return 1; }
	fetch_guest_assets "$abi" >&2
	rm -rf "$CACHE/apt"
	echo "$abi" >"$CACHE/current"
	echo "$abi"
}
