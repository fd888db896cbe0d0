/* The simulated partition's bytes: reading them through the ECC, erasing
 * blocks, programming pages, and the out-of-band bytes, each change in the
 * files as it happens. Raw system calls, as the log's: the device's own
 * files are no device calls. */
#include "mtdsim.h"
#include "mtdsim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/memfd.h>
#include <sys/syscall.h>
#include <unistd.h>

static char *backing;	/* the file of the partition's bytes from offset 0; past its end erased */
static char *oob;	/* its out-of-band file */
static int anonymous[2] = { -1, -1 };	/* the memory files an in-process attach keeps them in */
static uint32_t size;
static uint32_t erasesize;
static uint32_t writesize;
static enum mtdsim_fault fault;
static struct mtdsim_range *uncorrectable;
static bool *spent;	/* per uncorrectable range: failed once, clean since */
static size_t uncorrectable_count;
static struct mtdsim_range *corrected;
static size_t corrected_count;
static uint32_t *weak_blocks;
static size_t weak_block_count;
static uint32_t *weak_pages;
static size_t weak_page_count;
static uint32_t corrected_steps;
static uint32_t failed_steps;
static unsigned failed_reads;
static unsigned char *contents;

[[noreturn]] static void out_of_memory(void)
{
	fprintf(stderr, "mtdsim: out of memory\n");
	abort();
}

static void *copy_of(const void *from, size_t length)
{
	void *copy = malloc(length ? length : 1);

	if (copy == NULL)
		out_of_memory();
	if (length)
		memcpy(copy, from, length);
	return copy;
}

static int open_file(const char *path, int flags)
{
	return syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, 0644);
}

/* count bytes at offset; what lies past the file's end reads as past_end. */
static bool file_read(int fd, unsigned char *buf, size_t count, uint64_t offset, unsigned char past_end)
{
	size_t done = 0;

	while (done < count) {
		long got = syscall(SYS_pread64, fd, buf + done, count - done, (off_t)(offset + done));
		if (got < 0)
			return false;
		if (got == 0)
			break;
		done += got;
	}
	memset(buf + done, past_end, count - done);
	return true;
}

static bool file_write(int fd, const unsigned char *buf, size_t count, uint64_t offset)
{
	size_t done = 0;

	while (done < count) {
		long put = syscall(SYS_pwrite64, fd, buf + done, count - done, (off_t)(offset + done));
		if (put <= 0)
			return false;
		done += put;
	}
	return true;
}

[[noreturn]] static void file_failed(const char *path)
{
	fprintf(stderr, "mtdsim: can't use %s: %s\n", path, strerror(errno));
	abort();
}

/* An in-process partition's two files, each named so that it opens anew as a file does. */
static char *anonymous_file(int which, const char *name)
{
	char path[40];

	if (anonymous[which] >= 0)
		syscall(SYS_close, anonymous[which]);
	anonymous[which] = syscall(SYS_memfd_create, name, MFD_CLOEXEC);
	if (anonymous[which] < 0)
		file_failed(name);
	snprintf(path, sizeof(path), "/proc/self/fd/%d", anonymous[which]);
	return strdup(path);
}

static void name_files(const struct mtdsim_device *device, const char *path)
{
	free(backing);
	free(oob);
	if (path != NULL) {
		size_t length = strlen(path) + sizeof(MTDSIM_OOB_SUFFIX);
		backing = strdup(path);
		oob = (char *)malloc(length);
		if (backing == NULL || oob == NULL)
			out_of_memory();
		snprintf(oob, length, "%s" MTDSIM_OOB_SUFFIX, path);
		return;
	}
	backing = anonymous_file(0, "mtdsim");
	oob = anonymous_file(1, "mtdsim" MTDSIM_OOB_SUFFIX);
	if (backing == NULL || oob == NULL)
		out_of_memory();
	if (!file_write(anonymous[0], device->image, device->image_length, 0))
		file_failed(backing);
}

