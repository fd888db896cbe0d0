/* Replacing a file with new contents safely: written beside it under a
 * temporary name, synced and renamed over it, so that it holds the old
 * contents or the whole new ones, never a part, whatever ends the run. */
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

/* Where link points, taken from the link's own directory when relative. */
static char *file_link_target(const char *link)
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
static char *file_target(const char *out, mode_t *mode)
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
		char *next = file_link_target(path);
		if (next == NULL)
			fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
		free(path);
		path = next;
	}
	free(path);
	return NULL;
}

/* The temporary file of a write under way, removed if a signal ends the run. */
static char *volatile file_temporary_name;

static void file_interrupted(int signal_number)
{
	if (file_temporary_name != NULL)
		unlink(file_temporary_name);
	signal(signal_number, SIG_DFL);
	raise(signal_number);
}

/* The signals a user ends a run with. */
static const int file_ending_signals[] = { SIGINT, SIGTERM, SIGHUP };

/* Each of them, unless the run was started to ignore it. */
static void file_catch_signals(void)
{
	for (int signal_number : file_ending_signals) {
		struct sigaction action = {}, old;

		action.sa_handler = file_interrupted;
		sigemptyset(&action.sa_mask);
		if (sigaction(signal_number, NULL, &old) == 0 && old.sa_handler != SIG_IGN)
			sigaction(signal_number, &action, NULL);
	}
}

/* mkstemp, with the file named for file_interrupted before any signal can come. */
static int file_temporary(char *name)
{
	sigset_t ending, old;
	int fd;

	file_catch_signals();
	sigemptyset(&ending);
	for (int signal_number : file_ending_signals)
		sigaddset(&ending, signal_number);
	sigprocmask(SIG_BLOCK, &ending, &old);
	fd = mkstemp(name);
	if (fd >= 0)
		file_temporary_name = name;
	sigprocmask(SIG_SETMASK, &old, NULL);
	return fd;
}

static int file_write_all(int fd, const unsigned char *bytes, size_t length)
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
static int file_fill(int fd, const unsigned char *bytes, size_t length, mode_t mode)
{
	if (fchmod(fd, mode) != 0 || file_write_all(fd, bytes, length) != 0 ||
	    fsync(fd) != 0) {
		int error = errno;

		close(fd);
		errno = error;
		return -1;
	}
	return close(fd);
}

/* The target's name with a temporary file's ending, for mkstemp. */
static char *file_temporary_template(const char *target)
{
	size_t size = strlen(target) + sizeof(".XXXXXX");
	char *name = (char *)malloc(size);

	if (name != NULL)
		snprintf(name, size, "%s.XXXXXX", target);
	return name;
}

int file_replace(const char *out, const unsigned char *bytes, size_t length)
{
	mode_t mode = 0, mask = umask(0);
	char *target, *temporary;
	int fd, status = -1;

	umask(mask);
	target = file_target(out, &mode);
	if (target == NULL)
		return -1;
	temporary = file_temporary_template(target);
	if (temporary == NULL) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(ENOMEM));
		free(target);
		return -1;
	}
	if (mode == 0)
		mode = 0666 & ~mask;
	fd = file_temporary(temporary);
	if (fd < 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
	} else if (file_fill(fd, bytes, length, mode) != 0 || rename(temporary, target) != 0) {
		fprintf(stderr, "ptbtool: %s: %s\n", out, strerror(errno));
		unlink(temporary);
	} else {
		status = 0;
	}
	file_temporary_name = NULL;
	free(temporary);
	free(target);
	return status;
}
