/* The writer's decisions over the simulated device: the blocks it erases,
 * programs and marks bad, where the PTB ends up, what the partition then
 * holds and what the writer reports. */
#include "ptb/ptb_write.h"
#include "sim_device.h"
#include "tool/ptbtool.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

/* A NAND's erase blocks, and a NOR's or RAM device's (1-byte pages). */
const uint32_t BIG = 128 * KiB, SMALL = 4 * KiB;
const std::string DEVICE = "/dev/mtd2";

/* The erases, programs and marks of the device log by block, "erase 0
 * failed, mark 0, erase 1, program 1"; a block's pages programmed in a row
 * count once. */
std::string writes_in(const char *log, uint32_t erasesize)
{
	std::string writes, last;

	for (const char *line = log; *line != '\0'; line = strchr(line, '\n') + 1) {
		unsigned long long at, length;
		long long result;
		const char *call;
		if (sscanf(line, "MEMERASE 0x%llx+0x%llx -> %lld", &at, &length, &result) == 3)
			call = "erase ";
		else if (sscanf(line, "pwrite %llu at 0x%llx -> %lld", &length, &at, &result) == 3)
			call = "program ";
		else if (sscanf(line, "MEMSETBADBLOCK 0x%llx -> %lld", &at, &result) == 2)
			call = "mark ";
		else
			continue;
		std::string entry = call + std::to_string(at / erasesize);
		if (entry != last || entry[0] != 'p')
			writes += (writes.empty() ? "" : ", ") + entry;
		if (result < 0)
			writes += " failed";
		last = entry;
	}
	return writes;
}

/* The report's fields a case expects. */
struct write_summary {
	unsigned long long offset;
	unsigned blocks_written;
	unsigned corrected;
	bool touched;
	long long marked;
	bool mark_failed;
};

struct write_case {
	const char *name;
	sim_partition partition;	/* its bytes: ptb_pattern() */
	std::vector<std::pair<std::string, std::string>> values;	/* the new image's, over the old */
	size_t poke;			/* a byte the new image changes besides, from the PTB's start; 0: none */
	bool refresh;
	int status;
	std::string writes;		/* writes_in() */
	std::string blocks;		/* sim_blocks_after(), the new PTB where the report says */
	std::vector<uint32_t> marked;
	write_summary report;
	std::string err;
	bool old_known = true;		/* the old bytes are handed over */
	uint32_t limit = 0;		/* where ptbenv's read from the PTB must end; 0: the partition's end */
};

