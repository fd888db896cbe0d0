/* Sets the simulated partition up from the environment when preloaded into a process. */
#include "mtdsim.h"
#include "mtdsim_internal.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

[[noreturn]] static void die(const char *what, const char *value)
{
	fprintf(stderr, "mtdsim: bad %s: %s\n", what, value);
	exit(125);
}

/* ptbtool's one syntax: decimal, or hexadecimal after 0x; a leading zero is
 * still decimal, so that the same --bad list means the same blocks to both. */
static uint64_t parse_number(const char *name, const char *text, uint64_t most)
{
	bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
	const char *digits = hex ? text + 2 : text;
	char *end;
	errno = 0;
	unsigned long long value = strtoull(digits, &end, hex ? 16 : 10);

	if (errno != 0 || end == digits || *end != '\0' || value > most || !isxdigit((unsigned char)digits[0]))
		die(name, text);
	return value;
}

static uint32_t parse_u32(const char *name, const char *text)
{
	return (uint32_t)parse_number(name, text, UINT32_MAX);
}

static enum mtdsim_fault parse_fault(const char *text)
{
	for (int f = 0; f < MTDSIM_FAULT_COUNT; f++)
		if (strcmp(text, mtdsim_fault_name((enum mtdsim_fault)f)) == 0)
			return (enum mtdsim_fault)f;
	die("MTDSIM_FAULT", text);
	return MTDSIM_NO_FAULT;
}

static size_t image_size(const char *path)
{
	struct stat status;

	if (stat(path, &status) != 0 || !S_ISREG(status.st_mode))
		die("MTDSIM_IMAGE", path);
	return status.st_size;
}

/* MTDSIM_BAD and the other lists of numbers: "3,7,12", or empty for none. */
static uint32_t *parse_numbers(const char *name, size_t *count)
{
	const char *set = getenv(name);
	const char *text = set ? set : "";
	uint32_t *numbers = (uint32_t *)malloc(sizeof(uint32_t) * (strlen(text) / 2 + 1));
	char *list = strdup(text);
	char *saved;

	*count = 0;
	if (numbers == NULL || list == NULL)
		die(name, text);
	for (char *item = strtok_r(list, ",", &saved); item; item = strtok_r(NULL, ",", &saved))
		numbers[(*count)++] = parse_u32(name, item);
	free(list);
	return numbers;
}

/* MTDSIM_UNCORRECTABLE, MTDSIM_CORRECTED: "START-END,START-END", END exclusive. */
static struct mtdsim_range *parse_ranges(const char *name, size_t *count)
{
	const char *set = getenv(name);
	const char *text = set ? set : "";
	struct mtdsim_range *ranges = (struct mtdsim_range *)malloc(sizeof(struct mtdsim_range) * (strlen(text) / 4 + 1));
	char *list = strdup(text);
	char *saved;

	*count = 0;
	if (ranges == NULL || list == NULL)
		die(name, text);
	for (char *item = strtok_r(list, ",", &saved); item; item = strtok_r(NULL, ",", &saved)) {
		char *dash = strchr(item, '-');
		if (dash == NULL)
			die(name, item);
		*dash = '\0';
		ranges[*count].start = parse_number(name, item, UINT64_MAX);
		ranges[*count].end = parse_number(name, dash + 1, UINT64_MAX);
		if (ranges[*count].end < ranges[*count].start)
			die(name, text);
		(*count)++;
	}
	free(list);
	return ranges;
}

/* A dump of part of a block still makes a partition of whole blocks. */
static uint32_t whole_blocks(size_t length, uint32_t erasesize)
{
	uint64_t size = length;

	if (erasesize != 0 && size % erasesize != 0)
		size += erasesize - size % erasesize;
	return size > UINT32_MAX ? UINT32_MAX : (uint32_t)size;
}

__attribute__((constructor)) static void mtdsim_from_environment(void)
{
	const char *path = getenv("MTDSIM_IMAGE");
	const char *size = getenv("MTDSIM_SIZE");
	const char *erasesize = getenv("MTDSIM_ERASESIZE");
	const char *writesize = getenv("MTDSIM_WRITESIZE");
	const char *fault = getenv("MTDSIM_FAULT");
	const char *cut_after = getenv("MTDSIM_CUT_AFTER");
	const char *cut_half = getenv("MTDSIM_CUT_HALF");
	struct mtdsim_device device = {};

	if (path == NULL)
		return;
	size_t length = image_size(path);
	uint32_t *bad_blocks = parse_numbers("MTDSIM_BAD", &device.bad_count);
	uint32_t *weak_blocks = parse_numbers("MTDSIM_WEAK_BLOCKS", &device.weak_block_count);
	uint32_t *weak_pages = parse_numbers("MTDSIM_WEAK_PAGES", &device.weak_page_count);
	struct mtdsim_range *uncorrectable = parse_ranges("MTDSIM_UNCORRECTABLE", &device.uncorrectable_count);
	struct mtdsim_range *corrected = parse_ranges("MTDSIM_CORRECTED", &device.corrected_count);
	device.bad_blocks = bad_blocks;
	device.weak_blocks = weak_blocks;
	device.weak_pages = weak_pages;
	device.uncorrectable = uncorrectable;
	device.corrected = corrected;
	device.erasesize = erasesize ? parse_u32("MTDSIM_ERASESIZE", erasesize) : 128 * 1024;
	device.writesize = writesize ? parse_u32("MTDSIM_WRITESIZE", writesize) : 0;
	device.size = size ? parse_u32("MTDSIM_SIZE", size) : whole_blocks(length, device.erasesize);
	device.fault = fault ? parse_fault(fault) : MTDSIM_NO_FAULT;
	device.cut_after = cut_after && *cut_after ? parse_u32("MTDSIM_CUT_AFTER", cut_after) : 0;
	device.cut_half = cut_half && *cut_half && parse_u32("MTDSIM_CUT_HALF", cut_half) != 0;
	mtdsim_attach_file(&device, path);
	free(bad_blocks);
	free(weak_blocks);
	free(weak_pages);
	free(uncorrectable);
	free(corrected);
}
