/* Writes the PTB block by block: erase, program whole pages, read back; a
 * block that fails sends the PTB on to the next good blocks, and is retired
 * only once the PTB reads back there. */
#include "ptb/ptb_write.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_block.h"
#include "ptb/ptb_env.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

size_t ptb_write_length(const struct mtd_info_user *info)
{
	return (env_values_end() + info->erasesize - 1) / info->erasesize * info->erasesize;
}

/* Bytes programmed a call: whole pages, and no fewer than 2 KiB, so that a
 * device of 1-byte pages (RAM, NOR) is not written a byte at a time. */
static size_t write_chunk(const struct mtd_info_user *info)
{
	size_t page = info->writesize > 0 ? info->writesize : 1;
	size_t chunk = page >= 2048 ? page : 2048 / page * page;

	return chunk < info->erasesize ? chunk : info->erasesize;
}

int ptb_step_failed(const char *who, const char *step, unsigned long long at)
{
	fprintf(stderr, "%s: %s 0x%llx: %s\n", who, step, at, strerror(errno));
	return -1;
}

/* The block read back between two ECCGETSTATS: the bytes written, and
 * nothing the ECC could not correct; what it corrected is counted. */
static int write_read_back(int fd, const struct mtd_info_user *info, unsigned long long at, const unsigned char *bytes,
			   unsigned char *back, const char *who, struct ptb_write_report *report)
{
	struct ptb_ecc ecc = {};

	if (!ptb_read_counted(fd, back, info->erasesize, (off_t)at, &ecc))
		return ptb_step_failed(who, "reading back the block at", at);
	if (ecc.failed > 0) {
		errno = EBADMSG;
		return ptb_step_failed(who, "reading back the block at", at);
	}
	report->corrected += ecc.corrected;
	if (memcmp(back, bytes, info->erasesize) != 0) {
		fprintf(stderr, "%s: reading back the block at 0x%llx: not the bytes written\n", who, at);
		return -1;
	}
	return 0;
}

bool ptb_block_erase(int fd, const struct mtd_info_user *info, unsigned long long at)
{
	struct erase_info_user erase = { (__u32)at, info->erasesize };

	return ioctl(fd, MEMERASE, &erase) == 0;
}

int ptb_program(int fd, const struct mtd_info_user *info, unsigned long long at, const unsigned char *bytes,
		size_t length, const char *who)
{
	size_t chunk = write_chunk(info);

	for (size_t done = 0; done < length; done += chunk) {
		size_t part = length - done < chunk ? length - done : chunk;
		ssize_t put = pwrite(fd, bytes + done, part, (off_t)(at + done));

		if (put != (ssize_t)part) {
			if (put >= 0)
				errno = EIO;
			return ptb_step_failed(who, "programming the page at", at + done);
		}
	}
	return 0;
}

static int write_block(int fd, const struct mtd_info_user *info, unsigned long long at, const unsigned char *bytes,
		       unsigned char *back, const char *who, struct ptb_write_report *report)
{
	report->touched = true;
	if (!ptb_block_erase(fd, info, at))
		return ptb_step_failed(who, "erasing the block at", at);
	if (ptb_program(fd, info, at, bytes, info->erasesize, who) != 0)
		return -1;
	return write_read_back(fd, info, at, bytes, back, who, report);
}

/* A block ahead of the PTB's new place is erased as far as it goes, so that
 * it reads as erased flash rather than as a part-written PTB, and marked
 * bad, so that ptbenv reads past it. */
static void write_retire(int fd, const struct mtd_info_user *info, unsigned long long at, bool failed,
			 const char *who, struct ptb_write_report *report)
{
	loff_t mark = (loff_t)at;
	bool erased = ptb_block_erase(fd, info, at);
	const char *what = failed ? "failed" : "lies ahead of the PTB's new place";

	if (ioctl(fd, MEMSETBADBLOCK, &mark) == 0) {
		fprintf(stderr, "%s: the block at 0x%llx %s: %s marked bad\n", who, at, what,
			erased ? "it is erased and" : "erasing it failed too; it is");
		return;
	}
	report->mark_failed = true;
	fprintf(stderr, "%s: the block at 0x%llx %s: %s marking it bad failed: %s; "
		"after a reboot it may read as good again\n", who, at, what,
		erased ? "it is erased, but" : "erasing it failed too, and", strerror(errno));
}

int ptb_block_is_bad(int fd, loff_t offset, const char *who)
{
	int bad = ioctl(fd, MEMGETBADBLOCK, &offset);

	if (bad < 0)
		return ptb_step_failed(who, "asking for the bad mark of the block at", (unsigned long long)offset);
	return bad > 0;
}

/* The first offset from on whose blocks, as many as the PTB's, are good
 * (the last may lie past the partition's end), or -1 after saying why there
 * is none. */
static long long write_place(int fd, const struct mtd_info_user *info, unsigned long long from, size_t blocks,
			     const char *who)
{
	while (from < info->size) {
		size_t b = 0;
		int bad = 0;

		for (; b < blocks && from + b * info->erasesize < info->size; b++) {
			bad = ptb_block_is_bad(fd, (loff_t)(from + b * info->erasesize), who);
			if (bad != 0)
				break;
		}
		if (bad < 0)
			return -1;
		if (bad == 0)
			return (long long)from;
		from += (b + 1) * info->erasesize;
	}
	fprintf(stderr, "%s: no good block is left for the PTB\n", who);
	return -1;
}

