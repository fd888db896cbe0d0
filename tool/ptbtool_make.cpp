/* ptbtool make: writes a PTB image holding the given parameter values, or
 * nothing at all when any value would not read back as given. */
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

/* The image and which keys have been given a value so far. */
struct make_image {
	unsigned char *bytes;
	size_t length;
	bool *given;	/* one for each of env_fields */
};

static const struct env_field *make_find(const char *key, size_t length)
{
	for (size_t i = 0; i < env_field_count; i++)
		if (strlen(env_fields[i].key) == length && memcmp(env_fields[i].key, key, length) == 0)
			return &env_fields[i];
	return NULL;
}

/* Stores one KEY=VALUE assignment of length bytes; where names its source
 * in messages ("" for the command line, "FILE:LINE: " for a fields file). */
static int make_assign(struct make_image *image, const char *where, const char *text, size_t length)
{
	const char *equals = (const char *)memchr(text, '=', length);
	const struct env_field *field;
	const char *why;
	int key_length;

	if (equals == NULL || equals == text) {
		fprintf(stderr, "ptbtool: %snot KEY=VALUE: %.*s\n", where, (int)length, text);
		return -1;
	}
	key_length = (int)(equals - text);
	field = make_find(text, (size_t)key_length);
	if (field == NULL) {
		fprintf(stderr, "ptbtool: %sno such key: %.*s\n", where, key_length, text);
		return -1;
	}
	if (image->given[field - env_fields]) {
		fprintf(stderr, "ptbtool: %s%s given twice\n", where, field->key);
		return -1;
	}
	why = env_put(image->bytes, field, equals + 1, length - (size_t)key_length - 1);
	if (why != NULL) {
		fprintf(stderr, "ptbtool: %s%s\n", where, why);
		return -1;
	}
	image->given[field - env_fields] = true;
	return 0;
}

static bool make_skipped_line(const char *line, size_t length)
{
	for (size_t i = 0; i < length; i++)
		if (line[i] != ' ' && line[i] != '\t')
			return line[i] == '#' && i == 0;
	return true;
}

/* KEY=VALUE lines; blank lines and lines starting with '#' are skipped. */
static int make_assign_file(struct make_image *image, const char *path)
{
	FILE *file = fopen(path, "r");
	char *line = NULL;
	size_t size = 0;
	ssize_t got;
	unsigned long number = 0;
	int status = 0;

	if (file == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, strerror(errno));
		return -1;
	}
	while (status == 0 && (got = getline(&line, &size, file)) >= 0) {
		char where[64 + 4096];

		number++;
		if (got > 0 && line[got - 1] == '\n')
			got--;
		if (make_skipped_line(line, (size_t)got))
			continue;
		snprintf(where, sizeof(where), "%s:%lu: ", path, number);
		status = make_assign(image, where, line, (size_t)got);
	}
	if (status == 0 && ferror(file)) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, strerror(errno));
		status = -1;
	}
	free(line);
	fclose(file);
	return status;
}

static int make_write_all(int fd, const unsigned char *bytes, size_t length)
{
	while (length > 0) {
		ssize_t done = write(fd, bytes, length);

		if (done < 0 && errno == EINTR)
			continue;
		if (done == 0)
			errno = EIO;
		if (done <= 0)
			return -1;
		bytes += done;
		length -= (size_t)done;
	}
	return 0;
}

/* Fills the temporary file; returns 0, or -1 with errno set. */
static int make_fill(int fd, const struct make_image *image, mode_t mask)
{
	if (fchmod(fd, 0666 & ~mask) != 0 || make_write_all(fd, image->bytes, image->length) != 0 ||
	    fsync(fd) != 0) {
		int error = errno;

		close(fd);
		errno = error;
		return -1;
	}
	return close(fd);
}

/* Written beside out under a temporary name and renamed over it only when
 * complete, so out holds the old file or the whole new image, never a part. */
static int make_write(const char *out, const struct make_image *image)
{
	size_t length = strlen(out);
	char *temporary = (char *)malloc(length + sizeof(".XXXXXX"));
	mode_t mask = umask(0);
	int fd, status = -1;

	umask(mask);
	if (temporary == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(ENOMEM));
		return -1;
	}
	memcpy(temporary, out, length);
	memcpy(temporary + length, ".XXXXXX", sizeof(".XXXXXX"));
	fd = mkstemp(temporary);
	if (fd < 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
	} else if (make_fill(fd, image, mask) != 0 || rename(temporary, out) != 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
		unlink(temporary);
	} else {
		status = 0;
	}
	free(temporary);
	return status;
}

int ptbtool_make(int argc, char **argv)
{
	unsigned long long erasesize = PTB_MIN_READ, fill = 0xFF;
	const char *fields = NULL;
	struct make_image image = {};
	int i = 1, more, status = 1;

	for (; (more = ptbtool_option(argc, argv, &i)) == PTBTOOL_OPTION; i += 2) {
		if (strcmp(argv[i], "--erasesize") == 0) {
			if (ptbtool_number("--erasesize", argv[i + 1], 1, PTBTOOL_ERASESIZE_MAX, &erasesize) != 0)
				return 1;
		} else if (strcmp(argv[i], "--fill") == 0) {
			if (ptbtool_number("--fill", argv[i + 1], 0, 0xFF, &fill) != 0)
				return 1;
		} else if (strcmp(argv[i], "--fields") == 0) {
			fields = argv[i + 1];
		} else {
			return ptbtool_usage(stderr);
		}
	}
	if (more != PTBTOOL_OPERANDS)
		return more;
	image.length = erasesize > PTB_MIN_READ ? erasesize : PTB_MIN_READ;
	image.bytes = (unsigned char *)malloc(image.length);
	image.given = (bool *)calloc(env_field_count, sizeof(bool));
	if (image.bytes == NULL || image.given == NULL) {
		fprintf(stderr, "ptbtool: no memory for an image of %zu bytes\n", image.length);
		free(image.bytes);
		free(image.given);
		return 1;
	}
	memset(image.bytes, (int)fill, image.length);
	for (size_t f = 0; f < env_field_count; f++)
		env_clear(image.bytes, &env_fields[f]);
	const char *out = argv[i++];
	if (fields == NULL || make_assign_file(&image, fields) == 0) {
		while (i < argc && make_assign(&image, "", argv[i], strlen(argv[i])) == 0)
			i++;
		if (i == argc && make_write(out, &image) == 0)
			status = 0;
	}
	free(image.bytes);
	free(image.given);
	return status;
}