void mtdsim_flash_attach(const struct mtdsim_device *device, const char *path)
{
	free(uncorrectable);
	free(spent);
	free(corrected);
	free(weak_blocks);
	free(weak_pages);
	name_files(device, path);
	size = device->size;
	erasesize = device->erasesize;
	writesize = device->writesize ? device->writesize : MTDSIM_DEFAULT_WRITESIZE;
	fault = device->fault;
	uncorrectable_count = device->uncorrectable_count;
	uncorrectable = (struct mtdsim_range *)copy_of(device->uncorrectable, sizeof(struct mtdsim_range) * uncorrectable_count);
	spent = (bool *)calloc(uncorrectable_count + 1, sizeof(bool));
	if (spent == NULL)
		out_of_memory();
	corrected_count = device->corrected_count;
	corrected = (struct mtdsim_range *)copy_of(device->corrected, sizeof(struct mtdsim_range) * corrected_count);
	weak_block_count = device->weak_block_count;
	weak_blocks = (uint32_t *)copy_of(device->weak_blocks, sizeof(uint32_t) * weak_block_count);
	weak_page_count = device->weak_page_count;
	weak_pages = (uint32_t *)copy_of(device->weak_pages, sizeof(uint32_t) * weak_page_count);
	corrected_steps = MTDSIM_EARLIER_CORRECTED;
	failed_steps = MTDSIM_EARLIER_FAILED;
	failed_reads = 0;
}

/* The device's descriptor is one on the partition's file. */
int mtdsim_flash_open(bool writing, int flags)
{
	return open_file(backing, (writing ? O_RDWR : O_RDONLY) | (flags & O_CLOEXEC));
}

/* The out-of-band bytes of count pages from first; none where there is no file. */
static void oob_read(unsigned char *bits, uint64_t first, size_t count)
{
	int fd = open_file(oob, O_RDONLY);

	if (fd < 0 || !file_read(fd, bits, count, first, 0))
		memset(bits, 0, count);
	if (fd >= 0)
		syscall(SYS_close, fd);
}

static bool oob_write(const unsigned char *bits, uint64_t first, size_t count)
{
	int fd = open_file(oob, O_RDWR | O_CREAT);
	bool written = fd >= 0 && file_write(fd, bits, count, first);

	if (fd >= 0)
		syscall(SYS_close, fd);
	return written;
}

static uint64_t pages_per_block(void)
{
	return erasesize / writesize ? erasesize / writesize : 1;
}

bool mtdsim_flash_marked(uint32_t block)
{
	unsigned char bits;

	oob_read(&bits, block * pages_per_block(), 1);
	return bits & MTDSIM_OOB_MARKED_BAD;
}

/* The file holds no more than the pages that carried a bit. */
uint32_t mtdsim_flash_marked_count(void)
{
	int fd = open_file(oob, O_RDONLY);
	long length = fd >= 0 ? syscall(SYS_lseek, fd, 0, SEEK_END) : 0;
	unsigned char *bits = (unsigned char *)malloc(length > 0 ? length : 1);
	uint32_t count = 0;

	if (bits == NULL)
		out_of_memory();
	if (length > 0 && file_read(fd, bits, length, 0, 0))
		for (long page = 0; page < length; page += pages_per_block())
			count += (bits[page] & MTDSIM_OOB_MARKED_BAD) != 0;
	if (fd >= 0)
		syscall(SYS_close, fd);
	free(bits);
	return count;
}

bool mtdsim_flash_mark(uint32_t block)
{
	unsigned char bits;
	uint64_t page = block * pages_per_block();

	oob_read(&bits, page, 1);
	bits |= MTDSIM_OOB_MARKED_BAD;
	return oob_write(&bits, page, 1);
}

void mtdsim_flash_ecc_counts(uint32_t *corrected_count_out, uint32_t *failed_count_out)
{
	*corrected_count_out = corrected_steps;
	*failed_count_out = failed_steps;
}

/* What a change needs first: the file as long as the partition, erased past what it held. */
static bool whole_partition(int fd)
{
	long end = syscall(SYS_lseek, fd, 0, SEEK_END);
	unsigned char erased[4096];

	memset(erased, 0xFF, sizeof(erased));
	for (uint64_t at = end; end >= 0 && at < size; at += sizeof(erased))
		if (!file_write(fd, erased, size - at < sizeof(erased) ? size - at : sizeof(erased), at))
			return false;
	return end >= 0;
}

const unsigned char *mtdsim_contents(size_t *length)
{
	int fd = open_file(backing, O_RDONLY);
	unsigned char *now = (unsigned char *)realloc(contents, size ? size : 1);

	if (now == NULL)
		out_of_memory();
	contents = now;
	if (fd < 0 || !file_read(fd, contents, size, 0, 0xFF))
		file_failed(backing);
	syscall(SYS_close, fd);
	*length = size;
	return contents;
}

static bool overlaps(const struct mtdsim_range &range, uint64_t start, uint64_t end)
{
	return range.start < end && start < range.end;
}

