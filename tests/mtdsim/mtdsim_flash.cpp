/* The simulated partition's bytes: reading them through the ECC, erasing
 * blocks, programming pages, and keeping them for the next process. */
#include "mtdsim.h"
#include "mtdsim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The partition from offset 0; past flash_length it is erased. */
static unsigned char *flash;
static size_t flash_length;
static uint32_t size;
static uint32_t erasesize;
static uint32_t writesize;
static struct mtdsim_range *uncorrectable;
static bool *spent;	/* per uncorrectable range: failed once, clean since */
static size_t uncorrectable_count;
static struct mtdsim_range *corrected;
static size_t corrected_count;
static uint32_t *weak_blocks;
static size_t weak_block_count;
static uint32_t *weak_pages;
static size_t weak_page_count;
static bool transient;
static uint32_t corrected_steps;
static uint32_t failed_steps;
static unsigned failed_reads;
static bool changed;
static char *keep_path;

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

void mtdsim_flash_attach(const struct mtdsim_device *device)
{
	free(flash);
	free(uncorrectable);
	free(spent);
	free(corrected);
	free(weak_blocks);
	free(weak_pages);
	free(keep_path);
	keep_path = NULL;
	flash = (unsigned char *)copy_of(device->image, device->image_length);
	flash_length = device->image_length;
	size = device->size;
	erasesize = device->erasesize;
	writesize = device->writesize ? device->writesize : MTDSIM_DEFAULT_WRITESIZE;
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
	transient = device->fault == MTDSIM_ECC_TRANSIENT;
	corrected_steps = MTDSIM_EARLIER_CORRECTED;
	failed_steps = MTDSIM_EARLIER_FAILED;
	failed_reads = 0;
	changed = false;
}

void mtdsim_flash_ecc_counts(uint32_t *corrected_count_out, uint32_t *failed_count_out)
{
	*corrected_count_out = corrected_steps;
	*failed_count_out = failed_steps;
}

/* Erasing or programming needs every byte of the partition in memory. */
static void whole_partition(void)
{
	if (flash_length >= size)
		return;
	unsigned char *whole = (unsigned char *)realloc(flash, size);
	if (whole == NULL)
		out_of_memory();
	memset(whole + flash_length, 0xFF, size - flash_length);
	flash = whole;
	flash_length = size;
}

const unsigned char *mtdsim_contents(size_t *length)
{
	whole_partition();
	*length = size;
	return flash;
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

/* The failing ranges' bytes in the buffer come back wrong, differently on
 * each read; under ecc-transient a range fails this once only. */
static void garble(unsigned char *buf, uint64_t offset, size_t count, uint64_t pages_start, uint64_t pages_end)
{
	unsigned char mask = (unsigned char)(1 + failed_reads++ % 255);

	for (size_t i = 0; i < uncorrectable_count; i++) {
		const struct mtdsim_range &range = uncorrectable[i];
		if (spent[i] || !overlaps(range, pages_start, pages_end))
			continue;
		uint64_t start = range.start > offset ? range.start : offset;
		for (uint64_t at = start; at < range.end && at < offset + count; at++)
			buf[at - offset] = (at < flash_length ? flash[at] : 0xFF) ^ mask;
		spent[i] = transient;
	}
}

/* The ECC reads every page the read touches, in whole steps. */
static void check_ecc(unsigned char *buf, uint64_t offset, size_t count)
{
	if (count == 0 || uncorrectable_count + corrected_count == 0)
		return;
	uint64_t pages_start = offset - offset % writesize;
	uint64_t pages_end = (offset + count + writesize - 1) / writesize * writesize;
	bool failed = false;

	if (pages_end > size)
		pages_end = size;
	for (uint64_t page = pages_start; page < pages_end; page += writesize) {
		uint64_t page_end = page + writesize < pages_end ? page + writesize : pages_end;
		for (uint64_t step = page; step < page_end; step += MTDSIM_ECC_STEP) {
			uint64_t step_end = step + MTDSIM_ECC_STEP < page_end ? step + MTDSIM_ECC_STEP : page_end;
			if (fails(step, step_end)) {
				failed_steps++;
				failed = true;
			} else if (is_corrected(step, step_end)) {
				corrected_steps++;
			}
		}
	}
	if (failed)
		garble(buf, offset, count, pages_start, pages_end);
}

/* Copies what the partition holds at offset; past the image it is erased. */
ssize_t mtdsim_flash_read(unsigned char *buf, size_t count, off_t offset)
{
	if (offset < 0)
		return mtdsim_fail(EINVAL);
	if ((uint64_t)offset >= size)
		return 0;
	if (count > size - (uint64_t)offset)
		count = size - (uint64_t)offset;
	for (size_t i = 0; i < count; i++) {
		uint64_t at = (uint64_t)offset + i;
		buf[i] = at < flash_length ? flash[at] : 0xFF;
	}
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

/* Whole blocks only, in order; a block that fails (weak, bad, or every one
 * under erase-fails) ends the erase with EIO, the blocks before it erased. */
int mtdsim_flash_erase(uint64_t start, uint64_t length)
{
	int error = mtdsim_injected(MTDSIM_MEMERASE);

	if (erasesize == 0 || start % erasesize != 0 || length % erasesize != 0 || start > size ||
	    length > size - start)
		return mtdsim_fail(EINVAL);
	for (uint64_t block = start; block < start + length; block += erasesize) {
		if (error != 0)
			return mtdsim_fail(error);
		if (is_listed(weak_blocks, weak_block_count, block / erasesize) || mtdsim_is_bad(block))
			return mtdsim_fail(EIO);
		whole_partition();
		memset(flash + block, 0xFF, erasesize);
		changed = true;
	}
	return 0;
}

/* Programming only clears bits. A weak page (or every page under
 * program-fails) ends the write with EIO, its first half programmed. */
ssize_t mtdsim_flash_program(const unsigned char *buf, size_t count, off_t offset)
{
	int error = mtdsim_injected(MTDSIM_PWRITE);
	uint32_t page_size = writesize;

	if (offset < 0 || offset % page_size != 0 || count % page_size != 0 || (uint64_t)offset > size ||
	    count > size - (uint64_t)offset)
		return mtdsim_fail(EINVAL);
	if (count > 0)
		whole_partition();
	for (size_t done = 0; done < count; done += page_size) {
		uint64_t page = (uint64_t)offset + done;
		bool weak = error != 0 || is_listed(weak_pages, weak_page_count, page / page_size);
		size_t programmed = weak ? page_size / 2 : page_size;
		for (size_t i = 0; i < programmed; i++)
			flash[page + i] &= buf[done + i];
		changed = true;
		if (weak)
			return mtdsim_fail(error != 0 ? error : EIO);
	}
	return count;
}

void mtdsim_flash_keep_in(const char *path)
{
	free(keep_path);
	keep_path = strdup(path);
}

/* Raw system calls, as the log's: the device's own file is no device call. */
void mtdsim_flash_save(void)
{
	size_t written = 0;

	if (!changed || keep_path == NULL)
		return;
	changed = false;
	whole_partition();
	int fd = syscall(SYS_openat, AT_FDCWD, keep_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	while (fd >= 0 && written < size) {
		long put = syscall(SYS_write, fd, flash + written, size - written);
		if (put <= 0)
			break;
		written += put;
	}
	if (fd >= 0)
		syscall(SYS_close, fd);
	if (written < size)
		fprintf(stderr, "mtdsim: can't write the image %s\n", keep_path);
}
