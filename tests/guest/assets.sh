# Sourced by run.sh: fetches each guest kernel, busybox and MTD modules into
# the cache, building nandsim, mtdram and the raw-NAND core from the kernel's
# own linux-source, for the exact kernel linux-image-arm64 of a Debian suite
# points at; and the guest's C library (glibc 2.31) and flash tools. Needs
# CACHE set and scripts/debian-archive.sh and scripts/lib.sh sourced.

# Host packages the run needs (scripts/lib.sh need_packages installs them).
HOST_PACKAGES=(qemu-system-arm cpio gcc-aarch64-linux-gnu binutils-aarch64-linux-gnu gcc make xz-utils cmake)

# The suite whose C library and mtd-utils the guest's userland is made of:
# Debian 11, glibc 2.31, older than the device's C library may be.
USERLAND_SUITE=bullseye

# kernel_series ABI: the kernel's major.minor, e.g. 6.12 for 6.12.117+deb13-arm64.
kernel_series() {
	sed 's/^\([0-9]*\.[0-9]*\).*/\1/' <<<"$1"
}

# Prints the kernel ABI name linux-image-arm64 of suite $1 depends on,
# e.g. 5.10.0-32-arm64 or 6.12.117+deb13-arm64.
resolve_kernel_abi() {
	archive_update "$1" || return 1
	archive_apt "$1" apt-cache depends linux-image-arm64:arm64 |
		sed -n 's/^ *Depends: linux-image-\(.*-arm64\)\(:arm64\)\?$/\1/p' | head -n 1
}

# Downloads every .deb kernel ABI $2 of suite $1 needs into directory $3: the
# -common headers and kbuild packages are the ones the arm64 headers name.
download_guest_debs() {
	local suite=$1 abi=$2 dir=$3 version series pkgs
	version=$(archive_version "$suite" "linux-headers-$abi:arm64")
	[[ -n $version ]] || { echo "guest: no headers for $abi in $suite" >&2; return 1; }
	series=$(kernel_series "$abi")
	pkgs=$(archive_apt "$suite" apt-cache depends "linux-headers-$abi:arm64" |
		grep -o 'linux-\(headers-[^ :>]*-common\|kbuild-[^ :>]*\)' | sort -u)
	[[ $(wc -w <<<"$pkgs") == 2 ]] || { echo "guest: odd headers of $abi: $pkgs" >&2; return 1; }
	pkgs=$(sed "s/^linux-kbuild-.*/&:amd64/; s/\$/=$version/" <<<"$pkgs")
	# shellcheck disable=SC2086 # one package a word
	archive_download "$suite" "$dir" "linux-image-$abi:arm64=$version" \
		"linux-headers-$abi:arm64=$version" $pkgs \
		"linux-source-$series=$version" busybox-static:arm64
}

# Unpacks the .debs in $1 into $2, of the kernel image only the kernel and
# the MTD modules (bullseye and bookworm keep modules in lib/, trixie usr/lib/;
# 5.10 has no bch.ko, so tar may miss a name: what is missing shows later).
unpack_guest_debs() {
	local deb
	for deb in "$1"/*.deb; do
		case ${deb##*/} in
		linux-image-*)
			dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$2" --wildcards \
				'./boot/vmlinuz-*' '*/kernel/drivers/mtd/*' '*/kernel/lib/bch.ko*' 2>/dev/null || true ;;
		*) dpkg-deb -x "$deb" "$2" ;;
		esac
	done
}

