/* Helpers for tests that call the library in-process over the simulated device. */
#ifndef SIM_DEVICE_H
#define SIM_DEVICE_H

#include "mtdsim.h"
#include "ptb_image.h"
#include "ptb_texts.h"
#include "sim_partition.h"

#include <stdint.h>
#include <string>
#include <vector>

/* Makes partition the device, clearing the call record. */
void sim_attach(const sim_partition &partition);

/* The blocks of the first count that the device has marked bad. */
std::vector<uint32_t> sim_marked_blocks(uint32_t count);

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
