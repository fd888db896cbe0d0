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
	unsigned long long size;	/* 0: the dump's, rounded up to whole blocks */
	unsigned long long erasesize;
	const char *bad_list;	/* as given, "0,1,5" */
	unsigned long long *bad;	/* its block numbers */
	size_t bad_count;
};

/* A dump as far as it has been read: a file is read where the PTB lies, a
 * stream (a pipe, a FIFO, standard input) from its start up to what the
 * checks need, keeping the PTB's bytes. */
struct show_dump {
	const char *name;
	int fd;
	bool stream;
	unsigned long long length;	/* of the file; of a stream, as far as read */
	unsigned char *image;	/* PTB_MIN_READ bytes from the good block, once read */
};

static bool show_listed(const struct show_partition *partition, unsigned long long block)
{
	for (size_t i = 0; i < partition->bad_count; i++)
		if (partition->bad[i] == block)
			return true;
	return false;
}

/* Parses --bad: block numbers separated by commas. */
static int show_parse_bad(struct show_partition *partition)
{
	const char *at = partition->bad_list;

	partition->bad = (unsigned long long *)calloc(strlen(at) / 2 + 1, sizeof(unsigned long long));
	if (partition->bad == NULL) {
		fprintf(stderr, "ptbtool: %s\n", strerror(ENOMEM));
		return -1;
	}
	while (*at != '\0') {
		const char *end;

		if (!ptbtool_scan_number(at, &end, &partition->bad[partition->bad_count]) ||
		    (*end != ',' && *end != '\0') || (*end == ',' && end[1] == '\0')) {
			fprintf(stderr, "ptbtool: --bad must list block numbers as 0,1,5, not %s\n",
				ptbtool_quoted(partition->bad_list, strlen(partition->bad_list)));
			return -1;
		}
		partition->bad_count++;
		at = *end == ',' ? end + 1 : end;
	}
	return 0;
}

/* Every listed block within the partition. */
static int show_check_bad(const struct show_dump *dump, const struct show_partition *partition)
{
	unsigned long long blocks = (partition->size + partition->erasesize - 1) / partition->erasesize;

	if (partition->size == 0) {
		fprintf(stderr, "ptbtool: %s: empty, so no PTB\n", dump->name);
		return -1;
	}
	for (size_t i = 0; i < partition->bad_count; i++)
		if (partition->bad[i] >= blocks) {
			fprintf(stderr, "ptbtool: bad block %llu is past the end of the partition (blocks 0 to %llu)\n",
				partition->bad[i], blocks - 1);
			return -1;
		}
	return 0;
}

/* The first block not listed bad from offset 0, before the partition's end. */
static unsigned long long show_good_block(const struct show_partition *partition, unsigned long long end)
{
	unsigned long long good = 0;

	while (good < end && show_listed(partition, good / partition->erasesize))
		good += partition->erasesize;
	return good;
}

static unsigned long long show_need(const struct show_partition *partition)
{
	return partition->erasesize > PTB_MIN_READ ? partition->erasesize : PTB_MIN_READ;
}

/* Reads up to length bytes of a stream into buf, or past them when buf is
 * NULL; returns how many came before the stream ended, or -1 after saying why. */
static long long show_stream_read(const struct show_dump *dump, unsigned char *buf, unsigned long long length)
{
	static unsigned char scrap[65536];
	unsigned long long got = 0;

	while (got < length) {
		size_t chunk = buf != NULL || length - got < sizeof(scrap) ? length - got : sizeof(scrap);
		ssize_t done = read(dump->fd, buf != NULL ? buf + got : scrap, chunk);

		if (done < 0 && errno == EINTR)
			continue;
		if (done < 0) {
			fprintf(stderr, "ptbtool: %s: %s\n", dump->name, strerror(errno));
			return -1;
		}
		if (done == 0)
			break;
		got += (unsigned long long)done;
	}
	return (long long)got;
}

