/* Fetches the PTB image from the first erase block the flash driver does not mark bad. */
#include "ptb/ptb_env.h"

#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
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

static int read_image(int fd, loff_t offset, size_t length, unsigned char **image)
{
	unsigned char *buf = (unsigned char *)malloc(length);
	ssize_t got = buf ? pread(fd, buf, length, offset) : -1;

	if (got < 0 || (size_t)got != length) {
		/* A short count sets no error number of its own. */
		if (got >= 0)
			errno = EIO;
		perror("pread PTB");
		free(buf);
		return -1;
	}
	*image = buf;
	return 0;
}

int ptb_read(unsigned char **image)
{
	struct mtd_info_user info;
	loff_t good = 0;
	int status = -1;
	int fd = open(PTB_DEVICE_PATH, O_RDONLY);

	if (fd < 0) {
		perror("open PTB");
		exit(1);
	}
	if (ioctl(fd, MEMGETINFO, &info) != 0) {
		perror("PTB MEMGETINFO");
	} else {
		int found = find_good_block(fd, &info, &good);

		if (found == 0)
			fwrite("Can't find good block in PTB.\n", 1, 30, stderr);
		else if (found > 0)
			status = read_image(fd, good,
					    info.erasesize >= PTB_MIN_READ ? info.erasesize : PTB_MIN_READ,
					    image);
	}
	close(fd);
	return status;
}
