/* ptbtool as a process: images that make writes read back through ptbenv
 * over the simulated device, refusals leave OUT untouched, and show prints
 * what ptbenv prints over the same dump. */
#include "run_tool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void write_file(const std::string &path, const std::string &text)
{
	ASSERT_TRUE(ptb_write_file(path, ptb_bytes(text.begin(), text.end())));
}

/* What ptbenv prints for a key that make was given no value for. */
std::string unset_line(const std::string &key)
{
	switch (ptb_place(key).kind) {
	case PTB_MAC:
		return key + ":00:00:00:00:00:00\n";
	case PTB_NO_VALUE:
	case PTB_LONG_TEXT:
		return "";
	case PTB_TEXT:
	case PTB_DIGIT:
		break;
	}
	return key + ":\n";
}

struct make_case {
	const char *name;
	std::vector<std::string> options;	/* before OUT; FIELDS and FIELDS2 name the fields files */
	std::string fields;			/* their contents */
	std::vector<std::string> assignments;	/* after OUT */
	size_t length;
	std::vector<std::pair<std::string, std::string>> printed;	/* key, value ptbenv prints */
	std::string more_fields = "";
	unsigned char fill = 0xFF;		/* the bytes no field covers */
	bool no_out = false;			/* the command line ends after the options */
	bool stdin_closed = false;		/* as a service may be started: the image's file takes descriptor 0 */
};

/* c, run with standard input closed. */
make_case stdin_closed(make_case c)
{
	c.stdin_closed = true;
	return c;
}

std::vector<std::string> make_args(const make_case &c, const scratch &dir)
{
	std::vector<std::string> args = { "make" };
	for (const std::string &option : c.options)
		args.push_back(option == "FIELDS" ? dir.path("fields") : option == "FIELDS2" ? dir.path("fields2") : option);
	if (!c.no_out)
		args.push_back(dir.path("out.img"));
	args.insert(args.end(), c.assignments.begin(), c.assignments.end());
	return args;
}

void write_fields(const make_case &c, const scratch &dir)
{
	if (!c.fields.empty())
		write_file(dir.path("fields"), c.fields);
	if (!c.more_fields.empty())
		write_file(dir.path("fields2"), c.more_fields);
}

const std::string K32 = "0123456789abcdef0123456789ABCDEF";

/* Every key that holds a value, given its longest one (text that names the
 * key, so that a value read from another field shows), the MAC address in
 * lower case; with what ptbenv then prints. */
make_case every_key_at_its_longest(void)
{
	make_case c = { "every key at its longest, MAC in lower case", {}, "", {}, 40960, {} };
	for (size_t i = 0; i < ptb_field_count; i++) {
		const ptb_field_place &place = ptb_field_places[i];
		std::string assignment = place.key, given, printed;
		switch (place.kind) {
		case PTB_TEXT:
			while (given.size() < place.room - 1)
				given += place.key;
			given.resize(place.room - 1);
			printed = given;
			break;
		case PTB_LONG_TEXT:
			given = printed = K32;
			break;
		case PTB_MAC:
			given = "0a:1b:2c:3d:4e:ff";
			printed = "0A:1B:2C:3D:4E:FF";
			break;
		case PTB_DIGIT:
			given = printed = ":";
			break;
		case PTB_NO_VALUE:
			continue;
		}
		assignment += '=';
		assignment += given;
		c.assignments.push_back(assignment);
		c.printed.push_back({ place.key, printed });
	}
	return c;
}

