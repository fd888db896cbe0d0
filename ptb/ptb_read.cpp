/* Fetches the PTB image from the first erase block the flash driver does not mark bad. */
#include "ptb/ptb_env.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_block.h"

#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <unistd.h>

/* Returns 1 with *good set to the first good block's offset, 0 when no good
 * block is left before the partition's end, -1 when the driver fails. */
static int find_good_block(int fd, const struct mtd_info_user *info, loff_t *good)
{
	loff_t offset = 0;

	if (info->size == 0)
		return 0;
	for (;;) {
		loff_t probe = offset;
		int bad = ioctl(fd, MEMGETBADBLOCK, &probe);

		if (bad < 0) {
			perror("ioctl(MEMGETBADBLOCK)");
			return -1;
		}
		if (bad == 0) {
			*good = offset;
			return 1;
		}
		fprintf(stderr, "Bad block at %x, from %x will be skipped\n",
			(unsigned)offset, (unsigned)offset);
		/* An erase size of 0 would test the same block for ever. */
		if (info->erasesize == 0)
			return 0;
		offset += info->erasesize;
		if ((unsigned long long)offset >= info->size)
			return 0;
	}
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

static int read_image(int fd, struct ptb_block *block)
{
	bool read;

	block->image = (unsigned char *)malloc(block->length);
	read = block->image != NULL &&
	       ptb_read_counted(fd, block->image, block->length, (off_t)block->offset, &block->ecc) &&
	       (block->ecc.failed == 0 || values_read_again(fd, block));
	if (!read) {
		perror("pread PTB");
		free(block->image);
		block->image = NULL;
		return -1;
	}
	return 0;
}

int ptb_read_block(int fd, const struct mtd_info_user *info, struct ptb_block *block)
{
	loff_t good = 0;
	int found = find_good_block(fd, info, &good);

	memset(block, 0, sizeof(*block));
	if (found == 0)
		fwrite("Can't find good block in PTB.\n", 1, 30, stderr);
	if (found <= 0)
		return -1;
	block->offset = (unsigned long long)good;
	block->length = ptb_read_length(info->erasesize);
	return read_image(fd, block);
}

int ptb_read(unsigned char **image)
{
	struct mtd_info_user info;
	struct ptb_block block = {};
	int status = -1;
	int fd = open(PTB_DEVICE_PATH, O_RDONLY);

	if (fd < 0) {
		perror("open PTB");
		exit(1);
	}
	if (ioctl(fd, MEMGETINFO, &info) != 0)
		perror("PTB MEMGETINFO");
	else
		status = ptb_read_block(fd, &info, &block);
	close(fd);
	if (status == 0)
		*image = block.image;
	return status;
}
