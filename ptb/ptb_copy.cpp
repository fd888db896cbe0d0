/* The PTB's copy in the partition's last good blocks: finding it, telling
 * whether its blocks are ours, writing it in an order that a power cut at
 * any step leaves recognisable, and comparing the PTB with it. */
#include "ptb/ptb_copy.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_block.h"
#include "ptb/ptb_write.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* The record block's header, at its start: */
static const char COPY_MAGIC[8] = { 'P', 'T', 'B', 'C', 'O', 'P', 'Y', '1' };
enum {
	HEADER_MAGIC = 0,
	HEADER_ERASESIZE = 8,
	HEADER_WRITESIZE = 12,
	HEADER_LENGTH = 16,	/* the write region's bytes */
	HEADER_BELONGS = 20,
	HEADER_SEQUENCE = 24,
	HEADER_CHANGED = 28,
	HEADER_DATA_COUNT = 32,
	HEADER_DATA = 36,	/* PTB_COPY_MAX_BLOCKS offsets */
	HEADER_CRC = HEADER_DATA + 4 * PTB_COPY_MAX_BLOCKS,
	HEADER_SIZE = HEADER_CRC + 4,
};
/* ... and the commit, one unit on, programmed last. */
static const char DONE_MAGIC[8] = { 'P', 'T', 'B', 'D', 'O', 'N', 'E', '1' };
enum {
	DONE_MAGIC_AT = 0,
	DONE_SEQUENCE = 8,
	DONE_CRC = 12,		/* over the header and the copy's bytes */
	DONE_OWN_CRC = 16,	/* over the commit's fields before it */
	DONE_SIZE = 20,
};

/* Smallest header read at once: whole pages of at least 256 bytes. */
static const size_t COPY_UNIT_MIN = 256;

unsigned ptb_crc32(unsigned crc, const unsigned char *bytes, size_t length)
{
	crc = ~crc;
	for (size_t i = 0; i < length; i++) {
		crc ^= bytes[i];
		for (int bit = 0; bit < 8; bit++)
			crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1)));
	}
	return ~crc;
}

static void put32(unsigned char *at, unsigned long long value)
{
	for (int i = 0; i < 4; i++)
		at[i] = (unsigned char)(value >> (8 * i));
}

static unsigned get32(const unsigned char *at)
{
	return (unsigned)at[0] | (unsigned)at[1] << 8 | (unsigned)at[2] << 16 | (unsigned)at[3] << 24;
}

static size_t copy_unit(const struct mtd_info_user *info)
{
	size_t page = info->writesize > 0 ? info->writesize : 1;

	return (COPY_UNIT_MIN + page - 1) / page * page;
}

bool ptb_erased(const unsigned char *bytes, size_t length)
{
	for (size_t i = 0; i < length; i++)
		if (bytes[i] != 0xFF)
			return false;
	return true;
}

const char *ptb_values_erased(const unsigned char *image)
{
	for (size_t i = 0; i < env_field_count; i++)
		if (env_fields[i].kind != ENV_NO_VALUE &&
		    ptb_erased(image + env_fields[i].offset, env_room(&env_fields[i])))
			return env_fields[i].key;
	return NULL;
}

unsigned long long ptb_copy_start(const struct ptb_copy *copy)
{
	return copy->data[0];
}

/* The last good blocks: the record block, and the data blocks before it.
 * Returns 1 when there are enough of them past ptbenv's read from
 * ptb_offset, 0 when not, -1 when the driver fails. */
static int copy_blocks(int fd, const struct mtd_info_user *info, unsigned long long ptb_offset, struct ptb_copy *copy,
		       struct ptb_failure *failure)
{
	unsigned found = 0, wanted = (unsigned)(ptb_write_length(info) / info->erasesize) + 1;
	long long at = (long long)(info->size / info->erasesize * info->erasesize) - (long long)info->erasesize;
	int good = 0;

