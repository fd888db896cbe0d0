/* ptbtool show: prints the parameters of a PTB image or partition dump as
 * ptbenv prints them on a device holding that dump, and warns where a value
 * is not what a factory writes. */
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* The partition a dump is taken from: its geometry and bad blocks. */
struct show_partition {
	unsigned long long size;
	unsigned long long erasesize;
	const char *bad;	/* block numbers, "0,1,5" */
	unsigned long long dumped;	/* bytes of it in the dump */
};

/* Whether block is in the list; the list has been checked already. */
static bool show_listed(const char *list, unsigned long long block)
{
	while (*list != '\0') {
		char *end;

		if (strtoull(list, &end, 10) == block)
			return true;
		list = *end == ',' ? end + 1 : end;
	}
	return false;
}

/* Every entry a block number within the partition. */
static int show_check_bad(const struct show_partition *partition)
{
	const char *list = partition->bad;
	unsigned long long blocks = (partition->size + partition->erasesize - 1) / partition->erasesize;

	while (*list != '\0') {
		char *end;
		unsigned long long block;

		errno = 0;
		block = strtoull(list, &end, 10);
		if (*list < '0' || *list > '9' || errno != 0 || (*end != ',' && *end != '\0') ||
		    (*end == ',' && end[1] == '\0')) {
			fprintf(stderr, "ptbtool: --bad must list block numbers as 0,1,5, not '%s'\n", partition->bad);
			return -1;
		}
		if (block >= blocks) {
			fprintf(stderr, "ptbtool: bad block %llu is past the end of the partition (blocks 0 to %llu)\n",
				block, blocks - 1);
			return -1;
		}
		list = *end == ',' ? end + 1 : end;
	}
	return 0;
}

/* Finds the first good block as the device does and reads the image from it:
 * PTB_MIN_READ bytes, all that the fields and their run-on can reach. */
static unsigned char *show_read(const char *path, int fd, const struct show_partition *partition)
{
	unsigned long long good = 0, need = partition->erasesize > PTB_MIN_READ ? partition->erasesize : PTB_MIN_READ;
	unsigned char *image;
	ssize_t got;

	while (good < partition->size && show_listed(partition->bad, good / partition->erasesize))
		good += partition->erasesize;
	if (partition->size == 0) {
		fprintf(stderr, "ptbtool: %s: empty, so no PTB\n", path);
		return NULL;
	}
	if (good >= partition->size) {
		fprintf(stderr, "ptbtool: %s: every block is bad, so no PTB\n", path);
		return NULL;
	}
	if (good + need > partition->size) {
		fprintf(stderr, "ptbtool: %s: partition too short: the PTB at 0x%llx needs %llu bytes, the partition ends %llu after it\n",
			path, good, need, partition->size - good);
		return NULL;
	}
	if (good + PTB_MIN_READ > partition->dumped) {
		fprintf(stderr, "ptbtool: %s: dump too short: %llu bytes, the PTB at 0x%llx needs %zu from there\n",
			path, partition->dumped, good, PTB_MIN_READ);
		return NULL;
	}
	image = (unsigned char *)malloc(PTB_MIN_READ);
	if (image == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, strerror(ENOMEM));
		return NULL;
	}
	do
		got = pread(fd, image, PTB_MIN_READ, (off_t)good);
	while (got < 0 && errno == EINTR);
	if (got != (ssize_t)PTB_MIN_READ) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, got < 0 ? strerror(errno) : "short read");
		free(image);
		return NULL;
	}
	return image;
}

static bool show_filled(const struct env_field *field, const unsigned char *image, unsigned char byte)
{
	for (size_t i = 0; i < env_room(field); i++)
		if (image[field->offset + i] != byte)
			return false;
	return true;
}

