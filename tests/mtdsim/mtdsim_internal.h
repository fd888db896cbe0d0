/* The simulated partition as the interposed C library entry points see it. */
#ifndef MTDSIM_INTERNAL_H
#define MTDSIM_INTERNAL_H

#include "mtdsim.h"

#include <stddef.h>
#include <sys/types.h>

/* The device calls a fault can hit, one bit each. */
enum mtdsim_call {
	MTDSIM_OPEN = 1,
	MTDSIM_MEMGETINFO = 2,
	MTDSIM_MEMGETBADBLOCK = 4,
	MTDSIM_PREAD = 8,
};

/* The error a short read stands for: pread returns one byte less than asked. */
const int MTDSIM_SHORT = -1;

struct mtdsim_fault_effect {
	enum mtdsim_fault fault;
	const char *name;	/* in MTDSIM_FAULT */
	unsigned calls;		/* the mtdsim_call bits it hits */
	int error;		/* the errno those calls fail with, or MTDSIM_SHORT */
};

/* The fault's row of the table in mtdsim_faults.cpp, or NULL for none. */
const struct mtdsim_fault_effect *mtdsim_fault_effect(enum mtdsim_fault fault);

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
