/* The simulated partition: geometry, descriptors, bad blocks, faults and the call record. */
#include "mtdsim.h"
#include "mtdsim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static const char DEVICE_PATH[] = "/dev/mtd2";
static const char READ_ONLY_PATH[] = "/dev/mtd2ro";
/* MTD character devices: major 90, minor 2N for mtdN and 2N + 1 for mtdNro. */
static const unsigned MTD_CHAR_MAJOR = 90;
static const unsigned DEVICE_MINOR = 4;
static const size_t LOG_ROOM = 256 * 1024;
static const int MAX_OPEN = 8;

/* An open device descriptor; fd_plus_one 0 marks a free slot. */
struct descriptor {
	int fd_plus_one;
	bool readable;
	bool writable;
	bool read_only_node;
};

static bool attached;
static struct mtdsim_device device;
static uint32_t *bad_blocks;
/* Marks that did not stick: in the kernel's memory only, gone for the next process. */
static uint32_t *marks;
static size_t mark_count;
static uint32_t steps;
static struct mtdsim_counts calls;
static char log_text[LOG_ROOM];
static size_t log_length;
static struct descriptor open_fds[MAX_OPEN];

/* Appends one line to the in-memory log and, when MTDSIM_LOG names a file, to
 * it; the file is opened per line so that no descriptor outlives the call. */
void mtdsim_log_call(const char *format, ...)
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

void mtdsim_attach_file(const struct mtdsim_device *config, const char *path)
{
	free(bad_blocks);
	free(marks);
	marks = NULL;
	mark_count = 0;
	device = *config;
	bad_blocks = (uint32_t *)malloc(sizeof(uint32_t) * (config->bad_count ? config->bad_count : 1));
	if (bad_blocks == NULL) {
		fprintf(stderr, "mtdsim: out of memory\n");
		abort();
	}
	if (config->bad_count)
		memcpy(bad_blocks, config->bad_blocks, sizeof(uint32_t) * config->bad_count);
	device.bad_blocks = bad_blocks;
	/* The partition's bytes and the lists about them are the flash's own copies. */
	mtdsim_flash_attach(config, path);
	device.image = NULL;
	device.uncorrectable = device.corrected = NULL;
	device.weak_blocks = device.weak_pages = NULL;
	attached = true;
	memset(&calls, 0, sizeof(calls));
	calls.last_pread_offset = -1;
	log_length = 0;
	log_text[0] = '\0';
	steps = 0;
}

void mtdsim_attach(const struct mtdsim_device *config)
{
	mtdsim_attach_file(config, NULL);
}

bool mtdsim_step_is_half(void)
{
	steps++;
	return device.cut_after != 0 && steps == device.cut_after && device.cut_half;
}

/* As the power going: the process ends here, whatever it meant to do next. */
[[noreturn]] static void power_cut(void)
{
	for (;;)
		syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
}

void mtdsim_step_taken(const char *what, long result)
{
	bool cut = device.cut_after != 0 && steps == device.cut_after;

	if (device.cut_after == 0)
		return;
	if (cut && device.cut_half)
		mtdsim_log_call("step %u: %s half done, power cut", steps, what);
	else
		mtdsim_log_call("step %u: %s -> %ld%s", steps, what, result, cut ? ", power cut" : "");
	if (cut)
		power_cut();
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
	return path != NULL && (strcmp(path, DEVICE_PATH) == 0 || strcmp(path, READ_ONLY_PATH) == 0);
}

static struct descriptor *descriptor_of(int fd)
{
	for (int i = 0; i < MAX_OPEN; i++)
		if (open_fds[i].fd_plus_one == fd + 1)
			return &open_fds[i];
	return NULL;
}

bool mtdsim_is_device_fd(int fd)
{
	return descriptor_of(fd) != NULL;
}

int mtdsim_fail(int error)
{
	errno = error;
	return -1;
}

int mtdsim_injected(unsigned call)
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

/* Opens for writing fail on the read-only node and, as the kernel has it,
 * on a partition without MTD_WRITEABLE. */
int mtdsim_open(const char *path, int flags)
{
	bool read_only_node = strcmp(path, READ_ONLY_PATH) == 0;
	bool writing = (flags & O_ACCMODE) != O_RDONLY;
	int error = mtdsim_injected(writing ? MTDSIM_OPEN | MTDSIM_OPEN_WRITABLE : MTDSIM_OPEN);

	if (read_only_node)
		mtdsim_log_call("open mtd2ro %s", access_mode(flags));
	else
		mtdsim_log_call("open %s", access_mode(flags));
	if (!attached)
		return mtdsim_fail(ENOENT);
	if (error != 0)
		return mtdsim_fail(error);
	if (read_only_node && writing)
		return mtdsim_fail(EACCES);
	for (int i = 0; i < MAX_OPEN; i++) {
		if (open_fds[i].fd_plus_one != 0)
			continue;
		int fd = mtdsim_flash_open(writing, flags);
		if (fd < 0)
			return -1;
		open_fds[i].fd_plus_one = fd + 1;
		open_fds[i].readable = (flags & O_ACCMODE) != O_WRONLY;
		open_fds[i].writable = writing;
		open_fds[i].read_only_node = read_only_node;
		calls.opens++;
		calls.open_descriptors++;
		return fd;
	}
	return mtdsim_fail(EMFILE);
}

