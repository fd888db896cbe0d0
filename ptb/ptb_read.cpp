/* Fetches the PTB image from the first erase block the flash driver does not mark bad. */
#include "ptb/ptb_block.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int ptb_good_block(int fd, const struct mtd_info_user *info, long long *at, long long end, bool down)
{
	long long step = down ? -(long long)info->erasesize : (long long)info->erasesize;

	while (down ? *at > end : *at < end) {
		loff_t probe = (loff_t)*at;
		int bad = ioctl(fd, MEMGETBADBLOCK, &probe);

		if (bad <= 0)
			return bad < 0 ? -1 : 1;
		/* An erase size of 0 would test the same block for ever. */
		if (step == 0)
			return 0;
		*at += step;
	}
	return 0;
}

/* Sets block->offset to the first good block's, counting the bad ones ahead
 * of it in block->bad_ahead. */
static enum ptb_step find_good_block(int fd, const struct mtd_info_user *info, struct ptb_block *block)
{
	long long at = 0;
	int found = ptb_good_block(fd, info, &at, (long long)info->size, false);

	/* Every block asked of but the good one was bad; an erase size of 0 asks of one. */
	block->bad_ahead = info->erasesize > 0 ? (unsigned long long)at / info->erasesize : found == 0 && info->size > 0;
	if (found < 0)
		return PTB_STEP_BADBLOCK;
	if (found == 0)
		return PTB_STEP_NO_GOOD;
	block->offset = (unsigned long long)at;
	return PTB_STEP_DONE;
}

/* pread of exactly length bytes; a short count sets no error number of its
 * own, so it is taken as an I/O error. */
static bool read_exactly(int fd, unsigned char *buf, size_t length, off_t offset)
{
	ssize_t got = pread(fd, buf, length, offset);

	if (got >= 0 && (size_t)got != length)
		errno = EIO;
	return got >= 0 && (size_t)got == length;
}

size_t ptb_read_length(size_t erasesize)
{
	return erasesize >= PTB_MIN_READ ? erasesize : PTB_MIN_READ;
}

bool ptb_read_counted(int fd, unsigned char *buf, size_t length, off_t offset, struct ptb_ecc *ecc)
{
	struct mtd_ecc_stats before, after;
	bool counted = ioctl(fd, ECCGETSTATS, &before) == 0;

	if (!read_exactly(fd, buf, length, offset))
		return false;
	ecc->counted = counted && ioctl(fd, ECCGETSTATS, &after) == 0;
	if (ecc->counted) {
		ecc->corrected = after.corrected - before.corrected;
		ecc->failed = after.failed - before.failed;
	}
	return true;
}

/* The driver hands back a page its ECC could not correct as if it were
 * good, and its counters are the partition's, shared with every reader: a
 * rise may be another reader's, or lie where no value does. So the bytes
 * values come from are read once more, and only a second failure there
 * fails the read. */
static bool values_read_again(int fd, struct ptb_block *block)
{
	struct ptb_ecc again = {};

	if (!ptb_read_counted(fd, block->image, env_values_end(), (off_t)block->offset, &again))
		return false;
	block->ecc.values_failed = again.counted ? again.failed : block->ecc.failed;
	if (block->ecc.values_failed == 0)
		return true;
	errno = EBADMSG;
	return false;
}

static enum ptb_step read_image(int fd, struct ptb_block *block)
{
	bool read;

	block->image = (unsigned char *)malloc(block->length);
	read = block->image != NULL &&
	       ptb_read_counted(fd, block->image, block->length, (off_t)block->offset, &block->ecc) &&
	       (block->ecc.failed == 0 || values_read_again(fd, block));
	if (!read) {
		int error = errno;

		free(block->image);
		block->image = NULL;
		errno = error;
		return PTB_STEP_READ;
	}
	return PTB_STEP_DONE;
}

enum ptb_step ptb_block_read(int fd, const struct mtd_info_user *info, struct ptb_block *block)
{
	enum ptb_step step;

	memset(block, 0, sizeof(*block));
	step = find_good_block(fd, info, block);
	if (step != PTB_STEP_DONE)
		return step;
	block->length = ptb_read_length(info->erasesize);
	return read_image(fd, block);
}

enum ptb_step ptb_device_read(const char *path, struct mtd_info_user *info, struct ptb_block *block)
{
	enum ptb_step step = PTB_STEP_INFO;
	int error, fd = open(path, O_RDONLY | O_CLOEXEC);

	memset(block, 0, sizeof(*block));
	if (fd < 0)
		return PTB_STEP_OPEN;
	if (ioctl(fd, MEMGETINFO, info) == 0)
		step = ptb_block_read(fd, info, block);
	error = errno;
	close(fd);
	errno = error;
	return step;
}