const make_case accepted[] = {
	{ "nothing given: every field reads back empty, not erased", {}, "", {}, 40960, {} },
	every_key_at_its_longest(),
	{ "fields file: comments, blank lines, '=' and blanks in values, the empty flag", { "--fields", "FIELDS" },
	  "# factory line 3\n\nproduct= Outdoor gateway = GW-8 \n   \ncmdline=console=ttyS0 root=/dev/mmcblk0p2\nqvauthcheck=",
	  { "sninfo=PT2324A00117" }, 40960,
	  { { "product", " Outdoor gateway = GW-8 " }, { "cmdline", "console=ttyS0 root=/dev/mmcblk0p2" },
	    { "qvauthcheck", "" }, { "sninfo", "PT2324A00117" } } },
	{ "bytes 0x80 to 0xFE, a flag past '9'", { "--fill", "0" }, "",
	  { "sninfo=\xC3\xA9\x80\xFE", "qvauthcheck=\xFF" }, 40960,
	  { { "sninfo", "\xC3\xA9\x80\xFE" }, { "qvauthcheck", "\xFF" } }, "", 0 },
	{ "an erase block larger than the read", { "--erasesize", "0x20000", "--fill", "0x5a" }, "",
	  { "deveui=" }, 131072, { { "deveui", "" } }, "", 0x5a },
	{ "two fields files in order, CRLF lines, then the command line", { "--fields", "FIELDS", "--fields", "FIELDS2" },
	  "product=GW-8 outdoor\r\n\r\nlorainfo=EU868\r\n", { "deveui=0080E115" }, 40960,
	  { { "product", "GW-8 outdoor" }, { "lorainfo", "EU868" }, { "sninfo", "PT1" }, { "deveui", "0080E115" } },
	  "sninfo=PT1\n" },
	{ "numbers with a leading zero are decimal", { "--fill", "010", "--erasesize", "065536" }, "", {}, 65536, {}, "", 10 },
	{ "hexadecimal digits up to f and F", { "--fill", "0xff", "--erasesize", "0xCAFE" }, "", { "sninfo=PT1" }, 0xCAFE,
	  { { "sninfo", "PT1" } } },
	{ "the smallest erase size, the largest fill, '--' before OUT", { "--erasesize", "1", "--fill", "255", "--" }, "",
	  { "qvauthcheck=1" }, 40960, { { "qvauthcheck", "1" } } },
	stdin_closed({ "standard input closed", {}, "", { "sninfo=PT1" }, 40960, { { "sninfo", "PT1" } } }),
};

/* What show warns of over an image make wrote, shown whole where no value
 * was given: the MAC address no one gave is all zero. */
std::string warnings_of(const make_case &c)
{
	return c.printed.empty() ? ptbtool_error("warning: ethaddr: all zero, no address") : "";
}

TEST(Make, AcceptedValuesReadBackThroughPtbenv)
{
	for (const make_case &c : accepted) {
		SCOPED_TRACE(c.name);
		scratch dir;
		write_fields(c, dir);
		tool_options options;
		options.stdin_closed = c.stdin_closed;
		tool_run made = run_ptbtool(make_args(c, dir), options);
		ASSERT_EQ(made.status, 0) << made.err;
		EXPECT_EQ(made.out, "");
		EXPECT_EQ(made.err, "");
		ptb_bytes image = ptb_read_file(dir.path("out.img"));
		EXPECT_EQ(image.size(), c.length);
		EXPECT_EQ(image[0], c.fill);
		struct stat status;
		ASSERT_EQ(stat(dir.path("out.img").c_str(), &status), 0);
		/* The image holds the device's keys: no one else reads it, whatever the umask. */
		EXPECT_EQ(status.st_mode & 07777, 0600u);
		/* Every key where none is given, else the keys given. */
		std::vector<std::pair<std::string, std::string>> lines;
		for (const std::string &key : ptb_keys())
			if (c.printed.empty())
				lines.push_back({ key, unset_line(key) });
		for (const auto &key_value : c.printed)
			lines.push_back({ key_value.first, key_value.first + ":" + key_value.second + "\n" });
		std::vector<std::string> show = { "show", dir.path("out.img") };
		std::string shown;
		for (const auto &key_line : lines) {
			tool_run read = run_ptbenv({ key_line.first }, sim_default(image));
			EXPECT_EQ(read.out, key_line.second) << key_line.first;
			EXPECT_EQ(read.err, "") << key_line.first;
			show.push_back(key_line.first);
			shown += key_line.second;
		}
		/* show with its defaults reads what make wrote with its own. */
		tool_run read = run_ptbtool(show);
		EXPECT_EQ(read.status, 0);
		EXPECT_EQ(read.out, shown);
		EXPECT_EQ(read.err, warnings_of(c));
	}
}

/* The fields in the order a row reads, whatever the padding. */
struct refusal {	// NOLINT(clang-analyzer-optin.performance.Padding)
	const char *name;
	std::vector<std::string> options;
	std::string fields;
	std::vector<std::string> assignments;
	int status;
	std::string err;	/* FIELDS and OUT stand for the fields file's and OUT's paths */
	std::string out;
	bool no_out = false;	/* the command line ends after the options */
	unsigned long file_size_limit = 0;
};

