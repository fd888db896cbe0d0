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

static int assign_given_twice(const struct assignments *given, size_t f, const char *where)
{
	if (*given->given_in[f] == '\0')
		return ptbtool_error(0, "%s%s given twice, first on the command line", where, env_fields[f].key);
	return ptbtool_error(0, "%s%s given twice, first at %s:%lu", where, env_fields[f].key, given->given_in[f],
			     given->given_line[f]);
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
	if (equals == NULL || equals == text)
		return ptbtool_error(0, "%snot KEY=VALUE: %s", where, ptbtool_quoted(text, length));
	key_length = (size_t)(equals - text);
	field = env_find_length(text, key_length);
	if (field == NULL)
		return ptbtool_error(0, "%sno such key: %s", where, ptbtool_quoted(text, key_length));
	f = (size_t)(field - env_fields);
	if (given->given_in[f] != NULL)
		return assign_given_twice(given, f, where);
	why = env_put(given->bytes, field, equals + 1, length - key_length - 1);
	if (why != NULL)
		return ptbtool_error(0, "%s%s", where, why);
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
		ptbtool_error(errno, "%s", path);
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
	if (status == 0 && ferror(file))
		status = ptbtool_error(errno, "%s", path);
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
	assign_end(given);
	return ptbtool_no_memory();
}

void assign_end(struct assignments *given)
{
	free(given->given_in);
	free(given->given_line);
	given->given_in = NULL;
	given->given_line = NULL;
}
