/* The simulated partition as the interposed C library entry points see it. */
#ifndef MTDSIM_INTERNAL_H
#define MTDSIM_INTERNAL_H

#include "mtdsim.h"

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

/* The device calls a fault can hit, one bit each. */
enum mtdsim_call {
	MTDSIM_OPEN = 1,
	MTDSIM_MEMGETINFO = 2,
	MTDSIM_MEMGETBADBLOCK = 4,
	MTDSIM_PREAD = 8,
	MTDSIM_OPEN_WRITABLE = 16,	/* an open for writing, besides MTDSIM_OPEN */
	MTDSIM_MEMERASE = 32,
	MTDSIM_PWRITE = 64,
	MTDSIM_MEMSETBADBLOCK = 128,
	MTDSIM_ECCGETSTATS = 256,
};

/* The error a short read or write stands for: pread returns one byte less
 * than asked, pwrite one page less. */
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
int mtdsim_open(const char *path, int flags);
int mtdsim_ioctl(int fd, unsigned long request, void *arg);
ssize_t mtdsim_pread(int fd, void *buf, size_t count, off_t offset);
ssize_t mtdsim_pwrite(int fd, const void *buf, size_t count, off_t offset);
int mtdsim_fstat(int fd, struct stat *st);
int mtdsim_close(int fd);
/* read, write, lseek and the like, which the tool must never use on the device. */
int mtdsim_misuse(int fd, const char *call);

/* Shared by the device's calls (mtdsim_device.cpp) and its bytes (mtdsim_flash.cpp). */
int mtdsim_fail(int error);
/* What the attached fault makes the calls do: 0 nothing, else an errno or MTDSIM_SHORT. */
int mtdsim_injected(unsigned calls);
bool mtdsim_is_bad(uint64_t offset);
__attribute__((format(printf, 1, 2))) void mtdsim_log_call(const char *format, ...);
/* Counts a device step; true when the power goes in it with the step half done. */
bool mtdsim_step_is_half(void);
/* Logs the step just taken (what it did, how it ended) when a cut is set, and
 * cuts the power if it was the cut's step. */
void mtdsim_step_taken(const char *what, long result);

/* mtdsim_attach() with the partition's bytes those of the file at path, as
 * the environment sets it up; path NULL: a copy of the device's image. */
void mtdsim_attach_file(const struct mtdsim_device *device, const char *path);

/* The partition's bytes: mtdsim_flash.cpp. path NULL: an anonymous copy of
 * the device's image. Each of read, erase and program takes a descriptor
 * mtdsim_flash_open() returned and returns what the call returns, setting
 * errno on failure. */
void mtdsim_flash_attach(const struct mtdsim_device *device, const char *path);
int mtdsim_flash_open(bool writing, int flags);
ssize_t mtdsim_flash_read(int fd, unsigned char *buf, size_t count, off_t offset);
int mtdsim_flash_erase(int fd, uint64_t start, uint64_t length);
ssize_t mtdsim_flash_program(int fd, const unsigned char *buf, size_t count, off_t offset);
void mtdsim_flash_ecc_counts(uint32_t *corrected, uint32_t *failed);
/* Bad marks that stuck: whether block has one, how many blocks do; marking. */
bool mtdsim_flash_marked(uint32_t block);
uint32_t mtdsim_flash_marked_count(void);
bool mtdsim_flash_mark(uint32_t block);

#endif
