/* The simulated device as a writer and a careful reader meet it: the ECC's
 * counters and the wrong bytes of a failing page, erasing, programming,
 * marking bad, and the read-only ways in. */
#include "sim_device.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

/* Four 16 KiB blocks of 2 KiB pages: blocks 0 and 1 hold the image, 2 and 3 are erased. */
const uint32_t BLOCK = 16 * KiB;
const uint32_t PAGE = 2048;
const uint32_t SIZE = 4 * BLOCK;

/* Bytes that are never erased flash nor any byte the cases program. */
ptb_bytes contents(void)
{
	ptb_bytes image(2 * BLOCK);
	for (size_t i = 0; i < image.size(); i++)
		image[i] = (unsigned char)(0x40 + i % 0x3F);
	return image;
}

sim_partition flash(enum mtdsim_fault fault = MTDSIM_NO_FAULT)
{
	return sim_image(sim_fault(sim_flash(SIZE, BLOCK), fault), contents());
}

enum step_kind { ECC_STATS, READ, ERASE, PROGRAM, MARK_BAD, IS_BAD, INFO, FSTAT };

struct step {
	enum step_kind kind;
	uint64_t offset;
	uint64_t length;
	unsigned char fill;	/* PROGRAM: every byte written */
};

struct device_case {
	const char *name;
	sim_partition partition;
	std::vector<step> steps;
	std::string log;
	std::string seen;	/* errors, bytes read wrong, MEMGETINFO's and fstat's answers */
	std::string changed;	/* where the flash differs from the partition attached */
	std::vector<uint32_t> marked;	/* mtdsim_is_marked_bad */
	const char *path = "/dev/mtd2";
	int flags = O_RDWR;
};

/* The device log of steps between an open for reading and writing and the close. */
std::string rw(const std::string &lines)
{
	return "open read-write\n" + lines + "close\n";
}

/* Runs of bytes where now departs from before, each run of one XOR (wrong
 * bytes) or one value (changed flash). */
std::string runs(const char *what, const unsigned char *now, const unsigned char *before, uint64_t offset,
		 size_t length, bool as_xor)
{
	std::string text;
	for (size_t i = 0, end; i < length; i = end) {
		end = i + 1;
		if (now[i] == before[i])
			continue;
		unsigned char shown = as_xor ? now[i] ^ before[i] : now[i];
		while (end < length && now[end] != before[end] && (as_xor ? now[end] ^ before[end] : now[end]) == shown)
			end++;
		char value[8];
		snprintf(value, sizeof(value), as_xor ? " ^%02x" : " %02x", shown);
		text += std::string(what) + " " + hex(offset + i) + "-" + hex(offset + end) + value + "\n";
	}
	return text;
}

std::string read_step(int fd, const step &s, long *result)
{
	size_t length;
	const unsigned char *flash_now = mtdsim_contents(&length);
	ptb_bytes truth(flash_now + s.offset, flash_now + s.offset + s.length);
	ptb_bytes got(s.length);

	*result = pread(fd, got.data(), got.size(), s.offset);
	return runs("wrong", got.data(), truth.data(), s.offset, *result > 0 ? *result : 0, true);
}

std::string info_step(int fd, long *result)
{
	struct mtd_info_user info;

	*result = ioctl(fd, MEMGETINFO, &info);
	if (*result != 0)
		return "";
	return "writesize " + std::to_string(info.writesize) + " oobsize " + std::to_string(info.oobsize) +
	       " flags " + hex(info.flags) + "\n";
}

std::string fstat_step(int fd, long *result)
{
	struct stat st;

	*result = fstat(fd, &st);
	if (*result != 0)
		return "";
	return std::string("fstat ") + (S_ISCHR(st.st_mode) ? "char " : "not char ") + std::to_string(major(st.st_rdev)) +
	       ":" + std::to_string(minor(st.st_rdev)) + " size " + std::to_string(st.st_size) + "\n";
}

