/* Writes the PTB block by block: erase, program whole pages, read back; a
 * block that fails sends the PTB on to the next good blocks, and is retired
 * only once the PTB reads back there. */
#include "ptb/ptb_write.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_block.h"
#include "ptb/ptb_env.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>	/* snprintf */
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

int ptb_failed(struct ptb_failure *failure, enum ptb_device_step step, unsigned long long at)
{
	failure->step = step;
	failure->at = at;
	failure->error = errno;
	return -1;
}

bool ptb_write_changes(const struct ptb_write_request *request, size_t b)
{
	size_t size = request->info->erasesize;

	return request->refresh || request->old == NULL ||
	       memcmp(request->old + b * size, request->image + b * size, size) != 0;
}

/* The block read back between two ECCGETSTATS: the bytes written, and
 * nothing the ECC could not correct; what it corrected is counted. */
static int write_read_back(const struct ptb_write_request *request, unsigned long long at, const unsigned char *bytes,
			   unsigned char *back, struct ptb_write_report *report, struct ptb_failure *failure)
{
	size_t size = request->info->erasesize;
	struct ptb_ecc ecc = {};

	if (!ptb_read_counted(request->fd, back, size, (off_t)at, &ecc))
		return ptb_failed(failure, PTB_READING_BACK, at);
	if (ecc.failed > 0) {
		errno = EBADMSG;
		return ptb_failed(failure, PTB_READING_BACK, at);
	}
	report->corrected += ecc.corrected;
	if (memcmp(back, bytes, size) != 0) {
		errno = 0;
		return ptb_failed(failure, PTB_READING_BACK, at);
	}
	return 0;
}

bool ptb_block_erase(int fd, const struct mtd_info_user *info, unsigned long long at)
{
	struct erase_info_user erase = { (__u32)at, info->erasesize };

	return ioctl(fd, MEMERASE, &erase) == 0;
}

int ptb_program(int fd, const struct mtd_info_user *info, unsigned long long at, const unsigned char *bytes,
		size_t length, struct ptb_failure *failure)
{
	size_t chunk = write_chunk(info);

	for (size_t done = 0; done < length; done += chunk) {
		size_t part = length - done < chunk ? length - done : chunk;
		ssize_t put = pwrite(fd, bytes + done, part, (off_t)(at + done));

		if (put != (ssize_t)part) {
			if (put >= 0)
				errno = EIO;
			return ptb_failed(failure, PTB_PROGRAMMING, at + done);
		}
	}
	return 0;
}

static int write_block(const struct ptb_write_request *request, unsigned long long at, const unsigned char *bytes,
		       unsigned char *back, struct ptb_write_report *report, struct ptb_failure *failure)
{
	report->touched = true;
	if (!ptb_block_erase(request->fd, request->info, at))
		return ptb_failed(failure, PTB_ERASING, at);
	if (ptb_program(request->fd, request->info, at, bytes, request->info->erasesize, failure) != 0)
		return -1;
	return write_read_back(request, at, bytes, back, report, failure);
}

/* From *at on, the first place whose blocks, as many as the region's, are
 * all good (the last may lie past the partition's end): 0 with *at its
 * offset, or -1 with the report's end telling why there is none. */
static int write_place(const struct ptb_write_request *request, unsigned long long *at, struct ptb_write_report *report)
{
	const struct mtd_info_user *info = request->info;
	unsigned long long next = *at;

	do {
		long long good = (long long)next;
		int found = ptb_good_block(request->fd, info, &good, (long long)info->size, false);

		if (found < 0) {
			report->end = PTB_WRITE_STEP_FAILED;
			return ptb_failed(&report->step, PTB_ASKING_MARK, (unsigned long long)good);
		}
		if (found == 0) {
			report->end = PTB_WRITE_NO_GOOD;
			return -1;
		}
		/* A bad block broke the run: the next starts past it. */
		if ((unsigned long long)good != next)
			*at = (unsigned long long)good;
		next = (unsigned long long)good + info->erasesize;
	} while (next < *at + ptb_write_length(info) && next < info->size);
	return 0;
}

/* Writes the region at place: where the PTB lies, the blocks that change;
 * where it moved to, every block. */
static int write_blocks(const struct ptb_write_request *request, unsigned long long place, unsigned char *back,
			struct ptb_write_report *report, struct ptb_failure *failure)
{
	size_t size = request->info->erasesize, blocks = ptb_write_length(request->info) / size;
	bool moved = place != request->offset;

	report->blocks_written = 0;
	for (size_t b = 0; b < blocks; b++) {
		if (!moved && !ptb_write_changes(request, b))
			continue;
		if (write_block(request, place + b * size, request->image + b * size, back, report, failure) != 0)
			return -1;
		report->blocks_written++;
	}
	return 0;
}