int mtdsim_close(int fd)
{
	struct descriptor *open_fd = descriptor_of(fd);

	if (open_fd == NULL)
		return mtdsim_fail(EBADF);
	open_fd->fd_plus_one = 0;
	calls.closes++;
	calls.open_descriptors--;
	mtdsim_log_call("close");
	return syscall(SYS_close, fd);
}

int mtdsim_fstat(int fd, struct stat *st)
{
	const struct descriptor *open_fd = descriptor_of(fd);

	memset(st, 0, sizeof(*st));
	st->st_mode = S_IFCHR | 0660;
	st->st_nlink = 1;
	st->st_rdev = makedev(MTD_CHAR_MAJOR, DEVICE_MINOR + (open_fd->read_only_node ? 1 : 0));
	st->st_blksize = 4096;
	return 0;
}

static uint32_t block_of(uint64_t offset)
{
	return device.erasesize ? offset / device.erasesize : 0;
}

static bool is_listed_bad(uint32_t block)
{
	for (size_t i = 0; i < device.bad_count; i++)
		if (device.bad_blocks[i] == block)
			return true;
	return false;
}

static bool is_marked_here(uint32_t block)
{
	for (size_t i = 0; i < mark_count; i++)
		if (marks[i] == block)
			return true;
	return false;
}

bool mtdsim_is_bad(uint64_t offset)
{
	uint32_t block = block_of(offset);

	return is_listed_bad(block) || is_marked_here(block) || mtdsim_flash_marked(block);
}

bool mtdsim_is_marked_bad(uint32_t block)
{
	return is_listed_bad(block) || mtdsim_flash_marked(block);
}

static void mark_here(uint32_t block)
{
	uint32_t *more = (uint32_t *)realloc(marks, sizeof(uint32_t) * (mark_count + 1));

	if (more == NULL) {
		fprintf(stderr, "mtdsim: out of memory\n");
		abort();
	}
	marks = more;
	marks[mark_count++] = block;
}

static uint32_t bad_block_count(void)
{
	return device.bad_count + mtdsim_flash_marked_count();
}

static int get_info(struct mtd_info_user *info)
{
	int error = mtdsim_injected(MTDSIM_MEMGETINFO);
	uint32_t writesize = device.writesize ? device.writesize : MTDSIM_DEFAULT_WRITESIZE;

	calls.memgetinfo++;
	mtdsim_log_call("MEMGETINFO");
	if (error != 0)
		return mtdsim_fail(error);
	memset(info, 0, sizeof(*info));
	info->type = MTD_NANDFLASH;
	info->flags = mtdsim_injected(MTDSIM_OPEN_WRITABLE) ? 0 : MTD_CAP_NANDFLASH;
	info->size = device.size;
	info->erasesize = device.erasesize;
	info->writesize = writesize;
	info->oobsize = writesize / 32;
	return 0;
}

/* Answers as the kernel does: 1 bad, 0 good, EINVAL outside the partition. */
static int get_bad_block(const loff_t *offset)
{
	loff_t at = *offset;
	int error = mtdsim_injected(MTDSIM_MEMGETBADBLOCK);
	int answer;

	calls.badblock_queries++;
	if (device.fault == MTDSIM_BADBLOCK_FAILS_AFTER_WRITE && calls.writes == 0)
		error = 0;
	if (error != 0)
		answer = mtdsim_fail(error);
	else if (at < 0 || (uint64_t)at >= device.size)
		answer = mtdsim_fail(EINVAL);
	else
		answer = mtdsim_is_bad(at);
	mtdsim_log_call("MEMGETBADBLOCK 0x%llx -> %d", (long long)at, answer);
	return answer;
}

/* A mark, a device step: 0 or the error. Half done, it is not made. */
static int mark(uint32_t block, int error)
{
	char what[48];

	if (mtdsim_step_is_half())
		error = 0;
	else if (error == 0)
		error = mtdsim_flash_mark(block) ? 0 : errno;
	else if (device.fault == MTDSIM_MARKBAD_FAILS)
		mark_here(block);
	snprintf(what, sizeof(what), "MEMSETBADBLOCK 0x%llx", (unsigned long long)block * device.erasesize);
	mtdsim_step_taken(what, error ? -1 : 0);
	return error;
}

