/* The block reader over the simulated device: geometry, bad blocks and failures. */
#include "ptb/ptb_env.h"
#include "sim_device.h"

#include <algorithm>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

namespace {

/* Where image departs from the partition's bytes at offset (erased past contents). */
size_t first_difference(const unsigned char *image, const ptb_bytes &contents, uint64_t offset, size_t length)
{
	for (size_t i = 0; i < length; i++) {
		uint64_t at = offset + i;
		if (image[i] != (at < contents.size() ? contents[at] : 0xFF))
			return i;
	}
	return length;
}

struct read_case {
	const char *name;
	sim_partition partition;
	std::string err;
	int status;
	unsigned badblock_queries;
	int64_t pread_offset;	/* -1: no pread; else the last one's offset and length */
	size_t pread_length;
	unsigned preads = 1;	/* 2: the values' bytes read again */
	size_t garbled_from = SIZE_MAX;	/* where the image departs from the partition */
};

const sim_partition NAND = sim_default(ptb_bytes());
const mtdsim_range SNINFO_BYTE = sim_field_bytes("sninfo");

const read_case read_cases[] = {
	{ "first block good", sim_default(ptb_bytes()),
	  "", 0, 1, 0, SIM_ERASESIZE },
	{ "blocks 0 and 1 bad", sim_bad(sim_flash(256 * KiB, 16 * KiB), { 0, 1 }),
	  bad_block_lines(16 * KiB, 0, 2), 0, 3, 32 * KiB, 40960 },
	{ "4 KiB blocks read 40960 bytes over the nine bad ones after", sim_bad(sim_flash(256 * KiB, 4 * KiB), sim_blocks(1, 9)),
	  "", 0, 1, 0, 40960 },
	{ "128 KiB blocks read one whole block", sim_bad(sim_flash(1 * MiB, 128 * KiB), { 0 }),
	  bad_block_lines(128 * KiB, 0, 1), 0, 2, 128 * KiB, 128 * KiB },
	{ "erase size 0 with a good first block", sim_flash(1 * MiB, 0),
	  "", 0, 1, 0, 40960 },
	{ "partition size 0", sim_flash(0, 16 * KiB),
	  NO_GOOD_BLOCK, -1, 0, -1, 0 },
	{ "every block bad", sim_bad(sim_flash(64 * KiB, 16 * KiB), sim_blocks(0, 4)),
	  bad_block_lines(16 * KiB, 0, 4) + NO_GOOD_BLOCK, -1, 4, -1, 0 },
	{ "erase size 0 with a bad first block ends", sim_bad(sim_flash(1 * MiB, 0), { 0 }),
	  bad_block_lines(0, 0, 1) + NO_GOOD_BLOCK, -1, 1, -1, 0 },
	{ "good block too near the end", sim_bad(sim_flash(48 * KiB, 16 * KiB), { 0, 1 }),
	  bad_block_lines(16 * KiB, 0, 2) + PREAD_EIO, -1, 3, 32 * KiB, 40960 },
	{ "scan goes past 2 GiB", sim_bad(sim_flash(0xFFFFFFFF, 64 * MiB), sim_blocks(0, 33)),
	  bad_block_lines(64 * MiB, 0, 33), 0, 34, 33LL * 64 * MiB, 64 * MiB },
	{ "every block of a 4 GiB partition bad", sim_bad(sim_flash(0xFFFFFFFF, 1 * GiB), sim_blocks(0, 4)),
	  bad_block_lines(1 * GiB, 0, 4) + NO_GOOD_BLOCK, -1, 4, -1, 0 },
	{ "not an MTD device", sim_default(ptb_bytes(), MTDSIM_NOT_MTD),
	  NOT_MTD, -1, 0, -1, 0 },
	{ "MEMGETBADBLOCK fails", sim_default(ptb_bytes(), MTDSIM_BADBLOCK_FAILS),
	  BADBLOCK_EIO, -1, 1, -1, 0 },
	{ "MEMGETBADBLOCK interrupted is not retried", sim_default(ptb_bytes(), MTDSIM_BADBLOCK_EINTR),
	  BADBLOCK_EINTR, -1, 1, -1, 0 },
	{ "pread fails", sim_default(ptb_bytes(), MTDSIM_PREAD_FAILS),
	  PREAD_EIO, -1, 1, 0, SIM_ERASESIZE },
	{ "pread interrupted is not retried", sim_default(ptb_bytes(), MTDSIM_PREAD_EINTR),
	  PREAD_EINTR, -1, 1, 0, SIM_ERASESIZE },
	{ "short pread reports an I/O error", sim_fault(sim_flash(1 * MiB, 16 * KiB), MTDSIM_PREAD_SHORT),
	  PREAD_EIO, -1, 1, 0, 40960 },
	{ "uncorrectable in the values' bytes twice fails", aged(NAND, { SNINFO_BYTE }),
	  PREAD_EBADMSG, -1, 1, 0, PTB_VALUES_END, 2 },
	{ "uncorrectable past the values' pages: they read again, clean", aged(NAND, { { 6144, 6145 } }),
	  "", 0, 1, 0, PTB_VALUES_END, 2 },
	{ "uncorrectable once: the values' bytes read again, clean", sim_fault(aged(NAND, { SNINFO_BYTE }), MTDSIM_ECC_TRANSIENT),
	  "", 0, 1, 0, PTB_VALUES_END, 2 },
	{ "corrected bitflips change nothing", aged(NAND, {}, { { 0, SIM_ERASESIZE } }),
	  "", 0, 1, 0, SIM_ERASESIZE },
	{ "a driver without counters is read as before", sim_fault(aged(NAND, { SNINFO_BYTE }), MTDSIM_NO_ECC_STATS),
	  "", 0, 1, 0, SIM_ERASESIZE, 1, SNINFO_BYTE.start },
	{ "a bad block ahead of an uncorrectable one", aged(sim_bad(sim_flash(256 * KiB, 16 * KiB), { 0 }),
	  { sim_field_bytes("chipinfo", 1, 16 * KiB) }),
	  bad_block_lines(16 * KiB, 0, 1) + PREAD_EBADMSG, -1, 2, 16 * KiB, PTB_VALUES_END, 2 },
};

void check_read(const read_case &c)
{
	sim_partition partition = c.partition;
	partition.image = ptb_pattern(1 * MiB);
	const ptb_bytes &contents = partition.image;
	unsigned char *image = NULL;

	sim_attach(partition);
	errno = 0;	/* a stale error number must not stand in for a failure's */
	start_capture();
	int status = ptb_read(&image);
	captured streams = finish_capture();

	EXPECT_EQ(status, c.status);
	EXPECT_EQ(streams.err, c.err);
	EXPECT_EQ(streams.out, "");
	const mtdsim_counts *calls = mtdsim_calls();
	EXPECT_EQ(calls->opens, 1u);
	EXPECT_EQ(calls->closes, 1u);
	EXPECT_EQ(calls->memgetinfo, 1u);
	EXPECT_EQ(calls->badblock_queries, c.badblock_queries);
	EXPECT_EQ(calls->misuses, 0u);
	EXPECT_EQ(calls->preads, c.pread_offset < 0 ? 0u : c.preads);
	if (c.pread_offset >= 0) {
		EXPECT_EQ(calls->last_pread_offset, c.pread_offset);
		EXPECT_EQ(calls->last_pread_length, c.pread_length);
	}
	if (status == 0) {
		EXPECT_EQ(first_difference(image, contents, c.pread_offset, c.pread_length),
			  std::min(c.garbled_from, c.pread_length));
		free(image);
	}
}

TEST(Read, ReadsTheFirstGoodBlockOrReportsWhyNot)
{
	for (const read_case &c : read_cases) {
		SCOPED_TRACE(c.name);
		check_read(c);
	}
}

TEST(ReadDeath, DeviceMissingEndsTheProcessWithStatus1)
{
	sim_attach(sim_default(ptb_bytes(), MTDSIM_MISSING));
	unsigned char *image;
	EXPECT_EXIT(ptb_read(&image), testing::ExitedWithCode(1), std::string("^") + OPEN_MISSING + "$");
}

TEST(ReadDeath, DeviceDeniedEndsTheProcessWithStatus1)
{
	sim_attach(sim_default(ptb_bytes(), MTDSIM_DENIED));
	unsigned char *image;
	EXPECT_EXIT(ptb_read(&image), testing::ExitedWithCode(1), std::string("^") + OPEN_DENIED + "$");
}

#ifdef PTBENV_UNDER_ASAN
/* ASan reserves terabytes of shadow memory, so no address-space limit can be
 * set under it: its own allocation limit makes the allocation fail instead,
 * and it notes the refusal in a line of its own ahead of the tool's. */
extern "C" const char *__asan_default_options(void)
{
	return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}
const char REFUSAL_NOTE[] = "(==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes\n)?";
#else
const char REFUSAL_NOTE[] = "";
#endif

/* The address-space limit makes the allocation fail the way it does on a small device. */
void read_with_little_memory(void)
{
	unsigned char *image;

#ifndef PTBENV_UNDER_ASAN
	struct rlimit limit = { 1024 * MiB, 1024 * MiB };
	setrlimit(RLIMIT_AS, &limit);
#endif
	int status = ptb_read(&image);
	bool closed = mtdsim_calls()->open_descriptors == 0 && mtdsim_calls()->preads == 0;
	exit(status == -1 && closed ? 7 : 8);
}

TEST(ReadDeath, FailedAllocationKeepsItsOwnErrorAndClosesTheDevice)
{
	sim_attach(sim_flash(0xFFFFFFFF, 0xFFFFFFF0));
	EXPECT_EXIT(read_with_little_memory(), testing::ExitedWithCode(7),
		    std::string("^") + REFUSAL_NOTE + PREAD_ENOMEM + "$");
}

TEST(Read, NeverMovesTheFilePositionOrReadsSequentially)
{
	sim_attach(sim_image(sim_bad(sim_flash(256 * KiB, 16 * KiB), { 0 }), ptb_pattern(256 * KiB)));
	unsigned char *image = NULL;
	start_capture();
	ASSERT_EQ(ptb_read(&image), 0);
	finish_capture();
	free(image);
	EXPECT_STREQ(mtdsim_log(),
		     "open read-only\n"
		     "MEMGETINFO\n"
		     "MEMGETBADBLOCK 0x0 -> 1\n"
		     "MEMGETBADBLOCK 0x4000 -> 0\n"
		     "ECCGETSTATS -> corrected 17 failed 5\n"
		     "pread 40960 at 0x4000 -> 40960\n"
		     "ECCGETSTATS -> corrected 17 failed 5\n"
		     "close\n");
}

}