/* How far into a stream the checks look: the good block's PTB, and the last
 * block listed bad, which must lie within the dump. */
static unsigned long long show_stream_want(const struct show_partition *partition, unsigned long long good)
{
	unsigned long long want = good + show_need(partition);

	for (size_t i = 0; i < partition->bad_count; i++) {
		unsigned long long block = partition->bad[i];

		if (block >= ~0ULL / partition->erasesize - 1)
			return ~0ULL;
		if ((block + 1) * partition->erasesize > want)
			want = (block + 1) * partition->erasesize;
	}
	return partition->size != 0 && partition->size < want ? partition->size : want;
}

/* A stream from its start: past the blocks ahead of the good one, the PTB's
 * bytes kept, then past the rest as far as the checks look. */
static int show_read_stream(struct show_dump *dump, const struct show_partition *partition)
{
	unsigned long long good = show_good_block(partition, ~0ULL);
	unsigned long long want = show_stream_want(partition, good);
	long long ahead, kept = 0, rest = 0;

	dump->image = (unsigned char *)malloc(PTB_MIN_READ);
	if (dump->image == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", dump->name, strerror(ENOMEM));
		return -1;
	}
	ahead = show_stream_read(dump, NULL, good < want ? good : want);
	if (ahead == (long long)good && want > good)
		kept = show_stream_read(dump, dump->image, want - good < PTB_MIN_READ ? want - good : PTB_MIN_READ);
	if (kept == (long long)PTB_MIN_READ && want > good + PTB_MIN_READ)
		rest = show_stream_read(dump, NULL, want - good - PTB_MIN_READ);
	if (ahead < 0 || kept < 0 || rest < 0)
		return -1;
	dump->length = (unsigned long long)(ahead + kept + rest);
	return 0;
}

/* Finds the first good block as the device does and fetches the image from
 * it: PTB_MIN_READ bytes, all that the fields and their run-on can reach. */
static int show_read(struct show_dump *dump, struct show_partition *partition)
{
	unsigned long long good, need = show_need(partition);
	ssize_t got;

	if (partition->size == 0)
		partition->size = (dump->length + partition->erasesize - 1) / partition->erasesize * partition->erasesize;
	if (show_check_bad(dump, partition) != 0)
		return -1;
	good = show_good_block(partition, partition->size);
	if (good >= partition->size) {
		fprintf(stderr, "ptbtool: %s: every block is bad, so no PTB\n", dump->name);
		return -1;
	}
	if (good + need > partition->size) {
		fprintf(stderr, "ptbtool: %s: partition too short: the PTB at 0x%llx needs %llu bytes, the partition ends %llu after it\n",
			dump->name, good, need, partition->size - good);
		return -1;
	}
	if (good + PTB_MIN_READ > dump->length) {
		fprintf(stderr, "ptbtool: %s: dump too short: %llu bytes, the PTB at 0x%llx needs %zu from there\n",
			dump->name, dump->length, good, PTB_MIN_READ);
		return -1;
	}
	if (dump->stream)
		return 0;
	dump->image = (unsigned char *)malloc(PTB_MIN_READ);
	if (dump->image == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", dump->name, strerror(ENOMEM));
		return -1;
	}
	do
		got = pread(dump->fd, dump->image, PTB_MIN_READ, (off_t)good);
	while (got < 0 && errno == EINTR);
	if (got != (ssize_t)PTB_MIN_READ) {
		fprintf(stderr, "ptbtool: %s: %s\n", dump->name, got < 0 ? strerror(errno) : "short read");
		return -1;
	}
	return 0;
}

static bool show_filled(const struct env_field *field, const unsigned char *image, unsigned char byte)
{
	for (size_t i = 0; i < env_room(field); i++)
		if (image[field->offset + i] != byte)
			return false;
	return true;
}