	if (wanted - 1 > PTB_COPY_MAX_BLOCKS || 2 * copy_unit(info) > info->erasesize)
		return 0;
	while (found < wanted && (good = ptb_good_block(fd, info, &at, -1, true)) > 0) {
		if (found == 0)
			copy->record = (unsigned long long)at;
		else
			copy->data[wanted - 1 - found] = (unsigned long long)at;
		found++;
		at -= (long long)info->erasesize;
	}
	if (good < 0)
		return ptb_failed(failure, PTB_ASKING_MARK, (unsigned long long)at);
	copy->data_count = wanted - 1;
	return found == wanted && copy->data[0] >= ptb_offset + ptb_read_length(info->erasesize);
}

/* Reads length bytes at at; *clean when the ECC corrected all of them.
 * false when the read failed, failure telling how. */
static bool copy_read(int fd, unsigned char *buf, size_t length, unsigned long long at, bool *clean,
		      struct ptb_failure *failure)
{
	struct ptb_ecc ecc = {};

	if (!ptb_read_counted(fd, buf, length, (off_t)at, &ecc)) {
		ptb_failed(failure, PTB_READING, at);
		return false;
	}
	*clean = ecc.failed == 0;
	return true;
}

/* The header's fields, when it checks and names the blocks found. */
static bool header_checks(const struct mtd_info_user *info, const unsigned char *header, struct ptb_copy *copy)
{
	if (memcmp(header + HEADER_MAGIC, COPY_MAGIC, sizeof(COPY_MAGIC)) != 0 ||
	    get32(header + HEADER_CRC) != ptb_crc32(0, header, HEADER_CRC) ||
	    get32(header + HEADER_ERASESIZE) != info->erasesize || get32(header + HEADER_WRITESIZE) != info->writesize ||
	    get32(header + HEADER_LENGTH) != ptb_write_length(info) || get32(header + HEADER_DATA_COUNT) != copy->data_count)
		return false;
	for (unsigned i = 0; i < copy->data_count; i++)
		if (get32(header + HEADER_DATA + 4 * (size_t)i) != copy->data[i])
			return false;
	copy->belongs = get32(header + HEADER_BELONGS);
	copy->sequence = get32(header + HEADER_SEQUENCE);
	copy->changed = get32(header + HEADER_CHANGED);
	return true;
}

static bool commit_checks(const unsigned char *header, const unsigned char *done, const unsigned char *bytes,
			  size_t length, unsigned sequence)
{
	return memcmp(done + DONE_MAGIC_AT, DONE_MAGIC, sizeof(DONE_MAGIC)) == 0 &&
	       get32(done + DONE_OWN_CRC) == ptb_crc32(0, done, DONE_OWN_CRC) && get32(done + DONE_SEQUENCE) == sequence &&
	       get32(done + DONE_CRC) == ptb_crc32(ptb_crc32(0, header, HEADER_SIZE), bytes, length);
}

/* The record block's header, then the commit and the rest, into buf. */
static int copy_read_record(int fd, const struct mtd_info_user *info, struct ptb_copy *copy, unsigned char *buf,
			    bool *done_clean, bool *rest_erased, struct ptb_failure *failure)
{
	size_t unit = copy_unit(info);
	bool rest_clean;

	if (!copy_read(fd, buf + unit, unit, copy->record + unit, done_clean, failure) ||
	    !copy_read(fd, buf + 2 * unit, info->erasesize - 2 * unit, copy->record + 2 * unit, &rest_clean, failure))
		return -1;
	*rest_erased = rest_clean && ptb_erased(buf + 2 * unit, info->erasesize - 2 * unit);
	copy->record_erased = copy->record_erased && *done_clean && *rest_erased && ptb_erased(buf, 2 * unit);
	return 0;
}

/* What the blocks found hold, the copy's bytes read into region; blocks
 * that no header names are read only as far as they show erased flash. */