static unsigned long long write_failed_block(const struct mtd_info_user *info, const struct ptb_failure *failure)
{
	return failure->at - failure->at % info->erasesize;
}

/* Writes the region at the first place from the PTB's on where it may lie,
 * and on past a block that fails, PTB_WRITE_TRIES places at most; 0, or -1
 * with the report's end telling why. */
static int write_tries(const struct ptb_write_request *request, unsigned char *back, struct ptb_write_report *report)
{
	const struct mtd_info_user *info = request->info;
	unsigned long long place = request->offset;

	for (;;) {
		struct ptb_failure *failure = &report->tries[report->tries_failed];

		if (write_place(request, &place, report) != 0)
			return -1;
		report->offset = place;
		if (place + ptb_read_length(info->erasesize) > request->limit) {
			report->end = request->limit < info->size ? PTB_WRITE_INTO_COPY : PTB_WRITE_PAST_END;
			return -1;
		}
		if (write_blocks(request, place, back, report, failure) == 0)
			return 0;
		place = write_failed_block(info, failure);
		if (report->marked < 0)
			report->marked = (long long)place;
		place += info->erasesize;
		if (++report->tries_failed == PTB_WRITE_TRIES) {
			report->end = PTB_WRITE_STOPPED;
			return -1;
		}
	}
}

/* A block ahead of the PTB's new place is erased as far as it goes, so that
 * it reads as erased flash rather than as a part-written PTB, and marked
 * bad, so that ptbenv reads past it. */
static void write_retire(const struct ptb_write_request *request, unsigned long long at,
			 struct ptb_write_report *report)
{
	struct ptb_retired retired = { at, false, ptb_block_erase(request->fd, request->info, at), 0 };
	loff_t mark = (loff_t)at;

	for (unsigned i = 0; i < report->tries_failed; i++)
		retired.failed = retired.failed || write_failed_block(request->info, &report->tries[i]) == at;
	if (ioctl(request->fd, MEMSETBADBLOCK, &mark) != 0) {
		retired.mark_error = errno;
		report->mark_failed = true;
	}
	if (report->retired_count < PTB_WRITE_RETIRED_MOST)
		report->retired[report->retired_count++] = retired;
}

/* Retires the good blocks from the PTB's new place down to where it lay,
 * nearest first; 0, or -1 when the walk failed. */
static int write_retire_ahead(const struct ptb_write_request *request, struct ptb_write_report *report)
{
	long long at = (long long)report->offset - (long long)request->info->erasesize;
	int found = 0;

	while (report->offset > request->offset &&
	       (found = ptb_good_block(request->fd, request->info, &at, (long long)request->offset - 1, true)) > 0) {
		write_retire(request, (unsigned long long)at, report);
		at -= (long long)request->info->erasesize;
	}
	if (found >= 0)
		return 0;
	report->end = PTB_WRITE_STEP_FAILED;
	return ptb_failed(&report->step, PTB_ASKING_MARK, (unsigned long long)at);
}

/* Reads the PTB as ptbenv does: it must lie at the report's offset, its
 * region byte for byte the image's, and render every key as the image does. */
static int write_verify(const struct ptb_write_request *request, struct ptb_write_report *report)
{
	static char wanted[ENV_VALUE_MAX + 1];
	struct ptb_block block;
	int status;

	report->read_back_tried = true;
	report->read_back = ptb_block_read(request->fd, request->info, &block);
	report->read_back_error = errno;
	report->read_back_bad = block.bad_ahead;
	if (report->read_back != PTB_STEP_DONE) {
		report->end = PTB_WRITE_NOT_READ;
		return -1;
	}
	status = block.offset == report->offset &&
		 memcmp(block.image, request->image, ptb_write_length(request->info)) == 0 ? 0 : -1;
	for (size_t i = 0; i < env_field_count && status == 0; i++) {
		const char *value = env_render(&env_fields[i], request->image);
		bool shown = value != NULL;

		if (shown)
			snprintf(wanted, sizeof(wanted), "%s", value);
		value = env_render(&env_fields[i], block.image);
		if (shown != (value != NULL) || (shown && strcmp(wanted, value) != 0))
			status = -1;
	}
	report->end = status == 0 ? PTB_WRITE_DONE : PTB_WRITE_NOT_AS_WRITTEN;
	free(block.image);
	return status;
}

int ptb_write(const struct ptb_write_request *request, struct ptb_write_report *report)
{
	unsigned char *back = (unsigned char *)malloc(request->info->erasesize);
	int status = -1;

	memset(report, 0, sizeof(*report));
	report->marked = -1;
	report->offset = request->offset;
	report->end = PTB_WRITE_NO_MEMORY;
	if (back != NULL && write_tries(request, back, report) == 0 && write_retire_ahead(request, report) == 0)
		status = write_verify(request, report);
	free(back);
	return status;
}
