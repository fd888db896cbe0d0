/* Sets the simulated partition up from the environment when preloaded into a process. */
#include "mtdsim.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

[[noreturn]] static void die(const char *what, const char *value)
{
	fprintf(stderr, "mtdsim: bad %s: %s\n", what, value);
	exit(125);
}

static uint32_t parse_u32(const char *name, const char *text)
{
	char *end;
	errno = 0;
	unsigned long long value = strtoull(text, &end, 0);

	if (errno != 0 || end == text || *end != '\0' || value > UINT32_MAX || text[0] == '-')
		die(name, text);
	return (uint32_t)value;
}

static enum mtdsim_fault parse_fault(const char *text)
{
	for (int f = 0; f < MTDSIM_FAULT_COUNT; f++)
		if (strcmp(text, mtdsim_fault_name((enum mtdsim_fault)f)) == 0)
			return (enum mtdsim_fault)f;
	die("MTDSIM_FAULT", text);
	return MTDSIM_NO_FAULT;
}

static unsigned char *load_image(const char *path, size_t *length)
{
	FILE *file = fopen(path, "rb");
	unsigned char *bytes = NULL;
	long size;

	if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (size = ftell(file)) < 0 ||
	    fseek(file, 0, SEEK_SET) != 0)
		die("MTDSIM_IMAGE", path);
	bytes = (unsigned char *)malloc(size ? size : 1);
	if (bytes == NULL || fread(bytes, 1, size, file) != (size_t)size)
		die("MTDSIM_IMAGE", path);
	fclose(file);
	*length = size;
	return bytes;
}

/* MTDSIM_BAD: "3,7,12", or empty for none. */
static uint32_t *parse_bad_blocks(const char *text, size_t *count)
{
	uint32_t *blocks = (uint32_t *)malloc(sizeof(uint32_t) * (strlen(text) / 2 + 1));
	char *list = strdup(text);
	char *saved;

	*count = 0;
	if (blocks == NULL || list == NULL)
		die("MTDSIM_BAD", text);
	for (char *item = strtok_r(list, ",", &saved); item; item = strtok_r(NULL, ",", &saved))
		blocks[(*count)++] = parse_u32("MTDSIM_BAD", item);
	free(list);
	return blocks;
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
	const char *bad = getenv("MTDSIM_BAD");
	const char *fault = getenv("MTDSIM_FAULT");
	struct mtdsim_device device = {};

	if (path == NULL)
		return;
	unsigned char *image = load_image(path, &device.image_length);
	uint32_t *bad_blocks = parse_bad_blocks(bad ? bad : "", &device.bad_count);
	device.image = image;
	device.bad_blocks = bad_blocks;
	device.erasesize = erasesize ? parse_u32("MTDSIM_ERASESIZE", erasesize) : 128 * 1024;
	device.size = size ? parse_u32("MTDSIM_SIZE", size) : whole_blocks(device.image_length, device.erasesize);
	device.fault = fault ? parse_fault(fault) : MTDSIM_NO_FAULT;
	mtdsim_attach(&device);
	free(image);
	free(bad_blocks);
}
