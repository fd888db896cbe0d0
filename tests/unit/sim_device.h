/* Helpers for tests that call the library in-process over the simulated device. */
#ifndef SIM_DEVICE_H
#define SIM_DEVICE_H

#include "mtdsim.h"
#include "ptb_image.h"

#include <stdint.h>
#include <string>
#include <vector>

struct sim_partition {
	uint32_t size;
	uint32_t erasesize;
	uint32_t first_bad;	/* bad_count bad blocks from this one on */
	uint32_t bad_count;
	enum mtdsim_fault fault;
};

/* Attaches a partition whose bytes start with contents (the rest erased). */
void sim_attach(const sim_partition &partition, const ptb_bytes &contents);
/* A 1 MiB partition of 128 KiB blocks, all good, holding image at offset 0. */
void sim_attach_image(const ptb_bytes &image);

struct captured {
	std::string out;
	std::string err;
};
/* Starts capturing both standard streams; finish_capture() returns what was written. */
void start_capture(void);
captured finish_capture(void);

/* Bytes the heap holds in use, to see that a call freed what it allocated. */
size_t heap_in_use(void);

struct lookup {
	const char *value;	/* NULL for a null result */
	std::string text;
	captured streams;
	long heap_growth;	/* bytes the call left allocated */
};

/* env_get(key) with both streams captured. */
lookup look_up(const char *key);
/* After a lookup that read the device: one read, closed, image freed. */
void expect_one_clean_read(const lookup &result);

#endif