# Writes a Kbuild into directory $1 for nand.ko, with software Hamming ECC
# built in (the stock nandcore.ko lacks it; 5.10 has it as raw/nand_ecc.c),
# nandsim.ko and mtdram.ko, and nandcore.ko when the kernel ships none (5.10).
# The object lists come from the kernel's own NAND Makefiles.
write_kbuild() {
	local dir=$1 objs core ecc=ecc-sw-hamming.o mods="nand.o nandsim.o mtdram.o"
	objs=$(sed -n 's/^nand-objs[ :+]*= *//p' "$dir/Makefile.raw" | tr '\n' ' ')
	[[ -e $dir/nand_ecc.c ]] && ecc=nand_ecc.o
	{
		echo "ccflags-y += -DCONFIG_MTD_NAND_ECC_SW_HAMMING=1"
		echo "ccflags-y += -DCONFIG_MTDRAM_TOTAL_SIZE=4096 -DCONFIG_MTDRAM_ERASE_SIZE=128"
		# Not traceable: 6.12 patches a literal 8 bytes ahead of each traced
		# function, which gcc 12 can't be told to align (-fmin-function-alignment).
		echo 'ccflags-remove-y += $(CC_FLAGS_FTRACE)'
		echo "nand-y := $objs $ecc"
		if [[ -e $dir/build-nandcore ]]; then
			core=$(sed -n 's/^nandcore-\(objs\|$(CONFIG_MTD_NAND_ECC)\)[ :+]*= *//p' \
				"$dir/Makefile.nand" | tr '\n' ' ')
			echo "nandcore-y := $core"
			mods+=" nandcore.o"
		fi
		echo "obj-m += $mods"
	} >"$dir/Kbuild"
}

# Rebuilds the kbuild's modpost with the host's gcc when the packaged one
# can't run here (trixie's needs glibc 2.38), from the kernel's own source.
fix_modpost() {
	local root=$1 src=$2 real mod=$2/scripts/mod
	real=$(echo "$root"/usr/lib/linux-kbuild-*/scripts/mod/modpost.real-lsb-64)
	[[ -e $real ]] || real=$(echo "$root"/usr/lib/linux-kbuild-*/scripts/mod/modpost)
	[[ $("$real" </dev/null 2>&1) == *GLIBC_* ]] || return 0
	echo "guest: rebuilding modpost for this host"
	gcc -o "$mod/mk_elfconfig" "$mod/mk_elfconfig.c"
	aarch64-linux-gnu-gcc-12 -c -o "$mod/empty.o" "$mod/empty.c"
	"$mod/mk_elfconfig" <"$mod/empty.o" >"$mod/elfconfig.h"
	# Device table offsets, for the arm64 kernel: compiled with its flags.
	make -s -C "$3" M="$mod" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- \
		CC=aarch64-linux-gnu-gcc-12 CONFIG_CC_HAS_MIN_FUNCTION_ALIGNMENT= \
		devicetable-offsets.s >/dev/null
	sed -n 's/.*"->\([^ ]*\) [$#]*\([-0-9]*\).*/#define \1 \2/p' \
		"$mod/devicetable-offsets.s" >"$mod/devicetable-offsets.h"
	gcc -O2 -I"$src/scripts/include" -I"$mod" -o "$real" "$mod/modpost.c" \
		"$mod/file2alias.c" "$mod/sumversion.c" "$mod/symsearch.c"
}

