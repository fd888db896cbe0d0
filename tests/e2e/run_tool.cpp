#include "run_tool.h"

#include <algorithm>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

/* Long enough for a run under valgrind or an emulator; a hang is a failure. */
static const unsigned RUN_TIME_LIMIT = 120;

static std::string read_file(const std::string &path)
{
	std::string text;
	char buf[65536];
	size_t got;
	FILE *file = fopen(path.c_str(), "rb");

	if (file == NULL)
		return text;
	while ((got = fread(buf, 1, sizeof(buf), file)) > 0)
		text.append(buf, got);
	fclose(file);
	return text;
}

/* The loader splits LD_PRELOAD at blanks and colons, which the build's path
 * may hold: the device is preloaded through a link in the run's folder. */
static std::string device_preload(const std::string &dir)
{
	std::string preload = MTDSIM_PRELOAD;
	preload.replace(preload.rfind(MTDSIM_PATH), strlen(MTDSIM_PATH), dir + "/libmtdsim.so");
	return preload;
}

static std::string number_list(const std::vector<uint32_t> &numbers)
{
	std::string list;
	for (uint32_t number : numbers)
		list += (list.empty() ? "" : ",") + std::to_string(number);
	return list;
}

static std::string range_list(const std::vector<mtdsim_range> &ranges)
{
	std::string list;
	for (const mtdsim_range &range : ranges)
		list += (list.empty() ? "" : ",") + std::to_string(range.start) + "-" + std::to_string(range.end);
	return list;
}

/* The partition as the preloaded device reads it from the environment. */
static void set_device_environment(const sim_partition &device, const std::string &dir)
{
#ifdef PTBENV_EMULATOR
	unsetenv("LD_PRELOAD");
#else
	setenv("LD_PRELOAD", device_preload(dir).c_str(), 1);
#endif
	setenv("MTDSIM_LOG", (dir + "/device.log").c_str(), 1);
	setenv("MTDSIM_IMAGE", (dir + "/image").c_str(), 1);
	setenv("MTDSIM_SIZE", std::to_string(device.size).c_str(), 1);
	setenv("MTDSIM_ERASESIZE", std::to_string(device.erasesize).c_str(), 1);
	setenv("MTDSIM_WRITESIZE", std::to_string(device.writesize).c_str(), 1);
	setenv("MTDSIM_BAD", number_list(device.bad_blocks).c_str(), 1);
	setenv("MTDSIM_WEAK_BLOCKS", number_list(device.weak_blocks).c_str(), 1);
	setenv("MTDSIM_WEAK_PAGES", number_list(device.weak_pages).c_str(), 1);
	setenv("MTDSIM_UNCORRECTABLE", range_list(device.uncorrectable).c_str(), 1);
	setenv("MTDSIM_CORRECTED", range_list(device.corrected).c_str(), 1);
	setenv("MTDSIM_FAULT", mtdsim_fault_name(device.fault), 1);
	setenv("MTDSIM_CUT_AFTER", std::to_string(device.cut_after).c_str(), 1);
	setenv("MTDSIM_CUT_HALF", device.cut_half ? "1" : "0", 1);
}

static void append_words(std::vector<std::string> &words, const char *text)
{
	std::string word;

	for (const char *p = text ? text : ""; ; p++) {
		if (*p != ' ' && *p != '\0') {
			word += *p;
			continue;
		}
		if (!word.empty())
			words.push_back(word);
		word.clear();
		if (*p == '\0')
			break;
	}
}

/* PTBENV_TEST_WRAPPER, if set, names a command (words split at blanks) that
 * runs the tool, such as valgrind. A cross build runs the tool under the
 * emulator (qemu-user), after the wrapper; the device is then preloaded into
 * the emulated program with -E, since in the emulator's own environment the
 * host's loader would try to load it into the emulator. PTBENV_TEST_EMULATOR,
 * if set, replaces the build's emulator command: so the same cases run over
 * another C library (qemu-aarch64 -L ROOT). With no dir, no device is preloaded. */
static std::vector<std::string> command_line(const char *tool, const std::vector<std::string> &args,
					     const tool_options &options, const std::string &dir, bool wrapped = true)
{
	std::vector<std::string> words;

	if (wrapped)
		append_words(words, getenv("PTBENV_TEST_WRAPPER"));
#ifdef PTBENV_EMULATOR
	const char *emulator = getenv("PTBENV_TEST_EMULATOR");
	append_words(words, emulator ? emulator : PTBENV_EMULATOR);
	if (!dir.empty()) {
		words.push_back("-E");
		words.push_back("LD_PRELOAD=" + device_preload(dir));
	}
	/* qemu-user leaves the guest's RLIMIT_AS unapplied; a guest address
	 * space of the limit's size makes the allocation fail the same way. */
	if (options.little_memory) {
		words.push_back("-R");
		words.push_back("1G");
	}
#else
	(void)options;
	(void)dir;
#endif
	words.push_back(tool);
	words.insert(words.end(), args.begin(), args.end());
	return words;
}