/* Each step's call; what it answered beyond the device log. */
std::string take_step(int fd, const step &s)
{
	static const char *const CALLS[] = { "ECCGETSTATS", "pread", "MEMERASE", "pwrite", "MEMSETBADBLOCK",
					     "MEMGETBADBLOCK", "MEMGETINFO", "fstat" };
	struct mtd_ecc_stats stats;
	struct erase_info_user erase = { (uint32_t)s.offset, (uint32_t)s.length };
	ptb_bytes bytes(s.length, s.fill);
	loff_t at = s.offset;
	long result = 0;
	std::string seen;

	errno = 0;
	switch (s.kind) {
	case ECC_STATS: result = ioctl(fd, ECCGETSTATS, &stats); break;
	case READ: seen = read_step(fd, s, &result); break;
	case ERASE: result = ioctl(fd, MEMERASE, &erase); break;
	case PROGRAM: result = pwrite(fd, bytes.data(), bytes.size(), s.offset); break;
	case MARK_BAD: result = ioctl(fd, MEMSETBADBLOCK, &at); break;
	case IS_BAD: result = ioctl(fd, MEMGETBADBLOCK, &at); break;
	case INFO: seen = info_step(fd, &result); break;
	case FSTAT: seen = fstat_step(fd, &result); break;
	}
	if (result < 0)
		seen += std::string(CALLS[s.kind]) + " " + strerrorname_np(errno) + "\n";
	return seen;
}

