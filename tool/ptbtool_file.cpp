/* Files ptbtool writes as root and those it reads by a name the user gave.
 * A file is written beside its name under a temporary one, private from the
 * start, synced and renamed into place with its folder synced, so that it
 * holds the old contents or the whole new ones, never a part, whatever ends
 * the run; what another user left in a shared folder is not followed. */
#include "tool/ptbtool.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Whether the kernel's protected_symlinks follows a link of owner's in a
 * folder: not one another user left in a sticky folder anyone may write to. */
static bool file_link_followed(uid_t owner, const char *folder)
{
	struct stat status;

	if (stat(*folder != '\0' ? folder : "/", &status) != 0)
		return false;
	return (status.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) || owner == geteuid() ||
	       owner == status.st_uid;
}

/* The mode the image gets: a file the caller owns keeps its own, less group
 * and other write; any other is private. */
static mode_t file_mode(const struct stat *status)
{
	if (status == NULL || status->st_uid != geteuid())
		return 0600;
	return status->st_mode & 0777 & ~(mode_t)(S_IWGRP | S_IWOTH);
}

/* A walk along a name the user gave: done has no link in it, rest is still
 * to walk, name the part being looked at and path the two joined. */
struct file_walk {
	char done[PATH_MAX];
	char rest[PATH_MAX];
	char name[PATH_MAX];
	char path[2 * PATH_MAX + 1];
	int links;
};

/* text into a buffer of PATH_MAX bytes; false when it would not fit. */
static bool file_copy(char *to, const char *text)
{
	return snprintf(to, PATH_MAX, "%s", text) < PATH_MAX;
}

/* The next name off rest into name and path; false when none is left. */
static bool file_next_name(struct file_walk *walk)
{
	char *start = walk->rest + strspn(walk->rest, "/");
	size_t length = strcspn(start, "/");

	memcpy(walk->name, start, length);
	walk->name[length] = '\0';
	memmove(walk->rest, start + length, strlen(start + length) + 1);
	snprintf(walk->path, sizeof(walk->path), "%s/%s", walk->done, walk->name);
	return length > 0;
}

/* Where the link at path leads, put ahead of the rest; returns 0, or -1
 * with errno set. */
static int file_follow(struct file_walk *walk)
{
	char target[PATH_MAX], joined[2 * PATH_MAX];
	ssize_t length = readlink(walk->path, target, sizeof(target) - 1);

	errno = ELOOP;
	if (++walk->links > 40 || length < 0)
		return -1;
	target[length] = '\0';
	snprintf(joined, sizeof(joined), "%s%s", target, walk->rest);
	errno = ENAMETOOLONG;
	if (!file_copy(walk->rest, joined))
		return -1;
	if (target[0] == '/')
		walk->done[0] = '\0';
	return 0;
}

/* What file_target returns for a file it will not replace. */
static const mode_t FILE_UNREACHED = (mode_t)-1;

static mode_t file_unreached(const char *out)
{
	ptbtool_error(errno, "%s", out);
	return FILE_UNREACHED;
}

/* Walks out a name at a time to the file the image replaces, a regular file
 * or a name not yet taken, following links as protected_symlinks would.
 * Leaves its path, with no link in it, in walk->path and returns the image's
 * mode; or returns FILE_UNREACHED after saying why not. */
static mode_t file_target(const char *out, struct file_walk *walk, bool folder)
{
	struct stat status;

	errno = ENAMETOOLONG;
	if (!file_copy(walk->rest, out) || !file_copy(walk->done, out[0] == '/' ? "" : "."))
		return file_unreached(out);
	while (file_next_name(walk)) {
		bool last = walk->rest[strspn(walk->rest, "/")] == '\0';
		if (lstat(walk->path, &status) != 0)
			return errno == ENOENT && last ? file_mode(NULL) : file_unreached(out);
		if (S_ISLNK(status.st_mode) && !file_link_followed(status.st_uid, walk->done)) {
			ptbtool_error(0, "%s: a symbolic link another user made in a sticky folder anyone "
				      "may write to, so not followed: nothing made", out);
			return FILE_UNREACHED;
		}
		if (S_ISLNK(status.st_mode)) {
			if (file_follow(walk) != 0)
				return file_unreached(out);
			continue;
		}
		if (last && folder && !S_ISDIR(status.st_mode)) {
			ptbtool_error(0, "%s: not a folder, so not replaced by one", out);
			return FILE_UNREACHED;
		}
		if (last && !folder && !S_ISREG(status.st_mode)) {
			ptbtool_error(0, "%s: not a regular file, so not replaced by an image", out);
			return FILE_UNREACHED;
		}
		if (last)
			return file_mode(&status);
		errno = ENAMETOOLONG;
		if (!file_copy(walk->done, walk->path))
			return file_unreached(out);
	}
	errno = out[0] != '\0' ? EISDIR : ENOENT;
	return file_unreached(out);
}

/* The temporary file of a write under way, removed if a signal ends the run. */
static char *volatile file_temporary_name;

/* How long a FIFO named to be read is waited on for its first bytes. */
static const int FILE_STREAM_WAIT = 5;

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

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

int file_write_all(int fd, const void *bytes, size_t length)
{
	const unsigned char *at = (const unsigned char *)bytes;

	while (length > 0) {
		ssize_t done = write(fd, at, length);

		if (done < 0 && errno == EINTR)
			continue;
		if (done == 0)
			errno = EIO;
		if (done <= 0)
			return -1;
		at += done;
		length -= (size_t)done;
	}
	return 0;
}