/* Makes a large allocation fail as on a device short of memory. ASan reserves
 * terabytes of shadow memory at start, so under it its own allocation limit
 * stands in for the address-space limit. */
static void limit_memory(void)
{
#ifdef PTBENV_UNDER_ASAN
	const char *options = getenv("ASAN_OPTIONS");
	std::string limited = std::string(options ? options : "") + ":allocator_may_return_null=1:max_allocation_size_mb=1024";
	setenv("ASAN_OPTIONS", limited.c_str(), 1);
#else
	struct rlimit limit = { 1 << 30, 1 << 30 };
	setrlimit(RLIMIT_AS, &limit);
#endif
}

#ifdef PTBENV_UNDER_ASAN
static std::string without_line_containing(const std::string &text, const char *part)
{
	size_t at = text.find(part);
	if (at == std::string::npos)
		return text;
	size_t start = text.rfind('\n', at);
	size_t end = text.find('\n', at);
	start = start == std::string::npos ? 0 : start + 1;
	end = end == std::string::npos ? text.size() : end + 1;
	return text.substr(0, start) + text.substr(end);
}
#endif

/* Runs the command words name in place of this process. */
[[noreturn]] static void exec_words(const std::vector<std::string> &words)
{
	std::vector<char *> argv;
	argv.reserve(words.size() + 1);
	for (const std::string &word : words)
		argv.push_back(const_cast<char *>(word.c_str()));
	argv.push_back(NULL);
	execvp(argv[0], argv.data());
	_exit(127);
}

static void exec_tool(const std::vector<std::string> &words, const sim_partition &device,
		      const tool_options &options, const std::string &dir)
{
	int in = open(options.input.empty() ? "/dev/null" : options.input.c_str(), O_RDONLY);
	int out = options.out == STDOUT_FULL ? open("/dev/full", O_WRONLY)
					      : open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	int err = open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
		_exit(126);
	close(in);
	close(out);
	close(err);
	/* A write past the limit then fails with EFBIG instead of ending the process. */
	if (options.file_size_limit != 0) {
		struct rlimit limit = { options.file_size_limit, options.file_size_limit };
		signal(SIGXFSZ, SIG_IGN);
		setrlimit(RLIMIT_FSIZE, &limit);
	}
	if (options.out == STDOUT_CLOSED)
		close(1);
	if (options.stdin_closed)
		close(0);
	if (options.little_memory)
		limit_memory();
	if (options.no_run_lock && (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
				    mount("ptbenv-tests", "/run", "tmpfs", MS_RDONLY, "mode=755") != 0))
		_exit(125);
	set_device_environment(device, dir);
	alarm(RUN_TIME_LIMIT);
	exec_words(words);
}

/* Where it may (as root), the runner and the tools it starts get a mount
 * namespace of their own, with a /run/lock of their own, sticky and open to
 * anyone as the system's is: what another user leaves there is the tests'. */
bool private_run_lock(void)
{
	static int done;

	if (done == 0)
		done = unshare(CLONE_NEWNS) == 0 && mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0 &&
		       mount("ptbenv-tests", "/run/lock", "tmpfs", 0, "mode=1777") == 0 ? 1 : -1;
	return done == 1;
}

/* The lock ptbtool takes on /dev/mtd2, a flock on its node, taken as another
 * ptbtool would: the simulated node is a descriptor of the run's image. */
static int hold_lock(const std::string &dir, int how)
{
	int lock = open((dir + "/image").c_str(), O_RDONLY | O_CLOEXEC);

	if (lock < 0 || flock(lock, how) != 0)
		abort();
	return lock;
}

/* Lets the lock go once the tool has said something on standard error, or has ended. */
static void release_lock_when_told(int lock, pid_t pid, const std::string &err)
{
	struct stat status;
	siginfo_t ended;

	for (;;) {
		memset(&ended, 0, sizeof(ended));
		if ((stat(err.c_str(), &status) == 0 && status.st_size > 0) ||
		    waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 || ended.si_pid != 0)
			break;
		usleep(1000);
	}
	close(lock);
}