static void show_warn_text(const struct env_field *field, const unsigned char *image, const char *value)
{
	size_t room = env_room(field);
	bool runs_on = memchr(image + field->offset, '\0', room) == NULL;
	bool erased = memchr(value, 0xFF, strlen(value)) != NULL;

	if (runs_on)
		fprintf(stderr, "ptbtool: warning: %s: no terminator within its %zu bytes, the value runs on%s\n",
			field->key, room, erased ? "; erased flash (0xFF bytes) in it" : "");
	else if (erased)
		fprintf(stderr, "ptbtool: warning: %s: erased flash (0xFF bytes) in the value\n", field->key);
}

/* One line on standard error where the field holds what no factory writes. */
static void show_warn(const struct env_field *field, const unsigned char *image, const char *value)
{
	switch (field->kind) {
	case ENV_TEXT:
	case ENV_LONG_TEXT:
		if (value != NULL)
			show_warn_text(field, image, value);
		break;
	case ENV_MAC:
		if (show_filled(field, image, 0xFF))
			fprintf(stderr, "ptbtool: warning: ethaddr: erased flash, no address\n");
		else if (show_filled(field, image, 0x00))
			fprintf(stderr, "ptbtool: warning: ethaddr: all zero, no address\n");
		else if (image[field->offset] & 1)
			fprintf(stderr, "ptbtool: warning: ethaddr: multicast (first byte odd), not a device's own address\n");
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

/* Opens path, "-" for standard input, as a dump file or a stream; refuses
 * anything else by name. */
static int show_open(const char *path, struct show_dump *dump)
{
	struct stat status;

	dump->name = strcmp(path, "-") == 0 ? "standard input" : path;
	dump->fd = strcmp(path, "-") == 0 ? 0 : open(path, O_RDONLY);
	if (dump->fd < 0 || fstat(dump->fd, &status) != 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", dump->name, strerror(errno));
		return -1;
	}
	if (S_ISREG(status.st_mode)) {
		dump->length = (unsigned long long)status.st_size;
		return 0;
	}
	if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
		dump->stream = true;
		return 0;
	}
	fprintf(stderr, "ptbtool: %s: not a dump file or a pipe\n", dump->name);
	return -1;
}

static int show_dump(const char *path, int count, char **keys, struct show_partition *partition)
{
	struct show_dump dump = { path, -1, false, 0, NULL };
	int result = 1;

	for (int i = 0; i < count; i++)
		if (env_find(keys[i]) == NULL) {
			fprintf(stderr, "ptbtool: no such key: %s\n", ptbtool_quoted(keys[i], strlen(keys[i])));
			return 1;
		}
	if (show_parse_bad(partition) == 0 && show_open(path, &dump) == 0 &&
	    (!dump.stream || show_read_stream(&dump, partition) == 0) && show_read(&dump, partition) == 0)
		result = show_image(dump.image, count, keys);
	if (dump.fd > 0)
		close(dump.fd);
	free(dump.image);
	free(partition->bad);
	return result;
}

int ptbtool_show(int argc, char **argv)
{
	struct show_partition partition = { 0, 131072, "", NULL, 0 };
	int i = 1, more;

	for (; (more = ptbtool_option(argc, argv, &i)) == PTBTOOL_OPTION; i += 2) {
		if (strcmp(argv[i], "--erasesize") == 0) {
			if (ptbtool_number("--erasesize", argv[i + 1], 1, PTBTOOL_ERASESIZE_MAX, &partition.erasesize) != 0)
				return 1;
		} else if (strcmp(argv[i], "--size") == 0) {
			if (ptbtool_number("--size", argv[i + 1], 1, ~0ULL >> 1, &partition.size) != 0)
				return 1;
		} else if (strcmp(argv[i], "--bad") == 0) {
			partition.bad_list = argv[i + 1];
		} else {
			return ptbtool_usage(stderr);
		}
	}
	if (more != PTBTOOL_OPERANDS)
		return more;
	return show_dump(argv[i], argc - i - 1, argv + i + 1, &partition);
}