static bool fails(uint64_t start, uint64_t end)
{
	for (size_t i = 0; i < uncorrectable_count; i++)
		if (!spent[i] && overlaps(uncorrectable[i], start, end))
			return true;
	return false;
}

static bool is_corrected(uint64_t start, uint64_t end)
{
	for (size_t i = 0; i < corrected_count; i++)
		if (overlaps(corrected[i], start, end))
			return true;
	return false;
}

/* The torn pages' out-of-band bits of the pages from pages_start to pages_end. */
static unsigned char *torn_bits(uint64_t pages_start, uint64_t pages_end)
{
	size_t count = (pages_end - pages_start + writesize - 1) / writesize;
	unsigned char *bits = (unsigned char *)calloc(count + 1, 1);

	if (bits == NULL)
		out_of_memory();
	oob_read(bits, pages_start / writesize, count);
	return bits;
}

static bool is_torn(const unsigned char *torn, uint64_t pages_start, uint64_t at)
{
	return torn[(at - pages_start) / writesize] & MTDSIM_OOB_TORN;
}

/* The failing bytes in the buffer come back wrong, differently on each read;
 * under ecc-transient a range fails this once only. */
static void garble(unsigned char *buf, uint64_t offset, size_t count, uint64_t pages_start, uint64_t pages_end,
		   const unsigned char *torn)
{
	unsigned char mask = (unsigned char)(1 + failed_reads++ % 255);

	for (uint64_t at = offset; at < offset + count; at++) {
		bool failing = is_torn(torn, pages_start, at);
		for (size_t i = 0; i < uncorrectable_count && !failing; i++)
			failing = !spent[i] && overlaps(uncorrectable[i], at, at + 1);
		if (failing)
			buf[at - offset] ^= mask;
	}
	for (size_t i = 0; i < uncorrectable_count; i++)
		if (overlaps(uncorrectable[i], pages_start, pages_end))
			spent[i] = spent[i] || fault == MTDSIM_ECC_TRANSIENT;
}

/* The ECC reads every page the read touches, in whole steps. */
static void check_ecc(unsigned char *buf, uint64_t offset, size_t count)
{
	if (count == 0)
		return;
	uint64_t pages_start = offset - offset % writesize;
	uint64_t pages_end = (offset + count + writesize - 1) / writesize * writesize;
	bool failed = false;

	if (pages_end > size)
		pages_end = size;
	unsigned char *torn = torn_bits(pages_start, pages_end);
	for (uint64_t page = pages_start; page < pages_end; page += writesize) {
		uint64_t page_end = page + writesize < pages_end ? page + writesize : pages_end;
		for (uint64_t step = page; step < page_end; step += MTDSIM_ECC_STEP) {
			uint64_t step_end = step + MTDSIM_ECC_STEP < page_end ? step + MTDSIM_ECC_STEP : page_end;
			if (is_torn(torn, pages_start, step) || fails(step, step_end)) {
				failed_steps++;
				failed = true;
			} else if (is_corrected(step, step_end)) {
				corrected_steps++;
			}
		}
	}
	if (failed)
		garble(buf, offset, count, pages_start, pages_end, torn);
	free(torn);
}

/* Copies what the partition holds at offset; past the file it is erased. */
ssize_t mtdsim_flash_read(int fd, unsigned char *buf, size_t count, off_t offset)
{
	if (offset < 0)
		return mtdsim_fail(EINVAL);
	if ((uint64_t)offset >= size)
		return 0;
	if (count > size - (uint64_t)offset)
		count = size - (uint64_t)offset;
	if (!file_read(fd, buf, count, offset, 0xFF))
		return -1;
	check_ecc(buf, offset, count);
	return count;
}

static bool is_listed(const uint32_t *list, size_t count, uint64_t number)
{
	for (size_t i = 0; i < count; i++)
		if (list[i] == number)
			return true;
	return false;
}

/* Sets or clears the torn bit of count pages from the page at offset. */
static bool set_torn(uint64_t offset, size_t count, bool torn)
{
	unsigned char *bits = (unsigned char *)malloc(count ? count : 1);
	bool changed = false;
	bool done = true;

	if (bits == NULL)
		out_of_memory();
	oob_read(bits, offset / writesize, count);
	for (size_t i = 0; i < count; i++) {
		unsigned char now = torn ? bits[i] | MTDSIM_OOB_TORN : bits[i] & ~MTDSIM_OOB_TORN;
		changed = changed || now != bits[i];
		bits[i] = now;
	}
	if (changed)
		done = oob_write(bits, offset / writesize, count);
	free(bits);
	return done;
}

