/* The floor for one lookup: the device calls ptbenv makes for "sninfo" on a
 * partition whose first erase block is good, and nothing more. Plain C,
 * compiled with gcc; the benchmark runs it beside ptbenv. */
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define LENGTH 40960
#define SNINFO 0xE5B

int main(void)
{
	static unsigned char image[LENGTH];
	struct mtd_info_user info;
	struct mtd_ecc_stats before, after;
	loff_t offset = 0;
	int fd = open("/dev/mtd2", O_RDONLY);

	if (fd < 0)
		return 1;
	if (ioctl(fd, MEMGETINFO, &info) != 0 || ioctl(fd, MEMGETBADBLOCK, &offset) != 0 ||
	    ioctl(fd, ECCGETSTATS, &before) != 0 || pread(fd, image, LENGTH, 0) != LENGTH ||
	    ioctl(fd, ECCGETSTATS, &after) != 0 || after.failed != before.failed) {
		close(fd);
		return 1;
	}
	close(fd);
	image[LENGTH - 1] = '\0';
	printf("sninfo:%s\n", (const char *)image + SNINFO);
	return 0;
}