const refusal refusals[] = {
	{ "text too long", {}, "", { "sninfo=" + std::string(32, 's') }, 1, ptbtool_error(holds_at_most("sninfo", 31)), "" },
	{ "the longest room too long", {}, "", { "cmdline=" + std::string(256, 'x') }, 1, ptbtool_error(holds_at_most("cmdline", 255)), "" },
	{ "newline", {}, "", { "product=GW\n8" }, 1, ptbtool_error(holds_byte("product", '\n')), "" },
	{ "a 0xFF byte, erased flash", {}, "", { "product=GW\xFF" }, 1, ptbtool_error(holds_byte("product", '\xFF')), "" },
	{ "NUL byte in a fields file", { "--fields", "FIELDS" }, std::string("sninfo=PT\0" "1\n", 11), {}, 1,
	  ptbtool_error("FIELDS:1: " + holds_byte("sninfo", '\0')), "" },
	{ "carriage return inside a CRLF line", { "--fields", "FIELDS" }, "# ok\r\nsninfo=PT\r1\r\n", {}, 1,
	  ptbtool_error("FIELDS:2: " + holds_byte("sninfo", '\r')), "" },
	{ "unknown key", {}, "", { "serial=1" }, 1, no_such_key("serial"), "" },
	{ "a key's prefix", {}, "", { "app=1" }, 1, no_such_key("app"), "" },
	{ "a blank before '='", {}, "", { "sninfo =PT1" }, 1, no_such_key("sninfo "), "" },
	{ "qvhardreset", {}, "", { "qvhardreset=1" }, 1, ptbtool_error(has_no_field("qvhardreset")), "" },
	{ "key twice", {}, "", { "sninfo=1", "deveui=2", "sninfo=1" }, 1, given_twice("sninfo", ""), "" },
	{ "key in the fields file and on the command line", { "--fields", "FIELDS" }, "sninfo=1\n", { "sninfo=1" }, 1,
	  given_twice("sninfo", "FIELDS:1"), "" },
	{ "key in two fields files", { "--fields", "FIELDS", "--fields", "FIELDS" }, "\nsninfo=1\n", {}, 1,
	  ptbtool_error("FIELDS:2: sninfo given twice, first at FIELDS:2"), "" },
	{ "MAC too short", {}, "", { "ethaddr=02:1A:2B:3C:4D" }, 1, ptbtool_error(not_a_mac("ethaddr")), "" },
	{ "MAC with dashes", {}, "", { "ethaddr=02-1A-2B-3C-4D-5E" }, 1, ptbtool_error(not_a_mac("ethaddr")), "" },
	{ "MAC not hexadecimal", {}, "", { "ethaddr=02:1A:2B:3C:4D:5G" }, 1, ptbtool_error(not_a_mac("ethaddr")), "" },
	{ "MAC of erased flash", {}, "", { "ethaddr=ff:ff:ff:ff:ff:ff" }, 1, ptbtool_error(MAC_ERASED), "" },
	{ "MAC all zero", {}, "", { "ethaddr=00:00:00:00:00:00" }, 1, ptbtool_error(MAC_ZERO), "" },
	{ "MAC multicast", {}, "", { "ethaddr=01:00:5E:00:00:FB" }, 1, ptbtool_error(MAC_MULTICAST), "" },
	{ "qvkey of 31", {}, "", { "qvkey=" + K32.substr(1) }, 1, ptbtool_error(not_32_bytes("qvkey")), "" },
	{ "qvran of 33", {}, "", { "qvran=" + K32 + "x" }, 1, ptbtool_error(not_32_bytes("qvran")), "" },
	{ "flag of two characters", {}, "", { "qvauthcheck=10" }, 1, ptbtool_error(not_one_byte("qvauthcheck")), "" },
	{ "flag stored as erased flash", {}, "", { "qvauthcheck=/" }, 1, ptbtool_error(stored_as_0xff("qvauthcheck", '/')), "" },
	{ "erase size 0", { "--erasesize", "0" }, "", {}, 1, ptbtool_error("--erasesize must be a number from 1 to 1073741824, not '0'"), "" },
	{ "erase size over 1 GiB", { "--erasesize", "0x40000001" }, "", {}, 1,
	  ptbtool_error("--erasesize must be a number from 1 to 1073741824, not '0x40000001'"), "" },
	{ "erase size with a sign", { "--erasesize", "+4096" }, "", {}, 1,
	  ptbtool_error("--erasesize must be a number from 1 to 1073741824, not '+4096'"), "" },
	{ "fill not a byte", { "--fill", "256" }, "", {}, 1, ptbtool_error("--fill must be a number from 0 to 255, not '256'"), "" },
	{ "fill negative", { "--fill", "-1" }, "", {}, 1, ptbtool_error("--fill must be a number from 0 to 255, not '-1'"), "" },
	{ "fill of 0x and no digit", { "--fill", "0x" }, "", {}, 1, ptbtool_error("--fill must be a number from 0 to 255, not '0x'"), "" },
	{ "fields file missing", { "--fields", "FIELDS" }, "", {}, 1, ptbtool_error("FIELDS: No such file or directory"), "" },
	{ "fields line not KEY=VALUE", { "--fields", "FIELDS" }, "# serial\n\nsninfo\n", {}, 1,
	  ptbtool_error("FIELDS:3: not KEY=VALUE: 'sninfo'"), "" },
	{ "a bad line before a good one", { "--fields", "FIELDS" }, "sninfo\tPT1\nproduct=GW-8\n", {}, 1,
	  ptbtool_error("FIELDS:1: not KEY=VALUE: 'sninfo\\x09PT1'"), "" },
	{ "blanks before '#': not a comment", { "--fields", "FIELDS" }, "# factory\n  # line 2\n", {}, 1,
	  ptbtool_error("FIELDS:2: not KEY=VALUE: '  # line 2'"), "" },
	{ "fields line with no key", { "--fields", "FIELDS" }, "=PT1\n", {}, 1, ptbtool_error("FIELDS:1: not KEY=VALUE: '=PT1'"), "" },
	{ "argument not KEY=VALUE", {}, "", { "sninfo" }, 1, ptbtool_error("not KEY=VALUE: 'sninfo'"), "" },
	{ "unknown option", { "--length", "4096" }, "", {}, 2, PTBTOOL_USAGE_TEXT, "" },
	{ "an option without its value", { "--fill" }, "", {}, 2, PTBTOOL_USAGE_TEXT, "", true },
	{ "no OUT", { "--fill", "0" }, "", {}, 2, PTBTOOL_USAGE_TEXT, "", true },
	{ "--help writes nothing", { "--help" }, "", {}, 0, "", PTBTOOL_USAGE_TEXT },
	{ "no room for the image", {}, "", {}, 1, ptbtool_error("OUT: File too large"), "", false, 4096 },
	{ "fill with a character between '9' and 'A'", { "--fill", "1:" }, "", {}, 1,
	  ptbtool_error("--fill must be a number from 0 to 255, not '1:'"), "" },
	{ "OUT the root folder", { "/" }, "", {}, 1, ptbtool_error("/: Is a directory"), "", true },
	{ "OUT empty", { "" }, "", {}, 1, ptbtool_error(": No such file or directory"), "", true },
};