const device_case device_cases[] = {
	{ "ECC: each failing step of each page read counts, the ranges' bytes come back wrong",
	  aged(flash(), { { 0x100, 0x110 }, { 0x10F0, 0x1110 } }, { { 0x2000, 0x2300 } }),
	  { { ECC_STATS, 0, 0, 0 }, { READ, 0, BLOCK, 0 }, { ECC_STATS, 0, 0, 0 }, { READ, 0x2000, PAGE, 0 },
	    { ECC_STATS, 0, 0, 0 } },
	  rw("ECCGETSTATS -> corrected 17 failed 5\npread 16384 at 0x0 -> 16384\nECCGETSTATS -> corrected 20 failed 8\n"
	     "pread 2048 at 0x2000 -> 2048\nECCGETSTATS -> corrected 23 failed 8\n"),
	  "wrong 0x100-0x110 ^01\nwrong 0x10f0-0x1110 ^01\n", "", {} },
	{ "ECC: a read of one byte reads its whole page; each read's wrong bytes differ from the last's",
	  aged(flash(), { { 0x7F8, 0x808 } }),
	  { { READ, 0x10, 1, 0 }, { ECC_STATS, 0, 0, 0 }, { READ, 0x7F0, 0x20, 0 }, { ECC_STATS, 0, 0, 0 },
	    { READ, 0x800, 4, 0 } },
	  rw("pread 1 at 0x10 -> 1\nECCGETSTATS -> corrected 17 failed 6\npread 32 at 0x7f0 -> 32\n"
	     "ECCGETSTATS -> corrected 17 failed 8\npread 4 at 0x800 -> 4\n"),
	  "wrong 0x7f8-0x808 ^02\nwrong 0x800-0x804 ^03\n", "", {} },
	{ "ECC, ecc-transient: a range fails the first read that touches it only",
	  aged(flash(MTDSIM_ECC_TRANSIENT), { { 0x100, 0x110 } }),
	  { { READ, 0x100, 0x10, 0 }, { READ, 0x100, 0x10, 0 }, { ECC_STATS, 0, 0, 0 } },
	  rw("pread 16 at 0x100 -> 16\npread 16 at 0x100 -> 16\nECCGETSTATS -> corrected 17 failed 6\n"),
	  "wrong 0x100-0x110 ^01\n", "", {} },
	{ "ECC, no-ecc-stats: a driver without counters", flash(MTDSIM_NO_ECC_STATS),
	  { { ECC_STATS, 0, 0, 0 } },
	  rw("ECCGETSTATS -> -1\n"), "ECCGETSTATS ENOTTY\n", "", {} },
	{ "ECC, eccstats-second-fails: the first call answers, the next fails", flash(MTDSIM_ECCSTATS_SECOND_FAILS),
	  { { ECC_STATS, 0, 0, 0 }, { READ, 0, PAGE, 0 }, { ECC_STATS, 0, 0, 0 } },
	  rw(ECC_UNCHANGED "pread 2048 at 0x0 -> 2048\nECCGETSTATS -> -1\n"), "ECCGETSTATS EIO\n", "", {} },
	{ "erase: a whole block becomes erased flash", flash(),
	  { { ERASE, BLOCK, BLOCK, 0 } },
	  rw("MEMERASE 0x4000+0x4000 -> 0\n"), "", "changed 0x4000-0x8000 ff\n", {} },
	{ "erase: a start or length off the blocks, or past the end", flash(),
	  { { ERASE, PAGE, BLOCK, 0 }, { ERASE, 0, PAGE, 0 }, { ERASE, 3 * BLOCK, 2 * BLOCK, 0 } },
	  rw("MEMERASE 0x800+0x4000 -> -1\nMEMERASE 0x0+0x800 -> -1\nMEMERASE 0xc000+0x8000 -> -1\n"),
	  "MEMERASE EINVAL\nMEMERASE EINVAL\nMEMERASE EINVAL\n", "", {} },
	{ "erase: a weak block and a bad one fail, changing nothing",
	  sim_weak_blocks(sim_bad(flash(), { 1 }), { 0 }),
	  { { ERASE, 0, BLOCK, 0 }, { ERASE, BLOCK, BLOCK, 0 } },
	  rw("MEMERASE 0x0+0x4000 -> -1\nMEMERASE 0x4000+0x4000 -> -1\n"), "MEMERASE EIO\nMEMERASE EIO\n", "", { 1 } },
	{ "erase, erase-fails: a write-protected chip", flash(MTDSIM_ERASE_FAILS),
	  { { ERASE, 0, BLOCK, 0 } },
	  rw("MEMERASE 0x0+0x4000 -> -1\n"), "MEMERASE EIO\n", "", {} },
	{ "program: bits are only cleared, the flash keeps old AND new", flash(),
	  { { PROGRAM, 2 * BLOCK, PAGE, 0xF0 }, { PROGRAM, 2 * BLOCK, PAGE, 0x3C } },
	  rw("pwrite 2048 at 0x8000 -> 2048\npwrite 2048 at 0x8000 -> 2048\n"), "", "changed 0x8000-0x8800 30\n", {} },
	{ "program: an offset or count off the pages, or past the end", flash(),
	  { { PROGRAM, 2 * BLOCK + 0x100, PAGE, 0 }, { PROGRAM, 2 * BLOCK, 100, 0 }, { PROGRAM, SIZE, PAGE, 0 } },
	  rw("pwrite 2048 at 0x8100 -> -1\npwrite 100 at 0x8000 -> -1\npwrite 2048 at 0x10000 -> -1\n"),
	  "pwrite EINVAL\npwrite EINVAL\npwrite EINVAL\n", "", {} },
	{ "program: a weak page ends the write, half programmed",
	  sim_weak_pages(flash(), { 17 }),
	  { { PROGRAM, 2 * BLOCK, 3 * PAGE, 0 } },
	  rw("pwrite 6144 at 0x8000 -> -1\n"), "pwrite EIO\n", "changed 0x8000-0x8c00 00\n", {} },
	{ "program, program-fails: every page is left half programmed", flash(MTDSIM_PROGRAM_FAILS),
	  { { PROGRAM, 2 * BLOCK, PAGE, 0 } },
	  rw("pwrite 2048 at 0x8000 -> -1\n"), "pwrite EIO\n", "changed 0x8000-0x8400 00\n", {} },
	{ "program, program-wrong: each page taken, its first byte left as it was", flash(MTDSIM_PROGRAM_WRONG),
	  { { PROGRAM, 2 * BLOCK, 2 * PAGE, 0 } },
	  rw("pwrite 4096 at 0x8000 -> 4096\n"), "", "changed 0x8001-0x8800 00\nchanged 0x8801-0x9000 00\n", {} },
	{ "program, pwrite-short: every page but the last, their bytes returned", flash(MTDSIM_PWRITE_SHORT),
	  { { PROGRAM, 2 * BLOCK, 3 * PAGE, 0 } },
	  rw("pwrite 6144 at 0x8000 -> 4096\n"), "", "changed 0x8000-0x9000 00\n", {} },
	{ "program: a bad block takes the write, as raw NAND does",
	  sim_bad(flash(), { 2 }),
	  { { PROGRAM, 2 * BLOCK, PAGE, 0 } },
	  rw("pwrite 2048 at 0x8000 -> 2048\n"), "", "changed 0x8000-0x8800 00\n", { 2 } },
	{ "mark bad: the block reads bad and keeps its mark; marking it again does nothing", flash(),
	  { { MARK_BAD, BLOCK + 0x10, 0, 0 }, { IS_BAD, BLOCK, 0, 0 }, { MARK_BAD, BLOCK, 0, 0 } },
	  rw("MEMSETBADBLOCK 0x4010 -> 0\nMEMGETBADBLOCK 0x4000 -> 1\nMEMSETBADBLOCK 0x4000 -> 0 (already bad)\n"),
	  "", "", { 1 } },
	{ "mark bad, markbad-fails: bad in this process, the erase refused, the mark not kept",
	  flash(MTDSIM_MARKBAD_FAILS),
	  { { MARK_BAD, BLOCK, 0, 0 }, { IS_BAD, BLOCK, 0, 0 }, { ERASE, BLOCK, BLOCK, 0 } },
	  rw("MEMSETBADBLOCK 0x4000 -> -1\nMEMGETBADBLOCK 0x4000 -> 1\nMEMERASE 0x4000+0x4000 -> -1\n"),
	  "MEMSETBADBLOCK EIO\nMEMERASE EIO\n", "", {} },
	{ "the read-only node: no opening it for writing", flash(), {},
	  "open mtd2ro read-write\n", "open EACCES\n", "", {}, "/dev/mtd2ro", O_RDWR },
	{ "the read-only node: its own minor, no erasing, no programming", flash(),
	  { { FSTAT, 0, 0, 0 }, { ERASE, 0, BLOCK, 0 }, { PROGRAM, 0, PAGE, 0 } },
	  "open mtd2ro read-only\nMEMERASE 0x0+0x4000 -> -1\npwrite 2048 at 0x0 -> -1\nclose\n",
	  "fstat char 90:5 size 0\nMEMERASE EPERM\npwrite EBADF\n", "", {}, "/dev/mtd2ro", O_RDONLY },
	{ "read-only: no opening the partition for writing", flash(MTDSIM_READ_ONLY), {},
	  "open write-only\n", "open EACCES\n", "", {}, "/dev/mtd2", O_WRONLY },
	{ "read-only: MEMGETINFO without MTD_WRITEABLE", flash(MTDSIM_READ_ONLY),
	  { { INFO, 0, 0, 0 }, { FSTAT, 0, 0, 0 } },
	  "open read-only\nMEMGETINFO\nclose\n", "writesize 2048 oobsize 64 flags 0x0\nfstat char 90:4 size 0\n", "", {},
	  "/dev/mtd2", O_RDONLY },
	{ "a RAM device's geometry: 4 KiB blocks of 1-byte pages",
	  sim_image(sim_flash(SIZE, 4 * KiB, 1), contents()),
	  { { INFO, 0, 0, 0 }, { PROGRAM, 2 * BLOCK + 1, 1, 0 }, { ERASE, 0x1000, 0x1000, 0 } },
	  rw("MEMGETINFO\npwrite 1 at 0x8001 -> 1\nMEMERASE 0x1000+0x1000 -> 0\n"), "writesize 1 oobsize 0 flags 0x400\n",
	  "changed 0x1000-0x2000 ff\nchanged 0x8001-0x8002 00\n", {} },
	{ "bad marks, badblock-fails-after-write: answered until a page is programmed, then failing",
	  flash(MTDSIM_BADBLOCK_FAILS_AFTER_WRITE),
	  { { IS_BAD, BLOCK, 0, 0 }, { PROGRAM, 2 * BLOCK, PAGE, 0 }, { IS_BAD, BLOCK, 0, 0 } },
	  rw("MEMGETBADBLOCK 0x4000 -> 0\npwrite 2048 at 0x8000 -> 2048\nMEMGETBADBLOCK 0x4000 -> -1\n"),
	  "MEMGETBADBLOCK EIO\n", "changed 0x8000-0x8800 00\n", {} },
};

void check_device_case(const device_case &c)
{
	sim_attach(c.partition);
	size_t length;
	const unsigned char *attached = mtdsim_contents(&length);
	ptb_bytes before(attached, attached + length);
	std::string seen;

	int fd = open(c.path, c.flags);
	if (fd < 0)
		seen = std::string("open ") + strerrorname_np(errno) + "\n";
	for (const step &s : c.steps)
		seen += take_step(fd, s);
	if (fd >= 0)
		close(fd);

	EXPECT_EQ(mtdsim_log(), c.log);
	EXPECT_EQ(seen, c.seen);
	const unsigned char *now = mtdsim_contents(&length);
	EXPECT_EQ(runs("changed", now, before.data(), 0, length, false), c.changed);
	EXPECT_EQ(sim_marked_blocks(SIZE / BLOCK), c.marked);
}

TEST(SimDevice, ReadsThroughTheEccErasesProgramsAndMarksBad)
{
	for (const device_case &c : device_cases) {
		SCOPED_TRACE(c.name);
		check_device_case(c);
	}
}

}