static int copy_judge(int fd, const struct mtd_info_user *info, struct ptb_copy *copy, unsigned char *region,
		      unsigned char *record, bool to_write, struct ptb_failure *failure)
{
	size_t unit = copy_unit(info);
	bool data_clean = true, data_erased = true, header_clean, done_clean, rest_erased;

	if (!copy_read(fd, record, unit, copy->record, &header_clean, failure))
		return -1;
	copy->header_checks = header_clean && header_checks(info, record, copy);
	copy->record_erased = header_clean;
	copy->holds = PTB_COPY_FOREIGN;
	if (!copy->header_checks && !to_write)
		return 0;
	for (unsigned i = 0; i < copy->data_count && (data_erased || copy->header_checks); i++) {
		bool clean;
		unsigned char *bytes = region + (size_t)i * info->erasesize;

		if (!copy_read(fd, bytes, info->erasesize, copy->data[i], &clean, failure))
			return -1;
		copy->data_erased[i] = clean && ptb_erased(bytes, info->erasesize);
		data_clean = data_clean && clean;
		data_erased = data_erased && copy->data_erased[i];
	}
	if (!data_erased && !copy->header_checks)
		return 0;
	if (copy_read_record(fd, info, copy, record, &done_clean, &rest_erased, failure) != 0)
		return -1;
	if (copy->header_checks && data_clean && done_clean &&
	    commit_checks(record, record + unit, region, ptb_write_length(info), copy->sequence))
		copy->holds = PTB_COPY_VALID;
	/* A header torn as it was programmed still leaves the rest erased. */
	else if (copy->header_checks || (done_clean && ptb_erased(record + unit, unit) && rest_erased))
		copy->holds = PTB_COPY_FREE;
	return 0;
}

int ptb_copy_find(int fd, const struct mtd_info_user *info, unsigned long long ptb_offset, bool to_write,
		  struct ptb_copy *copy, struct ptb_failure *failure)
{
	unsigned char *region, *record;
	int room, status = -1;

	memset(copy, 0, sizeof(*copy));
	room = copy_blocks(fd, info, ptb_offset, copy, failure);
	if (room <= 0) {
		copy->holds = PTB_COPY_NO_ROOM;
		return room;
	}
	region = (unsigned char *)malloc(ptb_write_length(info));
	record = (unsigned char *)malloc(info->erasesize);
	if (region == NULL || record == NULL) {
		errno = ENOMEM;
		ptb_failed(failure, PTB_READING_COPY, copy->data[0]);
	} else {
		status = copy_judge(fd, info, copy, region, record, to_write, failure);
	}
	if (status == 0 && copy->holds == PTB_COPY_VALID)
		copy->bytes = region;
	else
		free(region);
	free(record);
	return status;
}

static void copy_header(const struct mtd_info_user *info, const struct ptb_copy *copy, unsigned long long belongs,
			unsigned sequence, unsigned changed, unsigned char *header)
{
	memset(header, 0xFF, copy_unit(info));
	memcpy(header + HEADER_MAGIC, COPY_MAGIC, sizeof(COPY_MAGIC));
	put32(header + HEADER_ERASESIZE, info->erasesize);
	put32(header + HEADER_WRITESIZE, info->writesize);
	put32(header + HEADER_LENGTH, ptb_write_length(info));
	put32(header + HEADER_BELONGS, belongs);
	put32(header + HEADER_SEQUENCE, sequence);
	put32(header + HEADER_CHANGED, changed);
	put32(header + HEADER_DATA_COUNT, copy->data_count);
	for (unsigned i = 0; i < PTB_COPY_MAX_BLOCKS; i++)
		put32(header + HEADER_DATA + 4 * (size_t)i, i < copy->data_count ? copy->data[i] : 0);
	put32(header + HEADER_CRC, ptb_crc32(0, header, HEADER_CRC));
}

static void copy_commit(const struct mtd_info_user *info, const unsigned char *header, const unsigned char *image,
			unsigned sequence, unsigned char *done)
{
	memset(done, 0xFF, copy_unit(info));
	memcpy(done + DONE_MAGIC_AT, DONE_MAGIC, sizeof(DONE_MAGIC));
	put32(done + DONE_SEQUENCE, sequence);
	put32(done + DONE_CRC, ptb_crc32(ptb_crc32(0, header, HEADER_SIZE), image, ptb_write_length(info)));
	put32(done + DONE_OWN_CRC, ptb_crc32(0, done, DONE_OWN_CRC));
}

