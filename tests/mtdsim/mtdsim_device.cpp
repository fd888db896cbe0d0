/* The simulated partition: geometry, bad blocks, faults and the call record. */
#include "mtdsim.h"
#include "mtdsim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

static const char DEVICE_PATH[] = "/dev/mtd2";
static const size_t LOG_ROOM = 256 * 1024;
static const int MAX_OPEN = 8;

static bool attached;
static struct mtdsim_device device;
static unsigned char *image;
static uint32_t *bad_blocks;
static struct mtdsim_counts calls;
static char log_text[LOG_ROOM];
static size_t log_length;
/* Device descriptors plus one, so that 0 marks a free slot. */
static int open_fds[MAX_OPEN];

/* Appends one line to the in-memory log and, when MTDSIM_LOG names a file, to
 * it; the file is opened per line so that no descriptor outlives the call. */
static void log_call(const char *format, ...)
{
	char line[160];
	va_list args;
	const char *path = getenv("MTDSIM_LOG");
	int saved_errno = errno;

	va_start(args, format);
	/* Started just above; the analyzer loses track of it across getenv. */
	int length = vsnprintf(line, sizeof(line) - 1, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(args);
	if (length < 0) {
		errno = saved_errno;
		return;
	}
	if ((size_t)length > sizeof(line) - 2)
		length = sizeof(line) - 2;
	line[length++] = '\n';
	line[length] = '\0';
	if (log_length + length < LOG_ROOM) {
		memcpy(log_text + log_length, line, length + 1);
		log_length += length;
	}
	if (path != NULL && *path != '\0') {
		int fd = syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
		if (fd >= 0) {
			if (syscall(SYS_write, fd, line, length) != length)
				fprintf(stderr, "mtdsim: can't write the log %s\n", path);
			syscall(SYS_close, fd);
		}
	}
	errno = saved_errno;
}

void mtdsim_attach(const struct mtdsim_device *config)
{
	free(image);
	free(bad_blocks);
	device = *config;
	image = (unsigned char *)malloc(config->image_length ? config->image_length : 1);
	bad_blocks = (uint32_t *)malloc(sizeof(uint32_t) * (config->bad_count ? config->bad_count : 1));
	if (image == NULL || bad_blocks == NULL) {
		fprintf(stderr, "mtdsim: out of memory\n");
		abort();
	}
	if (config->image_length)
		memcpy(image, config->image, config->image_length);
	if (config->bad_count)
		memcpy(bad_blocks, config->bad_blocks, sizeof(uint32_t) * config->bad_count);
	device.image = image;
	device.bad_blocks = bad_blocks;
	attached = true;
	memset(&calls, 0, sizeof(calls));
	calls.last_pread_offset = -1;
	log_length = 0;
	log_text[0] = '\0';
}

void mtdsim_detach(void)
{
	attached = false;
}

const struct mtdsim_counts *mtdsim_calls(void)
{
	return &calls;
}

const char *mtdsim_log(void)
{
	return log_text;
}

bool mtdsim_is_device_path(const char *path)
{
	return path != NULL && strcmp(path, DEVICE_PATH) == 0;
}

bool mtdsim_is_device_fd(int fd)
{
	for (int i = 0; i < MAX_OPEN; i++)
		if (open_fds[i] == fd + 1)
			return true;
	return false;
}

static int fail(int error)
{
	errno = error;
	return -1;
}

/* What the attached fault makes call do: 0 nothing, else an errno or MTDSIM_SHORT. */
static int injected(enum mtdsim_call call)
{
	const struct mtdsim_fault_effect *effect = mtdsim_fault_effect(device.fault);

	return effect != NULL && (effect->calls & call) ? effect->error : 0;
}

static const char *access_mode(int flags)
{
	switch (flags & O_ACCMODE) {
	case O_RDONLY: return "read-only";
	case O_WRONLY: return "write-only";
	default: return "read-write";
	}
}

int mtdsim_open(int flags)
{
	int error = injected(MTDSIM_OPEN);

	log_call("open %s", access_mode(flags));
	if (!attached)
		return fail(ENOENT);
	if (error != 0)
		return fail(error);
	for (int i = 0; i < MAX_OPEN; i++) {
		if (open_fds[i] != 0)
			continue;
		/* A real descriptor keeps the number from being handed out twice. */
		int fd = syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC);
		if (fd < 0)
			return -1;
		open_fds[i] = fd + 1;
		calls.opens++;
		calls.open_descriptors++;
		return fd;
	}
	return fail(EMFILE);
}