# Builds the modules from the unpacked packages under $1 into $1/kb.
build_modules() {
	local root=$1 abi=$2 headers src series
	headers=$root/usr/src/linux-headers-$abi
	series=$(kernel_series "$abi")
	src=$root/linux-source-$series
	tar -xJf "$root"/usr/src/linux-source-*.tar.xz -C "$root" --wildcards \
		'*/drivers/mtd/nand/*' '*/drivers/mtd/devices/mtdram.c' \
		'*/scripts/mod/*' '*/scripts/include/*' '*/include/linux/module_symbol.h' \
		'*/include/linux/license.h' '*/include/linux/mod_devicetable.h' \
		2>/dev/null || [[ -e $src/drivers/mtd/devices/mtdram.c ]]
	# The headers' Makefile includes the -common tree by its installed path.
	sed -i "s#^include /usr/src/#include $root/usr/src/#" "$headers/Makefile"
	mkdir -p "$root/kb"
	fix_modpost "$root" "$src" "$headers"
	cp "$src"/drivers/mtd/nand/raw/*.[ch] "$src"/drivers/mtd/nand/*.c \
		"$src/drivers/mtd/devices/mtdram.c" "$root/kb/"
	cp "$src/drivers/mtd/nand/raw/Makefile" "$root/kb/Makefile.raw"
	cp "$src/drivers/mtd/nand/Makefile" "$root/kb/Makefile.nand"
	[[ -n $(find "$root" -path "*/modules/$abi/*" -name 'nandcore.ko*') ]] ||
		touch "$root/kb/build-nandcore"
	write_kbuild "$root/kb"
	# gcc 12 has no -fmin-function-alignment (6.12 was built with gcc 14; the
	# Makefile then uses -falign-functions); no pahole here, so no module BTF.
	make -s -C "$headers" M="$root/kb" ARCH=arm64 \
		CROSS_COMPILE=aarch64-linux-gnu- CC=aarch64-linux-gnu-gcc-12 \
		CONFIG_CC_HAS_MIN_FUNCTION_ALIGNMENT= CONFIG_DEBUG_INFO_BTF_MODULES= \
		-j"$(nproc)" modules >"$root/kb/build.log" 2>&1 ||
		{ tail -n 30 "$root/kb/build.log" >&2; return 1; }
}

# Copies the stock modules the built ones need (mtd, and bch and nandcore
# where the kernel has them), uncompressed, into $3.
copy_stock_modules() {
	local root=$1 abi=$2 out=$3 name file
	for name in mtd bch nandcore; do
		file=$(find "$root" -path "*/modules/$abi/kernel/*" -name "$name.ko*" | head -n 1)
		[[ -n $file ]] || continue
		case $file in
		*.xz) xz -dc "$file" >"$out/$name.ko" ;;
		*) cp "$file" "$out/$name.ko" ;;
		esac
	done
}

# Fills $CACHE/$abi with vmlinuz, busybox and the MTD modules, once.
fetch_guest_assets() {
	local suite=$1 abi=$2 out=$CACHE/$2 work=$CACHE/work
	[[ -e $out/.complete ]] && return 0
	echo "guest: preparing kernel $abi from $suite and its MTD modules (first run only)"
	rm -rf "$work" "$out"
	mkdir -p "$work/debs" "$work/root" "$out/modules"
	download_guest_debs "$suite" "$abi" "$work/debs"
	unpack_guest_debs "$work/debs" "$work/root"
	build_modules "$work/root" "$abi"
	copy_stock_modules "$work/root" "$abi" "$out/modules"
	cp "$work"/root/kb/*.ko "$out/modules/"
	aarch64-linux-gnu-strip --strip-debug "$out"/modules/*.ko
	cp "$work/root/boot/vmlinuz-$abi" "$out/vmlinuz"
	cp "$(find "$work/root" -path '*bin/busybox' | head -n 1)" "$out/busybox"
	rm -rf "$work"
	touch "$out/.complete"
}

# guest_kernel_abi SUITE: prints the cached kernel ABI of SUITE, resolving
# (and preparing) the suite's current one on first use.
guest_kernel_abi() {
	local suite=$1 abi
	if [[ -s $CACHE/kernel-$suite && -e $CACHE/$(cat "$CACHE/kernel-$suite")/.complete ]]; then
		cat "$CACHE/kernel-$suite"
		return 0
	fi
	abi=$(resolve_kernel_abi "$suite")
	[[ -n $abi ]] || { echo "guest: can't resolve linux-image-arm64 in $suite" >&2; return 1; }
	fetch_guest_assets "$suite" "$abi" >&2
	echo "$abi" >"$CACHE/kernel-$suite"
	echo "$abi"
}

# Prints the directory holding the guest's userland: $USERLAND_SUITE's C
# library and mtd-utils, as unpacked from its libc6 and mtd-utils, once.
guest_userland() {
	local out=$CACHE/userland-$USERLAND_SUITE
	if [[ ! -e $out/.complete ]]; then
		echo "guest: fetching the C library and mtd-utils of $USERLAND_SUITE" >&2
		rm -rf "$out"
		mkdir -p "$out"
		archive_unpack "$USERLAND_SUITE" "$out" libc6:arm64 mtd-utils:arm64 >&2
		touch "$out/.complete"
	fi
	echo "$out"
}