/* Erased flash over length bytes at offset, their pages no longer torn. */
static bool erase_bytes(int fd, uint64_t offset, uint64_t length)
{
	unsigned char erased[4096];

	memset(erased, 0xFF, sizeof(erased));
	for (uint64_t at = offset; at < offset + length; at += sizeof(erased))
		if (!file_write(fd, erased, offset + length - at < sizeof(erased) ? offset + length - at : sizeof(erased), at))
			return false;
	return set_torn(offset, (length + writesize - 1) / writesize, false);
}

/* One block, a device step: 0 or the error; a weak block fails, the power
 * may cut it half done. */
static int erase_block(int fd, uint64_t block)
{
	char what[64];
	bool half = mtdsim_step_is_half();
	int error = 0;

	if (is_listed(weak_blocks, weak_block_count, block / erasesize))
		error = EIO;
	else if (!whole_partition(fd) || !erase_bytes(fd, block, half ? erasesize / 2 : erasesize))
		error = errno;
	snprintf(what, sizeof(what), "MEMERASE 0x%llx+0x%x", (unsigned long long)block, erasesize);
	mtdsim_step_taken(what, error ? -1 : 0);
	return error;
}

/* Whole blocks only, in order; a block that fails (weak, bad, or every one
 * under erase-fails) ends the erase with EIO, the blocks before it erased. */
int mtdsim_flash_erase(int fd, uint64_t start, uint64_t length)
{
	int error = mtdsim_injected(MTDSIM_MEMERASE);

	if (erasesize == 0 || start % erasesize != 0 || length % erasesize != 0 || start > size ||
	    length > size - start)
		return mtdsim_fail(EINVAL);
	for (uint64_t block = start; block < start + length; block += erasesize) {
		if (error != 0)
			return mtdsim_fail(error);
		if (mtdsim_is_bad(block))
			return mtdsim_fail(EIO);
		int failed = erase_block(fd, block);
		if (failed != 0)
			return mtdsim_fail(failed);
	}
	return 0;
}

/* One page, a device step: 0 or the error. Programming only clears bits; a
 * weak page (error EIO) is left with its first half programmed, as is one
 * the power cuts, which is torn besides; program-wrong leaves the page's
 * first byte as it was. */
static int program_page(int fd, const unsigned char *buf, uint64_t page, int error)
{
	char what[64];
	bool half = mtdsim_step_is_half();
	unsigned char *bytes = (unsigned char *)malloc(writesize);
	size_t from = fault == MTDSIM_PROGRAM_WRONG ? 1 : 0;
	size_t programmed = error != 0 || half ? writesize / 2 : writesize;

	if (bytes == NULL)
		out_of_memory();
	if (!file_read(fd, bytes, writesize, page, 0xFF)) {
		error = errno;
	} else {
		for (size_t i = from; i < programmed; i++)
			bytes[i] &= buf[i];
		if (!file_write(fd, bytes, writesize, page) || (half && !set_torn(page, 1, true)))
			error = errno;
	}
	free(bytes);
	snprintf(what, sizeof(what), "pwrite %u at 0x%llx", writesize, (unsigned long long)page);
	mtdsim_step_taken(what, error ? -1 : (long)writesize);
	return error;
}

/* Whole pages only. A weak page (or every page under program-fails) ends
 * the write with EIO; pwrite-short leaves the last page unprogrammed and
 * returns the bytes before it. */
ssize_t mtdsim_flash_program(int fd, const unsigned char *buf, size_t count, off_t offset)
{
	int error = mtdsim_injected(MTDSIM_PWRITE);
	uint32_t page_size = writesize;

	if (offset < 0 || offset % page_size != 0 || count % page_size != 0 || (uint64_t)offset > size ||
	    count > size - (uint64_t)offset)
		return mtdsim_fail(EINVAL);
	if (count > 0 && !whole_partition(fd))
		return -1;
	size_t taken = error == MTDSIM_SHORT && count > 0 ? count - page_size : count;
	for (size_t done = 0; done < taken; done += page_size) {
		uint64_t page = (uint64_t)offset + done;
		int weak = error > 0 ? error : is_listed(weak_pages, weak_page_count, page / page_size) ? EIO : 0;
		int failed = program_page(fd, buf + done, page, weak);
		if (failed != 0)
			return mtdsim_fail(failed);
	}
	return taken;
}
