/* KEY=VALUE assignments into a PTB image, from the command line or a fields
 * file, with env_put's refusals and each key given once: what make and set
 * share. */
#include "ptb/env_layout.h"
#include "ptb/env_put.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const struct env_field *assign_find(const char *key, size_t length)
{
	for (size_t i = 0; i < env_field_count; i++)
		if (strlen(env_fields[i].key) == length && memcmp(env_fields[i].key, key, length) == 0)
			return &env_fields[i];
	return NULL;
}

static int assign_given_twice(const struct assignments *given, size_t f, const char *where)
{
	if (*given->given_in[f] == '\0')
		fprintf(stderr, "ptbtool: %s%s given twice, first on the command line\n", where, env_fields[f].key);
	else
		fprintf(stderr, "ptbtool: %s%s given twice, first at %s:%lu\n", where, env_fields[f].key,
			given->given_in[f], given->given_line[f]);
	return -1;
}

int assign_one(struct assignments *given, const char *file, unsigned long line, const char *text, size_t length)
{
	char where[PATH_MAX + 32] = "";
	const char *equals = (const char *)memchr(text, '=', length);
	const struct env_field *field;
	const char *why;
	size_t key_length, f;

	if (*file != '\0')
		snprintf(where, sizeof(where), "%s:%lu: ", file, line);
	if (equals == NULL || equals == text) {
		fprintf(stderr, "ptbtool: %snot KEY=VALUE: %s\n", where, ptbtool_quoted(text, length));
		return -1;
	}
	key_length = (size_t)(equals - text);
	field = assign_find(text, key_length);
	if (field == NULL) {
		fprintf(stderr, "ptbtool: %sno such key: %s\n", where, ptbtool_quoted(text, key_length));
		return -1;
	}
	f = (size_t)(field - env_fields);
	if (given->given_in[f] != NULL)
		return assign_given_twice(given, f, where);
	why = env_put(given->bytes, field, equals + 1, length - key_length - 1);
	if (why != NULL) {
		fprintf(stderr, "ptbtool: %s%s\n", where, why);
		return -1;
	}
	given->given_in[f] = file;
	given->given_line[f] = line;
	return 0;
}

static bool assign_skipped_line(const char *line, size_t length)
{
	for (size_t i = 0; i < length; i++)
		if (line[i] != ' ' && line[i] != '\t')
			return line[i] == '#' && i == 0;
	return true;
}

/* KEY=VALUE lines, ended by LF or CRLF; blank lines and lines starting with
 * '#' are skipped. Stops at the first line refused. */
int assign_file(struct assignments *given, const char *path)
{
	struct stat named;
	int fd = file_open_named(path, &named);
	FILE *file = NULL;
	char *line = NULL;
	size_t size = 0;
	ssize_t got;
	unsigned long number = 0;
	int status = 0;

	if (fd >= 0 && (!S_ISFIFO(named.st_mode) || file_await_stream(fd) == 0))
		file = fdopen(fd, "r");
	if (file == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, file_error(errno));
		if (fd >= 0)
			close(fd);
		return -1;
	}
	while (status == 0 && (got = getline(&line, &size, file)) >= 0) {
		number++;
		if (got > 0 && line[got - 1] == '\n')
			got--;
		if (got > 0 && line[got - 1] == '\r')
			got--;
		if (!assign_skipped_line(line, (size_t)got))
			status = assign_one(given, path, number, line, (size_t)got);
	}
	if (status == 0 && ferror(file)) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, strerror(errno));
		status = -1;
	}
	free(line);
	fclose(file);
	return status;
}

int assign_begin(struct assignments *given, unsigned char *bytes)
{
	given->bytes = bytes;
	given->given_in = (const char **)calloc(env_field_count, sizeof(char *));
	given->given_line = (unsigned long *)calloc(env_field_count, sizeof(unsigned long));
	if (given->given_in != NULL && given->given_line != NULL)
		return 0;
	fprintf(stderr, "ptbtool: %s\n", strerror(ENOMEM));
	assign_end(given);
	return -1;
}

void assign_end(struct assignments *given)
{
	free(given->given_in);
	free(given->given_line);
	given->given_in = NULL;
	given->given_line = NULL;
}