/* The out-of-band file the device keeps beside the image, in the run's folder. */
static const char OOB_FILE[] = "/image" MTDSIM_OOB_SUFFIX;

static uint32_t page_size(const sim_partition &device)
{
	return device.writesize ? device.writesize : MTDSIM_DEFAULT_WRITESIZE;
}

/* The torn pages in the out-of-band file. */
static bool write_out_of_band(const sim_partition &device, const std::string &path)
{
	ptb_bytes bits;

	for (uint32_t page : device.torn_pages) {
		if (bits.size() <= page)
			bits.resize(page + 1, 0);
		bits[page] |= MTDSIM_OOB_TORN;
	}
	return bits.empty() || ptb_write_file(path, bits);
}

/* The partition as the run left it: the image the preloaded device changed
 * in place, the marks that stuck and the torn pages out of band. */
static sim_partition device_after(const sim_partition &device, const std::string &image, const std::string &oob)
{
	sim_partition after = device;
	uint32_t pages_per_block = device.erasesize / page_size(device) ? device.erasesize / page_size(device) : 1;

	after.image.assign(image.begin(), image.end());
	after.torn_pages.clear();
	after.cut_after = 0;
	after.cut_half = false;
	for (uint32_t page = 0; page < oob.size(); page++) {
		uint32_t block = page / pages_per_block;
		if ((oob[page] & MTDSIM_OOB_MARKED_BAD) &&
		    std::find(after.bad_blocks.begin(), after.bad_blocks.end(), block) == after.bad_blocks.end())
			after.bad_blocks.push_back(block);
		if (oob[page] & MTDSIM_OOB_TORN)
			after.torn_pages.push_back(page);
	}
	return after;
}

static tool_run run_tool(const char *tool, const std::vector<std::string> &args, const sim_partition &device,
			 const tool_options &options)
{
	char dir_template[] = "/tmp/ptbenv-e2e-XXXXXX";
	std::string dir = mkdtemp(dir_template);
	tool_run run;
	int wait_status;

	private_run_lock();
	if (!ptb_write_file(dir + "/image", device.image) || !write_out_of_band(device, dir + OOB_FILE) ||
	    symlink(MTDSIM_PATH, (dir + "/libmtdsim.so").c_str()) != 0)
		abort();
	std::vector<std::string> words = command_line(tool, args, options, dir, device.cut_after == 0 && !options.unwrapped);
	int lock = options.lock_held != 0 ? hold_lock(dir, options.lock_held) : -1;
	fflush(NULL);
	pid_t pid = fork();
	if (pid == 0)
		exec_tool(words, device, options, dir);
	if (lock >= 0 && pid > 0)
		release_lock_when_told(lock, pid, dir + "/err");
	if (pid < 0 || waitpid(pid, &wait_status, 0) != pid)
		abort();
	run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
	run.out = read_file(dir + "/out");
	run.err = read_file(dir + "/err");
#ifdef PTBENV_UNDER_ASAN
	/* ASan notes the allocation it refused ("==pid==WARNING: AddressSanitizer
	 * failed to allocate ..."); that line is not the tool's. */
	if (options.little_memory)
		run.err = without_line_containing(run.err, "WARNING: AddressSanitizer failed to allocate ");
#endif
	run.device_log = read_file(dir + "/device.log");
	run.device_after = device_after(device, read_file(dir + "/image"), read_file(dir + OOB_FILE));
	run.cut = run.status == 128 + SIGKILL && run.device_log.find(", power cut\n") != std::string::npos;
	for (const char *name : { "/out", "/err", "/device.log", "/image", OOB_FILE, "/libmtdsim.so" })
		unlink((dir + name).c_str());
	rmdir(dir.c_str());
	return run;
}

tool_run run_ptbenv(const std::vector<std::string> &args, const sim_partition &device, const tool_options &options)
{
	return run_tool(PTBENV_PATH, args, device, options);
}

tool_run run_ptbtool(const std::vector<std::string> &args, const tool_options &options)
{
	return run_tool(PTBTOOL_PATH, args, sim_default(ptb_bytes(), MTDSIM_MISSING), options);
}

int start_ptbtool(const std::vector<std::string> &args)
{
	std::vector<std::string> words = command_line(PTBTOOL_PATH, args, tool_options(), "");

	fflush(NULL);
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_RDWR);
		if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
			_exit(126);
		exec_words(words);
	}
	return pid;
}

tool_run run_ptbtool_on(const std::vector<std::string> &args, const sim_partition &device, const tool_options &options)
{
	return run_tool(PTBTOOL_PATH, args, device, options);
}