ssize_t file_read_all(int fd, void *bytes, size_t length, off_t offset)
{
	unsigned char *at = (unsigned char *)bytes;
	size_t got = 0;

	while (got < length) {
		ssize_t done = offset < 0 ? read(fd, at + got, length - got)
					  : pread(fd, at + got, length - got, offset + (off_t)got);

		if (done < 0 && errno == EINTR)
			continue;
		if (done < 0)
			return -1;
		if (done == 0)
			break;
		got += (size_t)done;
	}
	return (ssize_t)got;
}

/* Writes the temporary file whole and syncs it; returns 0, or -1 with errno set. */
static int file_fill(int fd, const unsigned char *bytes, size_t length)
{
	return file_write_all(fd, bytes, length) == 0 && fsync(fd) == 0 ? 0 : -1;
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

/* Syncs the folder path lies in, so that a name just given survives a power
 * cut; a filesystem that syncs no folder has nothing to do. */
int file_sync_folder(const char *path)
{
	char folder[PATH_MAX];
	const char *slash = strrchr(path, '/');
	int fd, status;

	snprintf(folder, sizeof(folder), "%.*s", slash == NULL ? 1 : slash == path ? 1 : (int)(slash - path),
		 slash == NULL ? "." : path);
	fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0)
		return -1;
	status = fsync(fd) == 0 || errno == EINVAL ? 0 : -1;
	close(fd);
	return status;
}

/* Gives the temporary file the name path, which must not be taken. */
static int file_name_new(const char *temporary, const char *path)
{
	if (syscall(SYS_renameat2, AT_FDCWD, temporary, AT_FDCWD, path, RENAME_NOREPLACE) == 0)
		return 0;
	/* Filesystems without renameat2's flags still refuse a link to a name taken. */
	if ((errno != EINVAL && errno != ENOSYS) || link(temporary, path) != 0)
		return -1;
	unlink(temporary);
	return 0;
}

/* Writes a new temporary file beside target, 0600 from the start, and names
 * it target, replacing what is there or only a name not taken. Returns the
 * descriptor still open, or -1 with errno set, nothing left behind. */
static int file_put(const char *target, const unsigned char *bytes, size_t length, bool replacing)
{
	char *temporary = file_temporary_template(target);
	int fd = temporary != NULL ? file_temporary(temporary) : -1, error;

	if (temporary == NULL)
		errno = ENOMEM;
	if (fd >= 0 && file_fill(fd, bytes, length) == 0 &&
	    (replacing ? rename(temporary, target) : file_name_new(temporary, target)) == 0) {
		file_temporary_name = NULL;
		free(temporary);
		return fd;
	}
	error = errno;
	if (fd >= 0) {
		unlink(temporary);
		close(fd);
	}
	file_temporary_name = NULL;
	free(temporary);
	errno = error;
	return -1;
}

/* The file in place: its mode given, closed and its folder synced; returns
 * 0, or -1 with errno set. */
static int file_settle(int fd, const char *target, mode_t mode)
{
	if (mode != 0600 && fchmod(fd, mode) != 0) {
		int error = errno;

		close(fd);
		errno = error;
		return -1;
	}
	return close(fd) == 0 ? file_sync_folder(target) : -1;
}

int file_replace(const char *out, const unsigned char *bytes, size_t length)
{
	struct file_walk walk = {};
	mode_t mode = file_target(out, &walk, false);
	int fd = mode != FILE_UNREACHED ? file_put(walk.path, bytes, length, true) : -1;

	if (mode == FILE_UNREACHED)
		return -1;
	if (fd >= 0 && file_settle(fd, walk.path, mode) == 0)
		return 0;
	return ptbtool_error(errno, "%s", out);
}

int file_folder(const char *dir, char *path, size_t size)
{
	struct file_walk walk = {};

	if (file_target(dir, &walk, true) == FILE_UNREACHED)
		return -1;
	if (snprintf(path, size, "%s", walk.path) >= (int)size)
		return ptbtool_error(ENAMETOOLONG, "%s", dir);
	return 0;
}

static int file_refused(const char *path)
{
	if (errno == EEXIST)
		return ptbtool_error(0, "%s: already there: a backup is always a new file, so name one not yet taken "
				     "or remove the old one first", path);
	return ptbtool_error(errno, "%s", path);
}

int file_name_free(const char *path)
{
	struct stat status;

	if (lstat(path, &status) == 0)
		errno = EEXIST;
	else if (errno == ENOENT)
		return 0;
	return file_refused(path);
}

int file_create(const char *path, const unsigned char *bytes, size_t length)
{
	int fd = file_put(path, bytes, length, false);

	if (fd >= 0 && file_settle(fd, path, 0600) == 0)
		return 0;
	return file_refused(path);
}

int file_open_named(const char *path, struct stat *status)
{
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC), flags;

	if (fd < 0)
		return -1;
	/* Only a FIFO waits to be opened or read; anything else reads as it always does. */
	if (fstat(fd, status) != 0 || (!S_ISFIFO(status->st_mode) &&
				       ((flags = fcntl(fd, F_GETFL)) < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0))) {
		int error = errno;

		close(fd);
		errno = error;
		return -1;
	}
	return fd;
}

int file_await_stream(int fd)
{
	struct pollfd stream = { fd, POLLIN, 0 };
	int ready, flags;

	do
		ready = poll(&stream, 1, FILE_STREAM_WAIT * 1000);
	while (ready < 0 && errno == EINTR);
	if (ready == 0)
		errno = ETIMEDOUT;
	if (ready <= 0 || (flags = fcntl(fd, F_GETFL)) < 0)
		return -1;
	return fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

const char *file_error(int error)
{
	static char text[64];

	if (error != ETIMEDOUT)
		return strerror(error);
	snprintf(text, sizeof(text), "nothing wrote to it within %d seconds", FILE_STREAM_WAIT);
	return text;
}
