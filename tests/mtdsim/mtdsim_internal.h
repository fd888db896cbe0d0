/* The simulated partition as the interposed C library entry points see it. */
#ifndef MTDSIM_INTERNAL_H
#define MTDSIM_INTERNAL_H

#include <stddef.h>
#include <sys/types.h>

bool mtdsim_is_device_path(const char *path);
bool mtdsim_is_device_fd(int fd);

/* Each returns what the C library call would, setting errno on failure. */
int mtdsim_open(int flags);
int mtdsim_ioctl(int fd, unsigned long request, void *arg);
ssize_t mtdsim_pread(int fd, void *buf, size_t count, off_t offset);
int mtdsim_close(int fd);
/* read, lseek and the like, which the tool must never use on the device. */
int mtdsim_misuse(int fd, const char *call);

#endif
