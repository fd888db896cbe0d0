/* ptbtool make: writes a PTB image holding the given parameter values, or
 * nothing at all when any value would not read back as given. */
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Fields files, in the order given; at most as many as the options can name. */
struct make_options {
	unsigned long long erasesize;
	unsigned long long fill;
	const char **fields;
	int field_files;
};

/* The image, and where each key was given its value: "given twice" names both places. */
struct make_image {
	unsigned char *bytes;
	size_t length;
	const char **given_in;	/* for each of env_fields: its fields file, "" for the command line */
	unsigned long *given_line;
};

static const struct env_field *make_find(const char *key, size_t length)
{
	for (size_t i = 0; i < env_field_count; i++)
		if (strlen(env_fields[i].key) == length && memcmp(env_fields[i].key, key, length) == 0)
			return &env_fields[i];
	return NULL;
}

static int make_given_twice(const struct make_image *image, size_t f, const char *where)
{
	if (*image->given_in[f] == '\0')
		fprintf(stderr, "ptbtool: %s%s given twice, first on the command line\n", where, env_fields[f].key);
	else
		fprintf(stderr, "ptbtool: %s%s given twice, first at %s:%lu\n", where, env_fields[f].key,
			image->given_in[f], image->given_line[f]);
	return -1;
}

/* Stores one KEY=VALUE assignment of length bytes from line of file, or
 * from the command line when file is "". */
static int make_assign(struct make_image *image, const char *file, unsigned long line,
		       const char *text, size_t length)
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
	field = make_find(text, key_length);
	if (field == NULL) {
		fprintf(stderr, "ptbtool: %sno such key: %s\n", where, ptbtool_quoted(text, key_length));
		return -1;
	}
	f = (size_t)(field - env_fields);
	if (image->given_in[f] != NULL)
		return make_given_twice(image, f, where);
	why = env_put(image->bytes, field, equals + 1, length - key_length - 1);
	if (why != NULL) {
		fprintf(stderr, "ptbtool: %s%s\n", where, why);
		return -1;
	}
	image->given_in[f] = file;
	image->given_line[f] = line;
	return 0;
}

static bool make_skipped_line(const char *line, size_t length)
{
	for (size_t i = 0; i < length; i++)
		if (line[i] != ' ' && line[i] != '\t')
			return line[i] == '#' && i == 0;
	return true;
}

/* KEY=VALUE lines, ended by LF or CRLF; blank lines and lines starting with
 * '#' are skipped. Stops at the first line refused. */
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
		number++;
		if (got > 0 && line[got - 1] == '\n')
			got--;
		if (got > 0 && line[got - 1] == '\r')
			got--;
		if (!make_skipped_line(line, (size_t)got))
			status = make_assign(image, path, number, line, (size_t)got);
	}
	if (status == 0 && ferror(file)) {
		fprintf(stderr, "ptbtool: %s: %s\n", path, strerror(errno));
		status = -1;
	}
	free(line);
	fclose(file);
	return status;
}

/* Where link points, taken from the link's own directory when relative. */
static char *make_link_target(const char *link)
{
	char target[PATH_MAX];
	ssize_t length = readlink(link, target, sizeof(target) - 1);
	const char *slash = strrchr(link, '/');
	size_t dir_length = slash != NULL && target[0] != '/' ? (size_t)(slash - link) + 1 : 0;
	char *path;

	if (length < 0)
		return NULL;
	target[length] = '\0';
	path = (char *)malloc(dir_length + (size_t)length + 1);
	if (path == NULL)
		return NULL;
	memcpy(path, link, dir_length);
	memcpy(path + dir_length, target, (size_t)length + 1);
	return path;
}

/* Follows out through symbolic links to the file the image replaces: a
 * regular file, or a name not yet taken. Returns it (to be freed) with its
 * mode in *mode (0 for a new file), or NULL after saying why not. */
static char *make_target(const char *out, mode_t *mode)
{
	char *path = strdup(out);
	struct stat status;

	if (path == NULL)
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(ENOMEM));
	for (int links = 0; path != NULL; links++) {
		if (lstat(path, &status) != 0) {
			*mode = 0;
			if (errno == ENOENT)
				return path;
			fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
			break;
		}
		if (S_ISREG(status.st_mode)) {
			*mode = status.st_mode & 07777;
			return path;
		}
		if (!S_ISLNK(status.st_mode)) {
			fprintf(stderr, "ptbtool: %s: not a regular file, so not replaced by an image\n", out);
			break;
		}
		if (links == 40) {
			fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(ELOOP));
			break;
		}
		char *next = make_link_target(path);
		if (next == NULL)
			fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
		free(path);
		path = next;
	}
	free(path);
	return NULL;
}

/* The temporary file of a write under way, removed if a signal ends the run. */
static char *volatile make_temporary;

static void make_interrupted(int signal_number)
{
	if (make_temporary != NULL)
		unlink(make_temporary);
	signal(signal_number, SIG_DFL);
	raise(signal_number);
}

/* The signals a user ends a run with. */
static const int make_ending_signals[] = { SIGINT, SIGTERM, SIGHUP };

