/* Writes the PTB block by block: erase, program whole pages, read back; a
 * block that fails is retired and the PTB goes on in the next good one. */
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

static int write_failed(const char *who, const char *step, unsigned long long at)
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
		return write_failed(who, "reading back the block at", at);
	if (ecc.failed > 0) {
		errno = EBADMSG;
		return write_failed(who, "reading back the block at", at);
	}
	report->corrected += ecc.corrected;
	if (memcmp(back, bytes, info->erasesize) != 0) {
		fprintf(stderr, "%s: reading back the block at 0x%llx: not the bytes written\n", who, at);
		return -1;
	}
	return 0;
}

static bool write_erase(int fd, const struct mtd_info_user *info, unsigned long long at)
{
	struct erase_info_user erase = { (__u32)at, info->erasesize };

	return ioctl(fd, MEMERASE, &erase) == 0;
}

static int write_block(int fd, const struct mtd_info_user *info, unsigned long long at, const unsigned char *bytes,
		       unsigned char *back, const char *who, struct ptb_write_report *report)
{
	size_t chunk = write_chunk(info);

	report->touched = true;
	if (!write_erase(fd, info, at))
		return write_failed(who, "erasing the block at", at);
	for (size_t done = 0; done < info->erasesize; done += chunk) {
		size_t length = info->erasesize - done < chunk ? info->erasesize - done : chunk;
		ssize_t put = pwrite(fd, bytes + done, length, (off_t)(at + done));

		if (put != (ssize_t)length) {
			if (put >= 0)
				errno = EIO;
			return write_failed(who, "programming the page at", at + done);
		}
	}
	return write_read_back(fd, info, at, bytes, back, who, report);
}

/* A block that failed is erased as far as it goes, so that it reads as
 * erased flash rather than as a part-written PTB, and marked bad, so that
 * no reader takes it for the PTB again. */
static void write_retire(int fd, const struct mtd_info_user *info, unsigned long long at, const char *who,
			 struct ptb_write_report *report)
{
	loff_t mark = (loff_t)at;
	bool erased = write_erase(fd, info, at);

	report->marked = (long long)at;
	if (ioctl(fd, MEMSETBADBLOCK, &mark) == 0) {
		fprintf(stderr, "%s: the block at 0x%llx failed: %s marked bad\n", who, at,
			erased ? "it is erased and" : "erasing it failed too; it is");
		return;
	}
	report->mark_failed = true;
	fprintf(stderr, "%s: the block at 0x%llx failed: %s marking it bad failed: %s; "
		"after a reboot it may read as good again\n", who, at,
		erased ? "it is erased, but" : "erasing it failed too, and", strerror(errno));
}

/* 1 when the block at offset is bad, 0 when good, -1 after saying why not known. */
static int write_is_bad(int fd, loff_t offset, const char *who)
{
	int bad = ioctl(fd, MEMGETBADBLOCK, &offset);

	if (bad < 0)
		return write_failed(who, "asking for the bad mark of the block at", (unsigned long long)offset);
	return bad > 0;
}

/* The first good block from offset on, or -1 after saying why there is none. */
static long long write_next_good(int fd, const struct mtd_info_user *info, unsigned long long offset, const char *who)
{
	for (int bad = 1; offset < info->size; offset += info->erasesize) {
		bad = write_is_bad(fd, (loff_t)offset, who);
		if (bad < 0)
			return -1;
		if (bad == 0)
			return (long long)offset;
	}
	fprintf(stderr, "%s: no good block is left for the PTB\n", who);
	return -1;
}

/* The blocks in which a byte changes, in order from the PTB's start at
 * *offset, leaving those the driver marks bad; when the first fails, the
 * PTB starts again at the next good block. Returns 0, or -1 after saying why. */
static int write_region(int fd, const struct mtd_info_user *info, const unsigned char *old, unsigned long long *offset,
			const unsigned char *image, bool refresh, unsigned char *back, const char *who,
			struct ptb_write_report *report)
{
	size_t blocks = ptb_write_length(info) / info->erasesize;
	/* ptbenv reads this much from the PTB's start, bad blocks and all. */
	size_t reach = ptb_read_length(info->erasesize);

	for (size_t b = 0; b < blocks;) {
		unsigned long long at = *offset + b * info->erasesize;
		const unsigned char *bytes = image + b * info->erasesize;
		int bad;

		if (b == 0 && *offset + reach > info->size) {
			fprintf(stderr, "%s: the PTB at 0x%llx runs past the partition's end\n", who, *offset);
			return -1;
		}
		bad = b == 0 ? 0 : write_is_bad(fd, (loff_t)at, who);
		if (bad < 0)
			return -1;
		if (bad > 0 || (!refresh && old != NULL && memcmp(old + b * info->erasesize, bytes, info->erasesize) == 0)) {
			b++;
			continue;
		}
		if (write_block(fd, info, at, bytes, back, who, report) == 0) {
			report->blocks_written++;
			b++;
			continue;
		}
		/* A chip that fails every write must not cost the partition every block. */
		if (report->marked >= 0) {
			fprintf(stderr, "%s: a second block failed: stopped\n", who);
			return -1;
		}
		write_retire(fd, info, at, who, report);
		if (b > 0) {
			b++;
			continue;
		}
		long long next = write_next_good(fd, info, at + info->erasesize, who);
		if (next < 0)
			return -1;
		*offset = (unsigned long long)next;
		old = NULL;
	}
	return 0;
}

/* Reads the PTB as ptbenv does: it must lie at offset and render every key
 * as the image does. */
static int write_verify(int fd, const struct mtd_info_user *info, unsigned long long offset, const unsigned char *image,
			const char *who)
{
	static char wanted[ENV_VALUE_MAX + 1];
	struct ptb_block block;
	int status = 0;

	if (ptb_read_block(fd, info, &block) != 0) {
		fprintf(stderr, "%s: the PTB does not read back\n", who);
		return -1;
	}
	for (size_t i = 0; i < env_field_count && status == 0; i++) {
		const char *value = env_render(&env_fields[i], image);
		bool shown = value != NULL;

		if (shown)
			snprintf(wanted, sizeof(wanted), "%s", value);
		value = env_render(&env_fields[i], block.image);
		if (shown != (value != NULL) || (shown && strcmp(wanted, value) != 0))
			status = -1;
	}
	if (block.offset != offset || status != 0) {
		fprintf(stderr, "%s: the PTB does not read back as written\n", who);
		status = -1;
	}
	free(block.image);
	return status;
}

int ptb_write(int fd, const struct mtd_info_user *info, unsigned long long offset, const unsigned char *old,
	      const unsigned char *image, bool refresh, const char *who, struct ptb_write_report *report)
{
	unsigned char *back = (unsigned char *)malloc(info->erasesize);
	int status = -1;

	memset(report, 0, sizeof(*report));
	report->marked = -1;
	report->offset = offset;
	if (back == NULL)
		fprintf(stderr, "%s: %s\n", who, strerror(ENOMEM));
	else if (write_region(fd, info, old, &report->offset, image, refresh, back, who, report) == 0)
		status = write_verify(fd, info, report->offset, image, who);
	free(back);
	return status;
}
