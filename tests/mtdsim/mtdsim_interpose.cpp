/* The C library entry points taken over for the simulated device. Every name a
 * g++/glibc build may call is covered, the fortified and 64-bit ones included,
 * and those that glibc 2.31's inline wrappers call; calls for any other path
 * or descriptor go on to the next definition. */
#include "mtdsim_internal.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static void *next(const char *name)
{
	void *symbol = dlsym(RTLD_NEXT, name);

	if (symbol == NULL) {
		fprintf(stderr, "mtdsim: no next definition of %s\n", name);
		abort();
	}
	return symbol;
}

#define NEXT(name, type) (reinterpret_cast<type>(next(name)))

typedef int open_fn(const char *, int, ...);
typedef int openat_fn(int, const char *, int, ...);
typedef int open2_fn(const char *, int);
typedef int openat2_fn(int, const char *, int);
typedef int ioctl_fn(int, unsigned long, ...);
typedef ssize_t pread_fn(int, void *, size_t, off_t);
typedef ssize_t pread_chk_fn(int, void *, size_t, off_t, size_t);
typedef ssize_t read_fn(int, void *, size_t);
typedef ssize_t read_chk_fn(int, void *, size_t, size_t);
typedef ssize_t pwrite_fn(int, const void *, size_t, off_t);
typedef ssize_t write_fn(int, const void *, size_t);
typedef off_t lseek_fn(int, off_t, int);
typedef int fstat_fn(int, struct stat *);
typedef int fstat64_fn(int, struct stat64 *);
typedef int fxstat_fn(int, int, struct stat *);
typedef int fxstat64_fn(int, int, struct stat64 *);
typedef int close_fn(int);

/* glibc before 2.33 has fstat call these, and its newer headers no longer declare them. */
extern "C" int __fxstat(int version, int fd, struct stat *st) noexcept;
extern "C" int __fxstat64(int version, int fd, struct stat64 *st) noexcept;

/* On the 64-bit machines the device runs on, the two are one layout. */
static_assert(sizeof(struct stat) == sizeof(struct stat64), "struct stat64 is struct stat");

/* The mode argument exists only when the flags create a file. */
static mode_t mode_of(int flags, va_list args)
{
	/* Every caller has started args; the analyzer does not follow a va_list into a callee. */
	return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0; // NOLINT(clang-analyzer-valist.Uninitialized)
}

extern "C" {

int open(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	mode_t mode = mode_of(flags, args);
	va_end(args);
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("open", open_fn *)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	mode_t mode = mode_of(flags, args);
	va_end(args);
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("open64", open_fn *)(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	mode_t mode = mode_of(flags, args);
	va_end(args);
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("openat", openat_fn *)(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	mode_t mode = mode_of(flags, args);
	va_end(args);
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("openat64", openat_fn *)(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("__open_2", open2_fn *)(path, flags);
}

int __open64_2(const char *path, int flags)
{
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("__open64_2", open2_fn *)(path, flags);
}

int __openat_2(int dirfd, const char *path, int flags)
{
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("__openat_2", openat2_fn *)(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
	if (mtdsim_is_device_path(path))
		return mtdsim_open(path, flags);
	return NEXT("__openat64_2", openat2_fn *)(dirfd, path, flags);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
	va_list args;
	va_start(args, request);
	void *arg = va_arg(args, void *);
	va_end(args);
	if (mtdsim_is_device_fd(fd))
		return mtdsim_ioctl(fd, request, arg);
	return NEXT("ioctl", ioctl_fn *)(fd, request, arg);
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_pread(fd, buf, count, offset);
	return NEXT("pread", pread_fn *)(fd, buf, count, offset);
}

ssize_t pread64(int fd, void *buf, size_t count, off_t offset)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_pread(fd, buf, count, offset);
	return NEXT("pread64", pread_fn *)(fd, buf, count, offset);
}

ssize_t __pread_chk(int fd, void *buf, size_t count, off_t offset, size_t room)
{
	if (mtdsim_is_device_fd(fd)) {
		if (count > room)
			abort();
		return mtdsim_pread(fd, buf, count, offset);
	}
	return NEXT("__pread_chk", pread_chk_fn *)(fd, buf, count, offset, room);
}

ssize_t __pread64_chk(int fd, void *buf, size_t count, off_t offset, size_t room)
{
	if (mtdsim_is_device_fd(fd)) {
		if (count > room)
			abort();
		return mtdsim_pread(fd, buf, count, offset);
	}
	return NEXT("__pread64_chk", pread_chk_fn *)(fd, buf, count, offset, room);
}

ssize_t read(int fd, void *buf, size_t count)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_misuse(fd, "read");
	return NEXT("read", read_fn *)(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t room)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_misuse(fd, "read");
	return NEXT("__read_chk", read_chk_fn *)(fd, buf, count, room);
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_pwrite(fd, buf, count, offset);
	return NEXT("pwrite", pwrite_fn *)(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void *buf, size_t count, off_t offset)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_pwrite(fd, buf, count, offset);
	return NEXT("pwrite64", pwrite_fn *)(fd, buf, count, offset);
}

ssize_t write(int fd, const void *buf, size_t count)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_misuse(fd, "write");
	return NEXT("write", write_fn *)(fd, buf, count);
}

off_t lseek(int fd, off_t offset, int whence) noexcept
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_misuse(fd, "lseek");
	return NEXT("lseek", lseek_fn *)(fd, offset, whence);
}

off_t lseek64(int fd, off_t offset, int whence) noexcept
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_misuse(fd, "lseek");
	return NEXT("lseek64", lseek_fn *)(fd, offset, whence);
}

int fstat(int fd, struct stat *st) noexcept
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_fstat(fd, st);
	return NEXT("fstat", fstat_fn *)(fd, st);
}

int fstat64(int fd, struct stat64 *st) noexcept
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_fstat(fd, reinterpret_cast<struct stat *>(st));
	return NEXT("fstat64", fstat64_fn *)(fd, st);
}

int __fxstat(int version, int fd, struct stat *st) noexcept
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_fstat(fd, st);
	return NEXT("__fxstat", fxstat_fn *)(version, fd, st);
}

int __fxstat64(int version, int fd, struct stat64 *st) noexcept
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_fstat(fd, reinterpret_cast<struct stat *>(st));
	return NEXT("__fxstat64", fxstat64_fn *)(version, fd, st);
}

int close(int fd)
{
	if (mtdsim_is_device_fd(fd))
		return mtdsim_close(fd);
	return NEXT("close", close_fn *)(fd);
}
}