static int copy_erase(int fd, const struct mtd_info_user *info, unsigned long long at, struct ptb_failure *failure)
{
	return ptb_block_erase(fd, info, at) ? 0 : ptb_failed(failure, PTB_ERASING_COPY, at);
}

/* Erases what is not erased, data blocks first while the header still names
 * them; then the header, the data, the commit. */
static int copy_program(int fd, const struct mtd_info_user *info, const unsigned char *units,
			const struct ptb_copy *copy, const unsigned char *image, struct ptb_failure *failure)
{
	size_t unit = copy_unit(info);

	for (unsigned i = 0; i < copy->data_count; i++)
		if (!copy->data_erased[i] && copy_erase(fd, info, copy->data[i], failure) != 0)
			return -1;
	if (!copy->record_erased && copy_erase(fd, info, copy->record, failure) != 0)
		return -1;
	if (ptb_program(fd, info, copy->record, units, unit, failure) != 0)
		return -1;
	for (unsigned i = 0; i < copy->data_count; i++)
		if (ptb_program(fd, info, copy->data[i], image + (size_t)i * info->erasesize, info->erasesize, failure) != 0)
			return -1;
	return ptb_program(fd, info, copy->record + unit, units + unit, unit, failure);
}

int ptb_copy_write(int fd, const struct mtd_info_user *info, const struct ptb_copy *copy,
		   const unsigned char *image, unsigned long long belongs, unsigned changed, struct ptb_failure *failure)
{
	size_t unit = copy_unit(info);
	unsigned sequence = copy->header_checks ? copy->sequence + 1 : 1;
	unsigned char *units = (unsigned char *)malloc(2 * unit);
	struct ptb_copy back;
	int status = -1;

	if (units == NULL) {
		errno = ENOMEM;
		return ptb_failed(failure, PTB_WRITING_COPY, copy->data[0]);
	}
	copy_header(info, copy, belongs, sequence, changed, units);
	copy_commit(info, units, image, sequence, units + unit);
	if (copy_program(fd, info, units, copy, image, failure) == 0 && ptb_copy_find(fd, info, belongs, false, &back, failure) == 0) {
		if (back.holds == PTB_COPY_VALID && back.sequence == sequence &&
		    memcmp(back.bytes, image, ptb_write_length(info)) == 0)
			status = 0;
		else
			ptb_failed(failure, PTB_COPY_READ_BACK, copy->data[0]);
		free(back.bytes);
	}
	free(units);
	return status;
}

/* Whether the PTB's block, read into bytes, shows a write begun: it is the
 * copy's, or a unit of it erased or unreadable where the copy's is not. */
static bool compare_begun(const unsigned char *bytes, const unsigned char *copied, size_t length, size_t unit,
			  bool clean)
{
	if (!clean || memcmp(bytes, copied, length) == 0)
		return true;
	for (size_t at = 0; at < length; at += unit) {
		size_t part = length - at < unit ? length - at : unit;
		if (ptb_erased(bytes + at, part) && !ptb_erased(copied + at, part))
			return true;
	}
	return false;
}

int ptb_copy_compare(int fd, const struct mtd_info_user *info, const struct ptb_copy *copy,
		     unsigned long long offset, struct ptb_failure *failure)
{
	size_t blocks = ptb_write_length(info) / info->erasesize;
	unsigned char *bytes = (unsigned char *)malloc(info->erasesize);
	bool same = true, begun = false;

	if (bytes == NULL) {
		errno = ENOMEM;
		return ptb_failed(failure, PTB_READING_PTB, offset);
	}
	for (size_t b = 0; b < blocks; b++) {
		const unsigned char *copied = copy->bytes + b * info->erasesize;
		bool clean;

		if (!copy_read(fd, bytes, info->erasesize, offset + b * info->erasesize, &clean, failure)) {
			free(bytes);
			return -1;
		}
		same = same && clean && memcmp(bytes, copied, info->erasesize) == 0;
		if ((copy->changed >> b & 1) != 0)
			begun = begun || compare_begun(bytes, copied, info->erasesize, copy_unit(info), clean);
	}
	free(bytes);
	return same ? PTB_COPY_SAME : begun ? PTB_COPY_TORN : PTB_COPY_NOT_BEGUN;
}
