/* Reading the PTB out of a partition dump, a file or a stream, as a device
 * holding that dump would: the first block not listed bad, and the checks
 * that the dump and the partition are long enough for it. */
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static bool dump_listed(const struct dump_partition *partition, unsigned long long block)
{
	for (size_t i = 0; i < partition->bad_count; i++)
		if (partition->bad[i] == block)
			return true;
	return false;
}

/* Parses --bad: block numbers separated by commas. */
int dump_parse_bad(struct dump_partition *partition)
{
	const char *at = partition->bad_list;

	partition->bad = (unsigned long long *)calloc(strlen(at) / 2 + 1, sizeof(unsigned long long));
	if (partition->bad == NULL)
		return ptbtool_no_memory();
	while (*at != '\0') {
		const char *end;

		if (!ptbtool_scan_number(at, &end, &partition->bad[partition->bad_count]) ||
		    (*end != ',' && *end != '\0') || (*end == ',' && end[1] == '\0')) {
			free(partition->bad);
			partition->bad = NULL;
			return ptbtool_error(0, "--bad must list block numbers as 0,1,5, not %s",
					     ptbtool_quoted(partition->bad_list, strlen(partition->bad_list)));
		}
		partition->bad_count++;
		at = *end == ',' ? end + 1 : end;
	}
	return 0;
}

/* Every listed block within the partition. */
static int dump_check_bad(const struct dump_source *dump, const struct dump_partition *partition)
{
	unsigned long long blocks = (partition->size + partition->erasesize - 1) / partition->erasesize;

	if (partition->size == 0)
		return ptbtool_error(0, "%s: empty, so no PTB", dump->name);
	for (size_t i = 0; i < partition->bad_count; i++)
		if (partition->bad[i] >= blocks)
			return ptbtool_error(0, "bad block %llu is past the end of the partition (blocks 0 to %llu)",
					     partition->bad[i], blocks - 1);
	return 0;
}

/* The first block not listed bad from offset 0, before the partition's end. */
static unsigned long long dump_good_block(const struct dump_partition *partition, unsigned long long end)
{
	unsigned long long good = 0;

	while (good < end && dump_listed(partition, good / partition->erasesize))
		good += partition->erasesize;
	return good;
}

/* Reads up to length bytes of a stream into buf, or past them when buf is
 * NULL; returns how many came before the stream ended, or -1 after saying why. */
static long long dump_stream_read(const struct dump_source *dump, unsigned char *buf, unsigned long long length)
{
	static unsigned char scrap[65536];
	unsigned long long got = 0;

	while (got < length) {
		size_t chunk = buf != NULL || length - got < sizeof(scrap) ? length - got : sizeof(scrap);
		ssize_t done = file_read_all(dump->fd, buf != NULL ? buf + got : scrap, chunk, -1);

		if (done < 0)
			return ptbtool_error(errno, "%s", dump->name);
		got += (unsigned long long)done;
		if ((size_t)done < chunk)
			break;
	}
	return (long long)got;
}

/* How far into a stream the checks look: the good block's PTB, and the last
 * block listed bad, which must lie within the dump. */
static unsigned long long dump_stream_want(const struct dump_partition *partition, unsigned long long good)
{
	unsigned long long want = good + ptb_read_length(partition->erasesize);

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
static int dump_read_stream(struct dump_source *dump, const struct dump_partition *partition)
{
	unsigned long long good = dump_good_block(partition, ~0ULL);
	unsigned long long want = dump_stream_want(partition, good);
	long long ahead, kept = 0, rest = 0;

	ahead = dump_stream_read(dump, NULL, good < want ? good : want);
	if (ahead == (long long)good && want > good)
		kept = dump_stream_read(dump, dump->image, want - good < PTB_MIN_READ ? want - good : PTB_MIN_READ);
	if (kept == (long long)PTB_MIN_READ && want > good + PTB_MIN_READ)
		rest = dump_stream_read(dump, NULL, want - good - PTB_MIN_READ);
	if (ahead < 0 || kept < 0 || rest < 0)
		return -1;
	dump->length = (unsigned long long)(ahead + kept + rest);
	return 0;
}

/* Finds the first good block as the device does and fetches the image from
 * it, unless a stream has already: PTB_MIN_READ bytes, all that the fields
 * and their run-on can reach. */
static int dump_read_ptb(struct dump_source *dump, struct dump_partition *partition)
{
	unsigned long long good, need = ptb_read_length(partition->erasesize);
	ssize_t got;

	if (partition->size == 0)
		partition->size = (dump->length + partition->erasesize - 1) / partition->erasesize * partition->erasesize;
	if (dump_check_bad(dump, partition) != 0)
		return -1;
	good = dump_good_block(partition, partition->size);
	if (good >= partition->size)
		return ptbtool_error(0, "%s: every block is bad, so no PTB", dump->name);
	if (good + need > partition->size)
		return ptbtool_error(0, "%s: partition too short: the PTB at 0x%llx needs %llu bytes, the partition ends %llu after it",
				     dump->name, good, need, partition->size - good);
	if (good + PTB_MIN_READ > dump->length)
		return ptbtool_error(0, "%s: dump too short: %llu bytes, the PTB at 0x%llx needs %zu from there",
				     dump->name, dump->length, good, PTB_MIN_READ);
	if (dump->stream)
		return 0;
	got = file_read_all(dump->fd, dump->image, PTB_MIN_READ, (off_t)good);
	if (got < 0)
		return ptbtool_error(errno, "%s", dump->name);
	if (got != (ssize_t)PTB_MIN_READ)
		return ptbtool_error(0, "%s: short read", dump->name);
	return 0;
}

int dump_read(struct dump_source *dump, struct dump_partition *partition)
{
	dump->image = (unsigned char *)malloc(PTB_MIN_READ);
	if (dump->image == NULL)
		return ptbtool_no_memory();
	if (dump->stream && dump_read_stream(dump, partition) != 0)
		return -1;
	return dump_read_ptb(dump, partition);
}