/* One line on standard error where the field holds what no factory writes. */
static void show_warn(const struct env_field *field, const unsigned char *image, const char *value)
{
	const unsigned char *at = image + field->offset;
	size_t room = env_room(field);
	bool runs_on, erased;

	switch (field->kind) {
	case ENV_TEXT:
	case ENV_LONG_TEXT:
		if (value == NULL)
			return;
		runs_on = memchr(at, '\0', room) == NULL;
		erased = strpbrk(value, "\xFF") != NULL;
		if (runs_on)
			fprintf(stderr, "ptbtool: warning: %s: no terminator within its %zu bytes, the value runs on%s\n",
				field->key, room, erased ? "; erased flash (0xFF bytes) in it" : "");
		else if (erased)
			fprintf(stderr, "ptbtool: warning: %s: erased flash (0xFF bytes) in the value\n", field->key);
		break;
	case ENV_MAC:
		if (show_filled(field, image, 0xFF))
			fprintf(stderr, "ptbtool: warning: ethaddr: erased flash, no address\n");
		else if (show_filled(field, image, 0x00))
			fprintf(stderr, "ptbtool: warning: ethaddr: all zero, no address\n");
		break;
	case ENV_DIGIT:
		if (show_filled(field, image, 0xFF))
			fprintf(stderr, "ptbtool: warning: %s: erased flash (0xFF)\n", field->key);
		break;
	case ENV_NO_VALUE:
		break;
	}
}

static void show_field(const struct env_field *field, const unsigned char *image)
{
	const char *value = env_render(field, image);

	if (value != NULL)
		printf("%s:%s\n", field->key, value);
	/* Each warning after its value, so the two read together. */
	fflush(stdout);
	show_warn(field, image, value);
}

/* Prints the keys named, or every key in lookup order. */
static int show_image(const unsigned char *image, int count, char **keys)
{
	if (count == 0)
		for (size_t i = 0; i < env_field_count; i++)
			show_field(&env_fields[i], image);
	for (int i = 0; i < count; i++)
		show_field(env_find(keys[i]), image);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		fprintf(stderr, "ptbtool: standard output: %s\n", strerror(errno));
		return 1;
	}
	return 0;
}

static int show_open(const char *path, int count, char **keys, const struct show_partition *given)
{
	struct show_partition partition = *given;
	struct stat status;
	unsigned char *image;
	int fd, result;

	for (int i = 0; i < count; i++)
		if (env_find(keys[i]) == NULL) {
			fprintf(stderr, "ptbtool: no such key: %s\n", keys[i]);
			return 1;
		}
	fd = open(path, O_RDONLY);
	if (fd < 0 || fstat(fd, &status) != 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, strerror(errno));
		if (fd >= 0)
			close(fd);
		return 1;
	}
	/* Like the simulated device: the dump rounded up to whole blocks. */
	partition.dumped = (unsigned long long)status.st_size;
	if (partition.size == 0)
		partition.size = (partition.dumped + partition.erasesize - 1) / partition.erasesize * partition.erasesize;
	image = show_check_bad(&partition) == 0 ? show_read(path, fd, &partition) : NULL;
	close(fd);
	if (image == NULL)
		return 1;
	result = show_image(image, count, keys);
	free(image);
	return result;
}

int ptbtool_show(int argc, char **argv)
{
	struct show_partition partition = { 0, 131072, "", 0 };
	int i = 1, more;

	for (; (more = ptbtool_option(argc, argv, &i)) == PTBTOOL_OPTION; i += 2) {
		if (strcmp(argv[i], "--erasesize") == 0) {
			if (ptbtool_number("--erasesize", argv[i + 1], 1, PTBTOOL_ERASESIZE_MAX, &partition.erasesize) != 0)
				return 1;
		} else if (strcmp(argv[i], "--size") == 0) {
			if (ptbtool_number("--size", argv[i + 1], 1, ~0ULL >> 1, &partition.size) != 0)
				return 1;
		} else if (strcmp(argv[i], "--bad") == 0) {
			partition.bad = argv[i + 1];
		} else {
			return ptbtool_usage(stderr);
		}
	}
	if (more != PTBTOOL_OPERANDS)
		return more;
	return show_open(argv[i], argc - i - 1, argv + i + 1, &partition);
}