/* Each of them, unless the run was started to ignore it. */
static void make_catch_signals(void)
{
	for (int signal_number : make_ending_signals) {
		struct sigaction action = {}, old;

		action.sa_handler = make_interrupted;
		sigemptyset(&action.sa_mask);
		if (sigaction(signal_number, NULL, &old) == 0 && old.sa_handler != SIG_IGN)
			sigaction(signal_number, &action, NULL);
	}
}

/* mkstemp, with the file named for make_interrupted before any signal can come. */
static int make_temporary_file(char *name)
{
	sigset_t ending, old;
	int fd;

	make_catch_signals();
	sigemptyset(&ending);
	for (int signal_number : make_ending_signals)
		sigaddset(&ending, signal_number);
	sigprocmask(SIG_BLOCK, &ending, &old);
	fd = mkstemp(name);
	if (fd >= 0)
		make_temporary = name;
	sigprocmask(SIG_SETMASK, &old, NULL);
	return fd;
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
static int make_fill(int fd, const struct make_image *image, mode_t mode)
{
	if (fchmod(fd, mode) != 0 || make_write_all(fd, image->bytes, image->length) != 0 ||
	    fsync(fd) != 0) {
		int error = errno;

		close(fd);
		errno = error;
		return -1;
	}
	return close(fd);
}

/* Written beside the target under a temporary name and renamed over it only
 * when complete, so it holds the old file or the whole new image, never a
 * part; a symbolic link named as out stays, and the file it names is replaced. */
static int make_write(const char *out, const struct make_image *image)
{
	mode_t mode = 0, mask = umask(0);
	char *target, *temporary;
	size_t length;
	int fd, status = -1;

	umask(mask);
	target = make_target(out, &mode);
	if (target == NULL)
		return -1;
	length = strlen(target);
	temporary = (char *)malloc(length + sizeof(".XXXXXX"));
	if (temporary == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(ENOMEM));
		free(target);
		return -1;
	}
	if (mode == 0)
		mode = 0666 & ~mask;
	memcpy(temporary, target, length);
	memcpy(temporary + length, ".XXXXXX", sizeof(".XXXXXX"));
	fd = make_temporary_file(temporary);
	if (fd < 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
	} else if (make_fill(fd, image, mode) != 0 || rename(temporary, target) != 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
		unlink(temporary);
	} else {
		status = 0;
	}
	make_temporary = NULL;
	free(temporary);
	free(target);
	return status;
}

static int make_read_options(int argc, char **argv, int *i, struct make_options *options)
{
	int more;

	for (; (more = ptbtool_option(argc, argv, i)) == PTBTOOL_OPTION; *i += 2) {
		const char *value = argv[*i + 1];

		if (strcmp(argv[*i], "--erasesize") == 0) {
			if (ptbtool_number("--erasesize", value, 1, PTBTOOL_ERASESIZE_MAX, &options->erasesize) != 0)
				return 1;
		} else if (strcmp(argv[*i], "--fill") == 0) {
			if (ptbtool_number("--fill", value, 0, 0xFF, &options->fill) != 0)
				return 1;
		} else if (strcmp(argv[*i], "--fields") == 0) {
			options->fields[options->field_files++] = value;
		} else {
			return ptbtool_usage(stderr);
		}
	}
	return more;
}

/* Every fields file in turn, then the command line's assignments. */
static int make_assign_all(struct make_image *image, const struct make_options *options,
			   int count, char **assignments)
{
	for (int f = 0; f < options->field_files; f++)
		if (make_assign_file(image, options->fields[f]) != 0)
			return -1;
	for (int i = 0; i < count; i++)
		if (make_assign(image, "", 0, assignments[i], strlen(assignments[i])) != 0)
			return -1;
	return 0;
}

int ptbtool_make(int argc, char **argv)
{
	struct make_options options = { PTB_MIN_READ, 0xFF, NULL, 0 };
	struct make_image image = {};
	int i = 1, more, status = 1;

	/* Each --fields takes two arguments, so half of them are room enough. */
	options.fields = (const char **)calloc((size_t)argc / 2 + 1, sizeof(char *));
	more = options.fields != NULL ? make_read_options(argc, argv, &i, &options) : 1;
	if (more != PTBTOOL_OPERANDS) {
		free(options.fields);
		return more;
	}
	image.length = options.erasesize > PTB_MIN_READ ? options.erasesize : PTB_MIN_READ;
	image.bytes = (unsigned char *)malloc(image.length);
	image.given_in = (const char **)calloc(env_field_count, sizeof(char *));
	image.given_line = (unsigned long *)calloc(env_field_count, sizeof(unsigned long));
	if (image.bytes == NULL || image.given_in == NULL || image.given_line == NULL) {
		fprintf(stderr, "ptbtool: no memory for an image of %zu bytes\n", image.length);
	} else {
		memset(image.bytes, (int)options.fill, image.length);
		for (size_t f = 0; f < env_field_count; f++)
			env_clear(image.bytes, &env_fields[f]);
		if (make_assign_all(&image, &options, argc - i - 1, argv + i + 1) == 0 &&
		    make_write(argv[i], &image) == 0)
			status = 0;
	}
	free(image.bytes);
	free(image.given_in);
	free(image.given_line);
	free(options.fields);
	return status;
}