/* As the kernel: a block already bad is left as it is, with success; a mark
 * that can't be written stays in memory, so the block reads bad until the
 * next process. */
static int set_bad_block(const struct descriptor *open_fd, const loff_t *offset)
{
	loff_t at = *offset;
	int error = mtdsim_injected(MTDSIM_MEMSETBADBLOCK);

	calls.markbads++;
	if (!open_fd->writable)
		error = EPERM;
	else if (at < 0 || (uint64_t)at >= device.size)
		error = EINVAL;
	else if (mtdsim_is_bad(at)) {
		mtdsim_log_call("MEMSETBADBLOCK 0x%llx -> 0 (already bad)", (long long)at);
		return 0;
	} else
		error = mark(block_of(at), error);
	mtdsim_log_call("MEMSETBADBLOCK 0x%llx -> %d", (long long)at, error ? -1 : 0);
	return error ? mtdsim_fail(error) : 0;
}

static int erase(const struct descriptor *open_fd, const struct erase_info_user *info)
{
	int answer;

	calls.erases++;
	if (!open_fd->writable)
		answer = mtdsim_fail(EPERM);
	else
		answer = mtdsim_flash_erase(open_fd->fd_plus_one - 1, info->start, info->length);
	mtdsim_log_call("MEMERASE 0x%x+0x%x -> %d", info->start, info->length, answer);
	return answer;
}

static int get_ecc_stats(struct mtd_ecc_stats *stats)
{
	int error = mtdsim_injected(MTDSIM_ECCGETSTATS);

	calls.eccgetstats++;
	if (device.fault == MTDSIM_ECCSTATS_SECOND_FAILS && calls.eccgetstats == 1)
		error = 0;
	if (error != 0) {
		mtdsim_log_call("ECCGETSTATS -> -1");
		return mtdsim_fail(error);
	}
	memset(stats, 0, sizeof(*stats));
	mtdsim_flash_ecc_counts(&stats->corrected, &stats->failed);
	stats->badblocks = bad_block_count();
	mtdsim_log_call("ECCGETSTATS -> corrected %u failed %u", stats->corrected, stats->failed);
	return 0;
}

/* Commands that change the flash need a descriptor open for writing, as in
 * the kernel's MTD character device. */
int mtdsim_ioctl(int fd, unsigned long request, void *arg)
{
	const struct descriptor *open_fd = descriptor_of(fd);

	if (request == MEMGETINFO)
		return get_info((struct mtd_info_user *)arg);
	if (request == MEMGETBADBLOCK)
		return get_bad_block((const loff_t *)arg);
	if (request == MEMSETBADBLOCK)
		return set_bad_block(open_fd, (const loff_t *)arg);
	if (request == MEMERASE)
		return erase(open_fd, (const struct erase_info_user *)arg);
	if (request == ECCGETSTATS)
		return get_ecc_stats((struct mtd_ecc_stats *)arg);
	calls.misuses++;
	mtdsim_log_call("ioctl 0x%lx (not expected)", request);
	return mtdsim_fail(ENOTTY);
}

ssize_t mtdsim_pread(int fd, void *buf, size_t count, off_t offset)
{
	ssize_t got;
	int error = mtdsim_injected(MTDSIM_PREAD);

	calls.preads++;
	calls.last_pread_offset = offset;
	calls.last_pread_length = count;
	if (!descriptor_of(fd)->readable)
		got = mtdsim_fail(EBADF);
	else if (error > 0)
		got = mtdsim_fail(error);
	else if (error == MTDSIM_SHORT && count > 0)
		got = mtdsim_flash_read(fd, (unsigned char *)buf, count - 1, offset);
	else
		got = mtdsim_flash_read(fd, (unsigned char *)buf, count, offset);
	mtdsim_log_call("pread %zu at 0x%llx -> %zd", count, (long long)offset, got);
	return got;
}

ssize_t mtdsim_pwrite(int fd, const void *buf, size_t count, off_t offset)
{
	ssize_t put;

	calls.writes++;
	if (!descriptor_of(fd)->writable)
		put = mtdsim_fail(EBADF);
	else
		put = mtdsim_flash_program(fd, (const unsigned char *)buf, count, offset);
	mtdsim_log_call("pwrite %zu at 0x%llx -> %zd", count, (long long)offset, put);
	return put;
}

int mtdsim_misuse(int fd, const char *call)
{
	(void)fd;
	calls.misuses++;
	mtdsim_log_call("%s (not expected)", call);
	return mtdsim_fail(EINVAL);
}