const std::string OLD_IMAGE = "the image made before";

TEST(Make, RefusalsLeaveOutUntouched)
{
	for (const refusal &c : refusals) {
		SCOPED_TRACE(c.name);
		scratch dir;
		make_case made = { c.name, c.options, c.fields, c.assignments, 0, {}, "", 0xFF, c.no_out };
		write_fields(made, dir);
		write_file(dir.path("out.img"), OLD_IMAGE);
		std::vector<std::string> before = dir.files();
		tool_options options;
		options.file_size_limit = c.file_size_limit;
		tool_run run = run_ptbtool(make_args(made, dir), options);
		std::string err = c.err;
		for (size_t at; (at = err.find("FIELDS")) != std::string::npos;)
			err.replace(at, 6, dir.path("fields"));
		if (err.compare(0, 13, "ptbtool: OUT:") == 0)
			err.replace(9, 3, dir.path("out.img"));
		EXPECT_EQ(run.status, c.status);
		EXPECT_EQ(run.err, err);
		EXPECT_EQ(run.out, c.out);
		EXPECT_EQ(ptb_read_file(dir.path("out.img")), ptb_bytes(OLD_IMAGE.begin(), OLD_IMAGE.end()));
		EXPECT_EQ(dir.files(), before);
	}
}

/* OUT as something other than a plain file: what is not a regular file
 * stays as it was, and a symbolic link stays while the file it names is
 * replaced (kept with its mode) or made. */
