/* Runs the built ptbenv as a process over the simulated device, preloaded, and ptbtool. */
#ifndef RUN_TOOL_H
#define RUN_TOOL_H

#include "ptb_image.h"
#include "ptb_texts.h"
#include "sim_partition.h"

#include <algorithm>
#include <dirent.h>
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <vector>

struct tool_run {
	std::string out;
	std::string err;
	int status;		/* exit status, or 128 plus the signal that ended it */
	std::string device_log;	/* the device calls, one line each */
	sim_partition device_after;	/* the partition as the run left it, for the next run */
	bool cut;		/* the power went at the device's cut_after */
};

/* Where the tool's standard output goes: a file that is read back, nowhere
 * (closed) or a device that is always full. */
enum tool_stdout { STDOUT_CAPTURED, STDOUT_CLOSED, STDOUT_FULL };

struct tool_options {
	tool_stdout out = STDOUT_CAPTURED;
	bool little_memory = false;	/* large allocations fail */
	std::string input = "";		/* the file or FIFO standard input reads; "": /dev/null */
	bool stdin_closed = false;	/* standard input closed instead */
	unsigned long file_size_limit = 0;	/* bytes a file written may hold; 0: no limit */
	/* LOCK_EX or LOCK_SH: another ptbtool holds the partition's lock so
	 * until the tool first writes to standard error; 0: none. */
	int lock_held = 0;
	/* Run without PTBENV_TEST_WRAPPER: a reading the test takes for itself, not one to check. */
	bool unwrapped = false;
	/* No /run/lock, and a read-only /run to make it in, as early in boot:
	 * the tool runs in a mount namespace of its own (needs root). */
	bool no_run_lock = false;
};

tool_run run_ptbenv(const std::vector<std::string> &args, const sim_partition &device,
		    const tool_options &options = tool_options());

/* The built ptbtool, with no device attached. */
tool_run run_ptbtool(const std::vector<std::string> &args, const tool_options &options = tool_options());
/* ptbtool over the simulated device, preloaded as for run_ptbenv. A run
 * with a cut set goes without PTBENV_TEST_WRAPPER: the power going kills the
 * checker with the tool, before it could write its report. */
tool_run run_ptbtool_on(const std::vector<std::string> &args, const sim_partition &device,
			const tool_options &options = tool_options());

/* A scratch directory, removed with what is in it. */
struct scratch {
	std::string dir;
	scratch()
	{
		char name[] = "/tmp/ptbtool-e2e-XXXXXX";
		dir = mkdtemp(name);
	}
	~scratch()
	{
		nftw(dir.c_str(), remove_one, 8, FTW_DEPTH | FTW_PHYS);
	}
	static int remove_one(const char *path, const struct stat *, int, struct FTW *)
	{
		remove(path);
		return 0;
	}
	std::vector<std::string> files() const
	{
		std::vector<std::string> names;
		DIR *d = opendir(dir.c_str());
		// cppcheck-suppress readdirCalled ; one thread, and glibc deprecates readdir_r
		for (struct dirent *e; d != NULL && (e = readdir(d)) != NULL;)
			if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
				names.push_back(e->d_name);
		if (d != NULL)
			closedir(d);
		std::sort(names.begin(), names.end());
		return names;
	}
	std::string path(const char *name) const { return dir + "/" + name; }
};

/* Puts the runner in a mount namespace of its own with a /run/lock of its
 * own, where it may (as root); whether it is. */
bool private_run_lock(void);

/* Starts the built ptbtool, its output thrown away, and returns its process
 * without waiting for it. */
int start_ptbtool(const std::vector<std::string> &args);

#endif
