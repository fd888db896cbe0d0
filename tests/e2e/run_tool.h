/* Runs the built ptbenv as a process over the simulated device, preloaded, and ptbtool. */
#ifndef RUN_TOOL_H
#define RUN_TOOL_H

#include "ptb_image.h"

#include <stdint.h>
#include <string>
#include <vector>

struct tool_device {
	bool present;
	ptb_bytes image;	/* the partition's first bytes; the rest reads erased */
	uint32_t size;		/* 0: the image's size rounded up to whole blocks */
	uint32_t erasesize;
	std::string bad_blocks;	/* "0,1" */
	std::string fault;	/* a simulated fault's name, or empty */
};

struct tool_run {
	std::string out;
	std::string err;
	int status;		/* exit status, or 128 plus the signal that ended it */
	std::string device_log;	/* the device calls, one line each */
};

/* A 1 MiB device of 128 KiB blocks, all good, with image at offset 0 and
 * the simulated fault of that name, if any. */
tool_device device_with(const ptb_bytes &image, const char *fault = "");

/* Where the tool's standard output goes: a file that is read back, nowhere
 * (closed) or a device that is always full. */
enum tool_stdout { STDOUT_CAPTURED, STDOUT_CLOSED, STDOUT_FULL };

struct tool_options {
	tool_stdout out = STDOUT_CAPTURED;
	bool little_memory = false;	/* large allocations fail */
};

tool_run run_ptbenv(const std::vector<std::string> &args, const tool_device &device,
		    const tool_options &options = tool_options());

/* The built ptbtool, with no device attached. */
tool_run run_ptbtool(const std::vector<std::string> &args);

#endif