/* The blocks in which a byte changes, at offset; 0, or -1 with *failed the
 * block that failed. */
static int write_blocks(int fd, const struct mtd_info_user *info, const unsigned char *old, unsigned long long offset,
			const unsigned char *image, bool refresh, unsigned char *back, const char *who,
			struct ptb_write_report *report, unsigned long long *failed)
{
	size_t blocks = ptb_write_length(info) / info->erasesize;

	report->blocks_written = 0;
	for (size_t b = 0; b < blocks; b++) {
		unsigned long long at = offset + b * info->erasesize;
		const unsigned char *bytes = image + b * info->erasesize;

		if (!refresh && old != NULL && memcmp(old + b * info->erasesize, bytes, info->erasesize) == 0)
			continue;
		if (write_block(fd, info, at, bytes, back, who, report) != 0) {
			*failed = at;
			return -1;
		}
		report->blocks_written++;
	}
	return 0;
}

/* Places the PTB is tried in before a run gives up: nothing is marked bad
 * until it is written, so a chip that fails every write costs no block. */
enum { WRITE_TRIES = 4 };

static bool write_listed(unsigned long long at, const unsigned long long *list, unsigned count)
{
	for (unsigned i = 0; i < count; i++)
		if (list[i] == at)
			return true;
	return false;
}

/* Writes the PTB at the first place from *offset on where it may lie, and
 * on past a block that fails; then retires the good blocks from first up to
 * it, nearest first, so that ptbenv reads it. Returns 0, or -1 after saying why. */
static int write_region(int fd, const struct mtd_info_user *info, const unsigned char *old, unsigned long long *offset,
			const unsigned char *image, bool refresh, unsigned long long limit, unsigned char *back,
			const char *who, struct ptb_write_report *report)
{
	size_t blocks = ptb_write_length(info) / info->erasesize;
	/* ptbenv reads this much from the PTB's start, bad blocks and all. */
	size_t reach = ptb_read_length(info->erasesize);
	unsigned long long first = *offset, failed[WRITE_TRIES];
	unsigned failures = 0;

	for (long long place = (long long)first;; old = NULL) {
		place = write_place(fd, info, (unsigned long long)place, blocks, who);
		if (place < 0)
			return -1;
		*offset = (unsigned long long)place;
		if (*offset != first)
			old = NULL;
		if (*offset + reach > limit) {
			fprintf(stderr, "%s: the PTB at 0x%llx runs past %s\n", who, *offset,
				limit < info->size ? "the blocks its copy may take" : "the partition's end");
			return -1;
		}
		if (write_blocks(fd, info, old, *offset, image, refresh, back, who, report, &failed[failures]) == 0)
			break;
		if (report->marked < 0)
			report->marked = (long long)failed[failures];
		place = (long long)(failed[failures] + info->erasesize);
		if (++failures == WRITE_TRIES) {
			fprintf(stderr, "%s: %u blocks failed: stopped\n", who, failures);
			return -1;
		}
	}
	for (unsigned long long at = *offset; at > first;) {
		at -= info->erasesize;
		int bad = ptb_block_is_bad(fd, (loff_t)at, who);
		if (bad < 0)
			return -1;
		if (bad == 0)
			write_retire(fd, info, at, write_listed(at, failed, failures), who, report);
	}
	return 0;
}

/* Reads the PTB as ptbenv does: it must lie at offset, its region byte for
 * byte the image's, and render every key as the image does. */
static int write_verify(int fd, const struct mtd_info_user *info, unsigned long long offset, const unsigned char *image,
			const char *who)
{
	static char wanted[ENV_VALUE_MAX + 1];
	struct ptb_block block;
	int status;

	if (ptb_read_block(fd, info, &block) != 0) {
		fprintf(stderr, "%s: the PTB does not read back\n", who);
		return -1;
	}
	status = block.offset == offset && memcmp(block.image, image, ptb_write_length(info)) == 0 ? 0 : -1;
	for (size_t i = 0; i < env_field_count && status == 0; i++) {
		const char *value = env_render(&env_fields[i], image);
		bool shown = value != NULL;

		if (shown)
			snprintf(wanted, sizeof(wanted), "%s", value);
		value = env_render(&env_fields[i], block.image);
		if (shown != (value != NULL) || (shown && strcmp(wanted, value) != 0))
			status = -1;
	}
	if (status != 0)
		fprintf(stderr, "%s: the PTB does not read back as written\n", who);
	free(block.image);
	return status;
}

int ptb_write(int fd, const struct mtd_info_user *info, unsigned long long offset, const unsigned char *old,
	      const unsigned char *image, bool refresh, unsigned long long limit, const char *who,
	      struct ptb_write_report *report)
{
	unsigned char *back = (unsigned char *)malloc(info->erasesize);
	int status = -1;

	memset(report, 0, sizeof(*report));
	report->marked = -1;
	report->offset = offset;
	if (back == NULL)
		fprintf(stderr, "%s: %s\n", who, strerror(ENOMEM));
	else if (write_region(fd, info, old, &report->offset, image, refresh, limit, back, who, report) == 0)
		status = write_verify(fd, info, report->offset, image, who);
	free(back);
	return status;
}
