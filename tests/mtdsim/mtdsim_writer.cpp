/* A writer process for the end-to-end tests of the preloaded device: it
 * erases, programs and marks bad through /dev/mtd2 as told, in order, and
 * stops at the first call that fails. Like a careful writer it first makes
 * sure the device is an MTD character device (the device's fstat, which
 * the C library of the device build reaches through another name).
 *   mtdsim_writer [erase OFFSET LENGTH | program OFFSET FILE | markbad OFFSET]...
 * FILE's bytes are programmed with 0xFF after them up to a whole page. */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static const char DEVICE_PATH[] = "/dev/mtd2";
static const unsigned MTD_CHAR_MAJOR = 90;

static int failed(const char *what, const char *operand)
{
	fprintf(stderr, "mtdsim_writer: %s %s: %s\n", what, operand, strerror(errno));
	return 1;
}

static unsigned long long number(const char *text)
{
	char *end;
	unsigned long long value = strtoull(text, &end, 0);

	if (end == text || *end != '\0') {
		fprintf(stderr, "mtdsim_writer: not a number: %s\n", text);
		exit(2);
	}
	return value;
}

/* The file's bytes padded with erased flash to whole pages, *length of them. */
static unsigned char *pages_of(const char *path, uint32_t writesize, size_t *length)
{
	FILE *file = fopen(path, "rb");
	long size;

	if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (size = ftell(file)) < 0 || fseek(file, 0, SEEK_SET) != 0)
		return NULL;
	*length = ((size_t)size + writesize - 1) / writesize * writesize;
	unsigned char *pages = (unsigned char *)malloc(*length ? *length : 1);
	if (pages != NULL) {
		memset(pages, 0xFF, *length);
		if (fread(pages, 1, size, file) != (size_t)size) {
			free(pages);
			pages = NULL;
		}
	}
	fclose(file);
	return pages;
}

static int program(int fd, uint32_t writesize, const char *offset, const char *path)
{
	size_t length;
	unsigned char *pages = pages_of(path, writesize, &length);

	if (pages == NULL)
		return failed("read", path);
	ssize_t put = pwrite(fd, pages, length, number(offset));
	free(pages);
	return put == (ssize_t)length ? 0 : failed("program", offset);
}

static int erase(int fd, const char *offset, const char *length)
{
	struct erase_info_user block = { (uint32_t)number(offset), (uint32_t)number(length) };

	return ioctl(fd, MEMERASE, &block) == 0 ? 0 : failed("erase", offset);
}

static int mark_bad(int fd, const char *offset)
{
	loff_t at = number(offset);

	return ioctl(fd, MEMSETBADBLOCK, &at) == 0 ? 0 : failed("markbad", offset);
}

int main(int argc, char **argv)
{
	struct mtd_info_user info;
	struct stat st;
	int status = 0;
	int fd = open(DEVICE_PATH, O_RDWR);

	if (fd < 0)
		return failed("open", DEVICE_PATH);
	if (fstat(fd, &st) != 0 || ioctl(fd, MEMGETINFO, &info) != 0) {
		status = failed("open", DEVICE_PATH);
	} else if (!S_ISCHR(st.st_mode) || major(st.st_rdev) != MTD_CHAR_MAJOR) {
		fprintf(stderr, "mtdsim_writer: %s: not an MTD character device\n", DEVICE_PATH);
		status = 1;
	}
	for (int i = 1; i < argc && status == 0;) {
		if (strcmp(argv[i], "erase") == 0 && i + 2 < argc) {
			status = erase(fd, argv[i + 1], argv[i + 2]);
			i += 3;
		} else if (strcmp(argv[i], "program") == 0 && i + 2 < argc) {
			status = program(fd, info.writesize, argv[i + 1], argv[i + 2]);
			i += 3;
		} else if (strcmp(argv[i], "markbad") == 0 && i + 1 < argc) {
			status = mark_bad(fd, argv[i + 1]);
			i += 2;
		} else {
			fprintf(stderr, "mtdsim_writer: unknown step: %s\n", argv[i]);
			status = 2;
		}
	}
	if (close(fd) != 0)
		return failed("close", DEVICE_PATH);
	return status;
}