TEST(Make, WritesOnlyRegularFiles)
{
	enum out_kind { FIFO, DIRECTORY, LINK_TO_DEVICE, LINK_TO_FILE, DANGLING_LINK, LINK_TO_LINK };
	struct {
		const char *name;
		out_kind kind;
		const char *made;	/* the file the image lands in, or NULL when refused */
	} cases[] = {
		{ "a FIFO", FIFO, NULL },
		{ "a directory", DIRECTORY, NULL },
		{ "a link to a character device", LINK_TO_DEVICE, NULL },
		{ "a relative link to a file in another directory", LINK_TO_FILE, "sub/old.img" },
		{ "a link to a file not yet made", DANGLING_LINK, "new.img" },
		{ "a link to a link whose target is the shorter", LINK_TO_LINK, "sub/old.img" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		scratch dir;
		std::string out = dir.path("out.img");
		ASSERT_EQ(mkdir(dir.path("sub").c_str(), 0700), 0);
		write_file(dir.path("sub/old.img"), OLD_IMAGE);
		chmod(dir.path("sub/old.img").c_str(), 0640);
		switch (c.kind) {
		case FIFO: ASSERT_EQ(mkfifo(out.c_str(), 0600), 0); break;
		case DIRECTORY: ASSERT_EQ(mkdir(out.c_str(), 0700), 0); break;
		case LINK_TO_DEVICE: ASSERT_EQ(symlink("/dev/null", out.c_str()), 0); break;
		case LINK_TO_FILE: ASSERT_EQ(symlink("sub/old.img", out.c_str()), 0); break;
		case DANGLING_LINK: ASSERT_EQ(symlink("new.img", out.c_str()), 0); break;
		case LINK_TO_LINK:
			ASSERT_EQ(symlink("old.img", dir.path("sub/link-to-the-old-image").c_str()), 0);
			ASSERT_EQ(symlink("sub/link-to-the-old-image", out.c_str()), 0);
			break;
		}
		struct stat before, after, made;
		ASSERT_EQ(lstat(out.c_str(), &before), 0);
		tool_run run = run_ptbtool({ "make", out, "sninfo=PT1" });
		ASSERT_EQ(lstat(out.c_str(), &after), 0);
		EXPECT_EQ(after.st_mode, before.st_mode);
		if (c.made == NULL) {
			EXPECT_EQ(run.status, 1);
			EXPECT_EQ(run.err, ptbtool_error(out + ": not a regular file, so not replaced by an image"));
			EXPECT_EQ(ptb_read_file(dir.path("sub/old.img")), ptb_bytes(OLD_IMAGE.begin(), OLD_IMAGE.end()));
			continue;
		}
		EXPECT_EQ(run.status, 0);
		EXPECT_EQ(run.err, "");
		EXPECT_EQ(ptb_read_file(dir.path(c.made)).size(), 40960u);
		ASSERT_EQ(stat(dir.path(c.made).c_str(), &made), 0);
		if (c.kind == LINK_TO_FILE || c.kind == LINK_TO_LINK) {
			EXPECT_EQ(made.st_mode & 07777, 0640u);
		}
	}
}

/* Starts make on an image of erasesize bytes into dir and waits for its
 * temporary file; returns the process, or 0 when make ended before it showed. */
int start_make_caught_writing(const scratch &dir, unsigned long erasesize)
{
	int pid = start_ptbtool({ "make", "--erasesize", std::to_string(erasesize), dir.path("out.img") });
	while (dir.files().empty())
		if (waitpid(pid, NULL, WNOHANG) != 0)
			return 0;
		else
			usleep(500);
	return pid;
}

/* A run ended by the user while the image is being written leaves no
 * temporary file; one killed outright leaves it, as private as it was made.
 * The image grows until a run is caught in the writing. */
TEST(Make, SignalsLeaveNoTemporaryFile)
{
	/* Under valgrind the large images cost minutes and show nothing more. */
	if (getenv("PTBENV_TEST_WRAPPER"))
		GTEST_SKIP();
	for (int signal_number : { SIGINT, SIGTERM, SIGHUP, SIGKILL }) {
		SCOPED_TRACE(strsignal(signal_number));
		scratch dir;
		int pid = 0, status;
		for (unsigned long erasesize = 16 << 20; pid == 0 && erasesize <= 1 << 30; erasesize *= 2) {
			for (const std::string &name : dir.files())
				unlink(dir.path(name.c_str()).c_str());
			pid = start_make_caught_writing(dir, erasesize);
		}
		ASSERT_NE(pid, 0) << "make always ended before its temporary file showed";
		kill(pid, signal_number);
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
		if (signal_number != SIGKILL) {
			EXPECT_EQ(dir.files(), std::vector<std::string>());
			continue;
		}
		struct stat left;
		ASSERT_EQ(dir.files().size(), 1u);
		ASSERT_EQ(stat(dir.path(dir.files()[0].c_str()).c_str(), &left), 0);
		EXPECT_EQ(left.st_mode & 07777, 0600u);
	}
}

/* What a factory never writes: a value running on, erased flash in the
 * values, the MAC address and the flag; the PTB behind two bad blocks. */
ptb_bytes odd_dump(void)
{
	ptb_bytes image = ptb_blank(40960, 0xFF);
	for (const std::string &key : ptb_keys()) {
		enum ptb_kind kind = ptb_place(key).kind;
		if ((kind == PTB_TEXT || kind == PTB_LONG_TEXT) && key != "cmdline")
			ptb_put_text(image, key, key.substr(0, 6));
	}
	ptb_put_text(image, "qvkey", K32);
	ptb_put_bytes(image, "wifiinfo", "ABCDEFGH");
	ptb_bytes dump((32 * KiB) + image.size(), 0xFF);
	std::copy(image.begin(), image.end(), dump.begin() + (32 * KiB));
	return dump;
}

/* What show warns of over odd_dump(). */
const std::string ODD_WARNINGS =
	ptbtool_error("warning: wifiinfo: no terminator within its 8 bytes, the value runs on") +
	ptbtool_error("warning: cmdline: no terminator within its 256 bytes, the value runs on; erased flash (0xFF bytes) in it") +
	ptbtool_error("warning: ethaddr: erased flash, no address") +
	ptbtool_error("warning: qvauthcheck: erased flash (0xFF)");

/* Every key's line as ptbenv prints it over device, one run a key. */
std::string ptbenv_lines(const sim_partition &device)
{
	std::string lines;
	for (const std::string &key : ptb_keys())
		lines += run_ptbenv({ key }, device).out;
	return lines;
}

/* Writes bytes into the FIFO at path once a reader opens it, from a process
 * of its own; returns that process. */
pid_t feed_fifo(const std::string &path, const ptb_bytes &bytes)
{
	pid_t pid = fork();
	if (pid == 0) {
		alarm(60);
		int fd = open(path.c_str(), O_WRONLY);
		size_t done = 0;
		for (ssize_t n = 0; fd >= 0 && done < bytes.size() && n >= 0; done += (size_t)n)
			n = write(fd, bytes.data() + done, bytes.size() - done);
		_exit(0);
	}
	return pid;
}

/* What show prints is what ptbenv prints over the same partition: from a
 * dump file, a FIFO or standard input, or the device itself, either node,
 * in one read for every key. What the device's ECC could not correct in the
 * values fails; what it corrected or could not past them is a warning after
 * the block walk's own lines. DUMP and FIFO name the odd dump and a FIFO
 * fed with it. */
TEST(Show, PrintsWhatPtbenvPrints)
{
	scratch dir;
	ptb_bytes dump = odd_dump();
	/* Erased blocks past the PTB's read, which only a bad block listed there makes a stream read. */
	dump.resize(dump.size() + (32 * KiB), 0xFF);
	ASSERT_TRUE(ptb_write_file(dir.path("dump.bin"), dump));
	ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
	make_case every_key = every_key_at_its_longest();
	std::vector<std::string> make = { "make", dir.path("full.img") };
	make.insert(make.end(), every_key.assignments.begin(), every_key.assignments.end());
	ASSERT_EQ(run_ptbtool(make).status, 0);
	sim_partition full = sim_default(ptb_read_file(dir.path("full.img")));
	sim_partition odd = sim_image(sim_bad(sim_flash(256 * KiB, 16 * KiB), { 0, 1 }), dump);
	std::string full_lines = ptbenv_lines(full), odd_lines = ptbenv_lines(odd);
	std::string named = run_ptbenv({ "sninfo" }, odd).out + run_ptbenv({ "qvran" }, odd).out;
	const std::string BAD_0_AND_1 = bad_block_lines(16 * KiB, 0, 2);
	/* Each two ECC steps: in the values' bytes, and past their pages in odd's PTB at 0x8000. */
	const mtdsim_range IN_THE_VALUES = { 0xEF0, 0xF10 }, PAST_THEM = { 0xA000, 0xA200 };
	const sim_partition NONE = sim_default(ptb_bytes(), MTDSIM_MISSING);
	const std::string GEOMETRY_GIVEN = ptbtool_error("/dev/mtd2: an MTD device tells its own geometry and bad blocks: "
							 "no --erasesize, --size or --bad with it");
	const std::vector<std::string> ODD = { "--erasesize", "16384", "--bad", "0,1" };
	enum way { AS_NAMED, STDIN_FIFO, STDIN_DUMP, FULL_STDOUT };
	struct {
		const char *name;
		std::vector<std::string> options;
		std::string source;
		std::vector<std::string> keys;
		enum way way;
		sim_partition device;
		std::string out;
		std::string err;
		int status;
		unsigned preads;	/* of a device: the PTB's, then its copy's header */
		const char *command = "show";	/* or get, which takes the same options */
	} cases[] = {
		{ "a dump file", ODD, "DUMP", {}, AS_NAMED, NONE, odd_lines, ODD_WARNINGS, 0, 0 },
		/* Block numbers take the numbers' one syntax: hexadecimal, and decimal with a leading zero. */
		{ "keys named, one twice", { "--erasesize", "16384", "--size", "262144", "--bad", "0x0,01" }, "DUMP",
		  { "sninfo", "qvran", "sninfo" }, AS_NAMED, NONE, named + run_ptbenv({ "sninfo" }, odd).out, "", 0, 0 },
		{ "standard output full", ODD, "DUMP", { "sninfo" }, FULL_STDOUT, NONE, "",
		  ptbtool_error("standard output: No space left on device"), 1, 0 },
		{ "a FIFO", ODD, "FIFO", {}, AS_NAMED, NONE, odd_lines, ODD_WARNINGS, 0, 0 },
		{ "a FIFO, its last block listed bad", { "--erasesize", "16384", "--bad", "0,1,6" }, "FIFO", {}, AS_NAMED, NONE,
		  odd_lines, ODD_WARNINGS, 0, 0 },
		{ "standard input, a FIFO", ODD, "-", {}, STDIN_FIFO, NONE, odd_lines, ODD_WARNINGS, 0, 0 },
		{ "standard input, the dump file", ODD, "-", {}, STDIN_DUMP, NONE, odd_lines, ODD_WARNINGS, 0, 0 },
		{ "the device, every key", {}, "/dev/mtd2", {}, AS_NAMED, full, full_lines, "", 0, 2 },
		{ "the read-only node", {}, "/dev/mtd2ro", {}, AS_NAMED, full, full_lines, "", 0, 2 },
		{ "the device, bad blocks ahead, said once", {}, "/dev/mtd2", {}, AS_NAMED, odd, odd_lines,
		  BAD_0_AND_1 + ODD_WARNINGS, 0, 2 },
		{ "uncorrectable in the values", {}, "/dev/mtd2", {}, AS_NAMED, aged(full, { IN_THE_VALUES }), "",
		  PREAD_EBADMSG + values_unreadable("/dev/mtd2", 2, 0), 1, 3 },
		{ "uncorrectable past the values", {}, "/dev/mtd2ro", {}, AS_NAMED, aged(odd, { PAST_THEM }), odd_lines,
		  BAD_0_AND_1 + failed_elsewhere("/dev/mtd2ro", 2, 0x8000) + ODD_WARNINGS, 0, 3 },
		{ "bitflips corrected", {}, "/dev/mtd2", {}, AS_NAMED, aged(full, {}, { { 0, 0x800 } }), full_lines,
		  corrected_bitflips("/dev/mtd2", 8, 0), 0, 2 },
		{ "a geometry given with the device", { "--erasesize", "131072" }, "/dev/mtd2", {}, AS_NAMED, full, "",
		  GEOMETRY_GIVEN, 1, 0 },
		{ "a size given with the device", { "--size", "1048576" }, "/dev/mtd2", {}, AS_NAMED, full, "",
		  GEOMETRY_GIVEN, 1, 0 },
		{ "bad blocks given with the device", { "--bad", "0" }, "/dev/mtd2", {}, AS_NAMED, full, "",
		  GEOMETRY_GIVEN, 1, 0 },
		{ "get, a value that runs on: printed as ptbenv prints it, and warned of", ODD, "DUMP", { "wifiinfo" },
		  AS_NAMED, NONE, run_ptbenv({ "wifiinfo" }, odd).out.substr(strlen("wifiinfo:")),
		  ptbtool_error("warning: wifiinfo: no terminator within its 8 bytes, the value runs on"), 0, 0, "get" },
		{ "get, a key that holds nothing to show: said so", ODD, "DUMP", { "qvhardreset" }, AS_NAMED, NONE, "",
		  ptbtool_error("qvhardreset: no value"), 1, 0, "get" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<std::string> args = { c.command };
		args.insert(args.end(), c.options.begin(), c.options.end());
		args.push_back(c.source == "DUMP" ? dir.path("dump.bin") : c.source == "FIFO" ? dir.path("fifo") : c.source);
		args.insert(args.end(), c.keys.begin(), c.keys.end());
		tool_options options;
		options.out = c.way == FULL_STDOUT ? STDOUT_FULL : STDOUT_CAPTURED;
		options.input = c.way == STDIN_FIFO ? dir.path("fifo") : c.way == STDIN_DUMP ? dir.path("dump.bin") : "";
		pid_t feeder = c.source == "FIFO" || c.way == STDIN_FIFO ? feed_fifo(dir.path("fifo"), dump) : -1;
		tool_run run = run_ptbtool_on(args, c.device, options);
		if (feeder > 0) {
			kill(feeder, SIGKILL);
			waitpid(feeder, NULL, 0);
		}
		EXPECT_EQ(run.status, c.status);
		EXPECT_EQ(run.out, c.out);
		EXPECT_EQ(run.err, c.err);
		size_t preads = 0;
		for (size_t at = 0; (at = run.device_log.find("\npread ", at)) != std::string::npos; at++)
			preads++;
		EXPECT_EQ(preads, c.preads);
	}
}

TEST(Show, Errors)
{
	scratch dir;
	ASSERT_TRUE(ptb_write_file(dir.path("dump.bin"), odd_dump()));	/* 72 KiB */
	std::string dump = dir.path("dump.bin");
	struct {
		const char *name;
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
		{ "missing file", { dir.path("none.bin") }, ptbtool_error(dir.path("none.bin") + ": No such file or directory") },
		{ "bad block past the end", { "--erasesize", "16384", "--bad", "0,5", dump },
		  ptbtool_error("bad block 5 is past the end of the partition (blocks 0 to 4)") },
		{ "bad block list malformed", { "--erasesize", "16384", "--bad", "0,", dump },
		  ptbtool_error("--bad must list block numbers as 0,1,5, not '0,'") },
		{ "every block bad", { "--erasesize", "16384", "--bad", "0,1,2,3,4", dump },
		  ptbtool_error(dump + ": every block is bad, so no PTB") },
		{ "dump too short for the read", { "--erasesize", "16384", "--size", "1048576", "--bad", "0,1,2", dump },
		  ptbtool_error(dump + ": dump too short: 73728 bytes, the PTB at 0xc000 needs 40960 from there") },
		{ "partition too short for the read", { "--erasesize", "16384", "--bad", "0,1,2", dump },
		  ptbtool_error(dump + ": partition too short: the PTB at 0xc000 needs 40960 bytes, the partition ends 32768 after it") },
		{ "unknown key", { dump, "sninfo", "serial" }, no_such_key("serial") },
		{ "a key's prefix", { dump, "chip" }, no_such_key("chip") },
		{ "an empty dump, with a bad block named", { "--bad", "0", dir.path("empty.bin") },
		  ptbtool_error(dir.path("empty.bin") + ": empty, so no PTB") },
		{ "a bad block just past a dump of whole blocks", { "--erasesize", "8192", "--bad", "9", dump },
		  ptbtool_error("bad block 9 is past the end of the partition (blocks 0 to 8)") },
		{ "a directory", { dir.dir }, ptbtool_error(dir.dir + ": not a dump file, a pipe or an MTD device") },
		{ "a character device", { "/dev/null" }, ptbtool_error("/dev/null: not a dump file, a pipe or an MTD device") },
		{ "standard input a character device", { "-" },
		  ptbtool_error("standard input: not a dump file, a pipe or an MTD device") },
	};
	ASSERT_TRUE(ptb_write_file(dir.path("empty.bin"), ptb_bytes()));
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		std::vector<std::string> args = { "show" };
		args.insert(args.end(), c.args.begin(), c.args.end());
		tool_run run = run_ptbtool(args);
		EXPECT_EQ(run.status, 1);
		EXPECT_EQ(run.out, "");
		EXPECT_EQ(run.err, c.err);
	}
}

}