const write_case write_cases[] = {
	{ "one value changed: its block alone", sim_flash(MiB, BIG),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0, program 0", "nkkkkkkk", {}, { 0, 1, 0, true, -1, false }, "" },
	{ "nothing changed: no erase", sim_flash(MiB, BIG),
	  {}, 0, false,
	  0, "", "kkkkkkkk", {}, { 0, 0, 0, false, -1, false }, "" },
	{ "refresh: the block behind a bad one rewritten as it was", sim_bad(sim_flash(MiB, BIG), { 0 }),
	  {}, 0, true,
	  0, "erase 1, program 1", "kkkkkkkk", { 0 }, { BIG, 1, 0, true, -1, false }, bad_block_lines(BIG, 0, 1) },
	{ "4 KiB blocks of 1-byte pages: a change in the second block alone",
	  sim_flash(64 * KiB, SMALL, 1),
	  {}, 0x1100, false,
	  0, "erase 1, program 1", "knkkkkkkkkkkkkkk", {}, { 0, 1, 0, true, -1, false }, "" },
	{ "4 KiB blocks, the old bytes not known: both written", sim_flash(64 * KiB, SMALL),
	  {}, 0x1100, false,
	  0, "erase 0, program 0, erase 1, program 1", "knkkkkkkkkkkkkkk", {}, { 0, 2, 0, true, -1, false }, "", false },
	{ "a bad second block: the PTB moves to two good blocks in a row, then the block ahead is marked",
	  sim_bad(sim_flash(64 * KiB, SMALL), { 1 }),
	  { { "sninfo", "PT2" } }, 0x1100, false,
	  0, "erase 2, program 2, erase 3, program 3, erase 0, mark 0", "eknnkkkkkkkkkkkk", { 0, 1 },
	  { 2 * SMALL, 2, 0, true, -1, false }, ahead_retired(DEVICE, 0) + bad_block_lines(SMALL, 0, 2) },
	{ "the second block fails: the PTB moves on, then both blocks ahead are marked",
	  sim_weak_blocks(sim_flash(64 * KiB, SMALL), { 1 }),
	  { { "sninfo", "PT2" } }, 0x1100, false,
	  0, "erase 0, program 0, erase 1 failed, erase 2, program 2, erase 3, program 3, erase 1 failed, mark 1, "
	  "erase 0, mark 0", "eknnkkkkkkkkkkkk", { 0, 1 },
	  { 2 * SMALL, 2, 0, true, SMALL, false },
	  write_failed(DEVICE, ERASING, SMALL, EIO_TEXT) + block_failed(DEVICE, SMALL, false) + ahead_retired(DEVICE, 0) +
	  bad_block_lines(SMALL, 0, 2) },
	{ "erase fails on block 0: the PTB moves to block 1", sim_weak_blocks(sim_flash(MiB, BIG), { 0 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0 failed, erase 1, program 1, erase 0 failed, mark 0", "knkkkkkk", { 0 },
	  { BIG, 1, 0, true, 0, false },
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false) + bad_block_lines(BIG, 0, 1) },
	{ "a page of block 0 fails to program: moved, then block 0 erased and marked", sim_weak_pages(sim_flash(MiB, BIG), { 3 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0, program 0 failed, erase 1, program 1, erase 0, mark 0", "enkkkkkk", { 0 },
	  { BIG, 1, 0, true, 0, false },
	  write_failed(DEVICE, PROGRAMMING, 0x1800, EIO_TEXT) + block_failed(DEVICE, 0, true) + bad_block_lines(BIG, 0, 1) },
	{ "4 KiB pages: a page a call, the one that fails named", sim_weak_pages(sim_flash(MiB, BIG, 4 * KiB), { 3 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0, program 0 failed, erase 1, program 1, erase 0, mark 0", "enkkkkkk", { 0 },
	  { BIG, 1, 0, true, 0, false },
	  write_failed(DEVICE, PROGRAMMING, 0x3000, EIO_TEXT) + block_failed(DEVICE, 0, true) + bad_block_lines(BIG, 0, 1) },
	{ "a worn spot the ECC can't correct reading back: moved",
	  sim_uncorrectable(sim_flash(MiB, BIG), { { 0x100, 0x110 } }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0, program 0, erase 1, program 1, erase 0, mark 0", "enkkkkkk", { 0 },
	  { BIG, 1, 0, true, 0, false },
	  write_failed(DEVICE, READING_BACK, 0, EBADMSG_TEXT) + block_failed(DEVICE, 0, true) + bad_block_lines(BIG, 0, 1) },
	{ "bitflips the ECC corrects reading back: counted, the PTB stays",
	  sim_corrected(sim_flash(MiB, BIG), { { 0x100, 0x300 } }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0, program 0", "nkkkkkkk", {}, { 0, 1, 2, true, -1, false }, "" },
	{ "the mark does not stick: the report says so", sim_weak_pages(sim_fault(sim_flash(MiB, BIG), MTDSIM_MARKBAD_FAILS), { 3 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0, program 0 failed, erase 1, program 1, erase 0, mark 0 failed", "enkkkkkk", {},
	  { BIG, 1, 0, true, 0, true },
	  write_failed(DEVICE, PROGRAMMING, 0x1800, EIO_TEXT) + block_failed(DEVICE, 0, true, EIO_TEXT) +
	  bad_block_lines(BIG, 0, 1) },
	{ "two failures in a row: the PTB in the third block, then both marked",
	  sim_weak_blocks(sim_flash(MiB, BIG), { 0, 1 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0 failed, erase 1 failed, erase 2, program 2, erase 1 failed, mark 1, erase 0 failed, mark 0",
	  "kknkkkkk", { 0, 1 }, { 2 * BIG, 1, 0, true, 0, false },
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + write_failed(DEVICE, ERASING, BIG, EIO_TEXT) +
	  block_failed(DEVICE, BIG, false) + block_failed(DEVICE, 0, false) + bad_block_lines(BIG, 0, 2) },
	{ "a write-protected chip (erase-fails): four tries, nothing marked, the old PTB kept",
	  sim_fault(sim_flash(MiB, BIG), MTDSIM_ERASE_FAILS),
	  { { "sninfo", "PT2" } }, 0, false,
	  -1, "erase 0 failed, erase 1 failed, erase 2 failed, erase 3 failed", "kkkkkkkk", {},
	  { 3 * BIG, 0, 0, true, 0, false },
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + write_failed(DEVICE, ERASING, BIG, EIO_TEXT) +
	  write_failed(DEVICE, ERASING, 2 * BIG, EIO_TEXT) + write_failed(DEVICE, ERASING, 3 * BIG, EIO_TEXT) +
	  blocks_failed(DEVICE) },
	{ "no good block left after the one that failed: it is not marked", sim_weak_blocks(sim_bad(sim_flash(MiB, BIG), sim_blocks(1, 7)), { 0 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  -1, "erase 0 failed", "kkkkkkkk", sim_blocks(1, 7), { 0, 0, 0, true, 0, false },
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + no_good_block_left(DEVICE) },
	{ "4 KiB blocks, no two good in a row before ptbenv's read would run past the partition's end: not written",
	  sim_weak_blocks(sim_bad(sim_flash(64 * KiB, SMALL), sim_blocks(1, 6)), { 0 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  -1, "", "kkkkkkkkkkkkkkkk", sim_blocks(1, 6), { 7 * SMALL, 0, 0, false, -1, false }, runs_past_end(DEVICE, 7 * SMALL) },
	{ "moved into the blocks its copy may take: not written there",
	  sim_weak_blocks(sim_bad(sim_flash(MiB, BIG), sim_blocks(1, 4)), { 0 }),
	  { { "sninfo", "PT2" } }, 0, false,
	  -1, "erase 0 failed", "kkkkkkkk", sim_blocks(1, 4), { 5 * BIG, 0, 0, true, 0, false },
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + runs_past_end(DEVICE, 5 * BIG, true), true, 5 * BIG },
	{ "4 KiB blocks, two good in a row where ptbenv's read ends at the partition's end: written there",
	  sim_bad(sim_flash(64 * KiB, SMALL), sim_blocks(1, 5)),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 6, program 6, erase 7, program 7, erase 0, mark 0", "ekkkkknnkkkkkkkk",
	  sim_blocks(0, 6), { 6 * SMALL, 2, 0, true, -1, false },
	  ahead_retired(DEVICE, 0) + bad_block_lines(SMALL, 0, 6) },
	{ "the bad mark can't be read: nothing written", sim_fault(sim_flash(64 * KiB, SMALL), MTDSIM_BADBLOCK_FAILS),
	  { { "sninfo", "PT2" } }, 0x1100, false,
	  -1, "", "kkkkkkkkkkkkkkkk", {}, { 0, 0, 0, false, -1, false },
	  write_failed(DEVICE, ASKING_MARK, 0, EIO_TEXT) },
	{ "every page programmed with other bytes (program-wrong): four tries, then stop",
	  sim_fault(sim_flash(MiB, BIG), MTDSIM_PROGRAM_WRONG), { { "sninfo", "PT2" } }, 0, false,
	  -1, "erase 0, program 0, erase 1, program 1, erase 2, program 2, erase 3, program 3", "xxxxkkkk", {},
	  { 3 * BIG, 0, 0, true, 0, false },
	  not_the_bytes(DEVICE, 0) + not_the_bytes(DEVICE, BIG) + not_the_bytes(DEVICE, 2 * BIG) +
	  not_the_bytes(DEVICE, 3 * BIG) + blocks_failed(DEVICE) },
	{ "every pwrite short of its last page (pwrite-short): four tries, then stop",
	  sim_fault(sim_flash(MiB, BIG), MTDSIM_PWRITE_SHORT), { { "sninfo", "PT2" } }, 0, false,
	  -1, "erase 0, program 0, erase 1, program 1, erase 2, program 2, erase 3, program 3", "eeeekkkk", {},
	  { 3 * BIG, 0, 0, true, 0, false },
	  write_failed(DEVICE, PROGRAMMING, 0, EIO_TEXT) + write_failed(DEVICE, PROGRAMMING, BIG, EIO_TEXT) +
	  write_failed(DEVICE, PROGRAMMING, 2 * BIG, EIO_TEXT) + write_failed(DEVICE, PROGRAMMING, 3 * BIG, EIO_TEXT) +
	  blocks_failed(DEVICE) },
	{ "the counters failing after the read-back's first (eccstats-second-fails): read back uncounted",
	  sim_corrected(sim_fault(sim_flash(MiB, BIG), MTDSIM_ECCSTATS_SECOND_FAILS), { { 0x100, 0x101 } }),
	  { { "sninfo", "PT2" } }, 0, false,
	  0, "erase 0, program 0", "nkkkkkkk", {}, { 0, 1, 0, true, -1, false }, "" },
	{ "the bad mark of the block ahead can't be read once moved (badblock-fails-after-write): stopped there",
	  sim_bad(sim_fault(sim_flash(64 * KiB, SMALL), MTDSIM_BADBLOCK_FAILS_AFTER_WRITE), { 1 }),
	  { { "sninfo", "PT2" } }, 0x1100, false,
	  -1, "erase 2, program 2, erase 3, program 3", "kknnkkkkkkkkkkkk", { 1 },
	  { 2 * SMALL, 2, 0, true, -1, false }, write_failed(DEVICE, ASKING_MARK, SMALL, EIO_TEXT) },
	{ "the bad marks can't be read once written (badblock-fails-after-write): the PTB does not read back",
	  sim_fault(sim_flash(MiB, BIG), MTDSIM_BADBLOCK_FAILS_AFTER_WRITE), { { "sninfo", "PT2" } }, 0, false,
	  -1, "erase 0, program 0", "nkkkkkkk", {}, { 0, 1, 0, true, -1, false },
	  BADBLOCK_EIO + ptbtool_error(DEVICE + ": the PTB does not read back") },
};

/* Long enough for a write under the sanitizers; a write that loops for
 * ever then ends the test program instead of hanging it. */
const unsigned WRITE_TIME_LIMIT = 60;

void check_write(const write_case &c)
{
	sim_partition partition = c.partition;
	partition.image = ptb_pattern(partition.size);
	sim_attach(partition);
	uint64_t offset = (uint64_t)sim_first_good(partition.bad_blocks) * partition.erasesize;
	size_t region = sim_values_region(partition.erasesize);
	ptb_bytes old(partition.image.begin() + offset, partition.image.begin() + offset + region), image = old;
	for (const auto &key_value : c.values)
		ASSERT_TRUE(ptb_put_value(image, key_value.first, key_value.second));
	if (c.poke != 0)
		image[c.poke] ^= 0x5A;
	struct mtd_info_user info;
	struct ptb_write_report report;
	int fd = open(DEVICE.c_str(), O_RDWR);
	ASSERT_EQ(ioctl(fd, MEMGETINFO, &info), 0);

	start_capture();
	alarm(WRITE_TIME_LIMIT);
	struct ptb_write_request request = { fd, &info, offset, c.old_known ? old.data() : NULL, image.data(), c.refresh,
					     c.limit != 0 ? c.limit : partition.size };
	int status = ptb_write(&request, &report);
	alarm(0);
	device_say_write(DEVICE.c_str(), &info, &report);
	captured streams = finish_capture();
	close(fd);

	EXPECT_EQ(status, c.status);
	EXPECT_EQ(streams.err, c.err);
	EXPECT_EQ(streams.out, "");
	EXPECT_EQ(writes_in(mtdsim_log(), partition.erasesize), c.writes);
	EXPECT_EQ(report.offset, c.report.offset);
	EXPECT_EQ(report.blocks_written, c.report.blocks_written);
	EXPECT_EQ(report.corrected, c.report.corrected);
	EXPECT_EQ(report.touched, c.report.touched);
	EXPECT_EQ(report.marked, c.report.marked);
	EXPECT_EQ(report.mark_failed, c.report.mark_failed);
	size_t length;
	const unsigned char *now = mtdsim_contents(&length);
	EXPECT_EQ(sim_blocks_after(partition, ptb_bytes(now, now + length), image, c.report.offset), c.blocks);
	EXPECT_EQ(sim_marked_blocks(partition.size / partition.erasesize), c.marked);
}

TEST(Write, WritesTheChangedBlocksAndGoesOnPastOneThatFails)
{
	for (const write_case &c : write_cases) {
		SCOPED_TRACE(c.name);
		check_write(c);
	}
}

}