int mtdsim_close(int fd)
{
	for (int i = 0; i < MAX_OPEN; i++) {
		if (open_fds[i] != fd + 1)
			continue;
		open_fds[i] = 0;
		calls.closes++;
		calls.open_descriptors--;
		log_call("close");
		return syscall(SYS_close, fd);
	}
	return fail(EBADF);
}

static bool is_bad(uint64_t offset)
{
	uint64_t block = device.erasesize ? offset / device.erasesize : 0;

	for (size_t i = 0; i < device.bad_count; i++)
		if (device.bad_blocks[i] == block)
			return true;
	return false;
}

static int get_info(struct mtd_info_user *info)
{
	int error = injected(MTDSIM_MEMGETINFO);

	calls.memgetinfo++;
	log_call("MEMGETINFO");
	if (error != 0)
		return fail(error);
	memset(info, 0, sizeof(*info));
	info->type = MTD_NANDFLASH;
	info->flags = MTD_CAP_NANDFLASH;
	info->size = device.size;
	info->erasesize = device.erasesize;
	info->writesize = 2048;
	info->oobsize = 64;
	return 0;
}

/* Answers as the kernel does: 1 bad, 0 good, EINVAL outside the partition. */
static int get_bad_block(const loff_t *offset)
{
	loff_t at = *offset;
	int error = injected(MTDSIM_MEMGETBADBLOCK);
	int answer;

	calls.badblock_queries++;
	if (error != 0)
		answer = fail(error);
	else if (at < 0 || (uint64_t)at >= device.size)
		answer = fail(EINVAL);
	else
		answer = is_bad(at);
	log_call("MEMGETBADBLOCK 0x%llx -> %d", (long long)at, answer);
	return answer;
}

int mtdsim_ioctl(int fd, unsigned long request, void *arg)
{
	(void)fd;
	if (request == MEMGETINFO)
		return get_info((struct mtd_info_user *)arg);
	if (request == MEMGETBADBLOCK)
		return get_bad_block((const loff_t *)arg);
	calls.misuses++;
	log_call("ioctl 0x%lx (not expected)", request);
	return fail(ENOTTY);
}

/* Copies what the partition holds at offset; past the image it is erased. */
static ssize_t read_partition(unsigned char *buf, size_t count, off_t offset)
{
	if (offset < 0)
		return fail(EINVAL);
	if ((uint64_t)offset >= device.size)
		return 0;
	if (count > device.size - (uint64_t)offset)
		count = device.size - (uint64_t)offset;
	for (size_t i = 0; i < count; i++) {
		uint64_t at = (uint64_t)offset + i;
		buf[i] = at < device.image_length ? device.image[at] : 0xFF;
	}
	return count;
}

ssize_t mtdsim_pread(int fd, void *buf, size_t count, off_t offset)
{
	ssize_t got;
	int error = injected(MTDSIM_PREAD);

	(void)fd;
	calls.preads++;
	calls.last_pread_offset = offset;
	calls.last_pread_length = count;
	if (error > 0)
		got = fail(error);
	else if (error == MTDSIM_SHORT && count > 0)
		got = read_partition((unsigned char *)buf, count - 1, offset);
	else
		got = read_partition((unsigned char *)buf, count, offset);
	log_call("pread %zu at 0x%llx -> %zd", count, (long long)offset, got);
	return got;
}

int mtdsim_misuse(int fd, const char *call)
{
	(void)fd;
	calls.misuses++;
	log_call("%s (not expected)", call);
	return fail(EINVAL);
}
