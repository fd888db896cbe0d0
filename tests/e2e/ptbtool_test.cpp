/* ptbtool as a process: images that make writes read back through ptbenv
 * over the simulated device, refusals leave OUT untouched, and show prints
 * what ptbenv prints over the same dump. */
#include "run_tool.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

const char *const ALL_KEYS[] = {
	"chipinfo", "lorainfo", "wifiinfo", "product", "sninfo", "deveui", "appeui", "devaddr", "appkey",
	"appskey", "nwkskey", "cmdline", "ethaddr", "qvhardreset", "qvkey", "qvauthcheck", "qvran",
};

const std::string USAGE =
	"usage: ptbtool make [--erasesize N] [--fill BYTE] [--fields FILE] OUT [KEY=VALUE ...]\n"
	"       ptbtool show [--erasesize N] [--size N] [--bad LIST] IMAGE [KEY ...]\n";

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
		for (const std::string &name : files())
			unlink((dir + "/" + name).c_str());
		rmdir(dir.c_str());
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

void write_file(const std::string &path, const std::string &text)
{
	ASSERT_TRUE(ptb_write_file(path, ptb_bytes(text.begin(), text.end())));
}

ptb_bytes read_file(const std::string &path)
{
	ptb_bytes bytes;
	FILE *file = fopen(path.c_str(), "rb");
	for (int c; file != NULL && (c = getc(file)) != EOF;)
		bytes.push_back((unsigned char)c);
	if (file != NULL)
		fclose(file);
	return bytes;
}

/* What ptbenv prints for a key that make was given no value for. */
std::string unset_line(const std::string &key)
{
	if (key == "ethaddr")
		return "ethaddr:00:00:00:00:00:00\n";
	if (key == "qvhardreset" || key == "qvkey" || key == "qvran")
		return "";
	return key + ":\n";
}

struct make_case {
	const char *name;
	std::vector<std::string> options;	/* before OUT; FIELDS names the fields file */
	std::string fields;			/* its contents */
	std::vector<std::string> assignments;	/* after OUT */
	size_t length;
	std::vector<std::pair<std::string, std::string>> printed;	/* key, value ptbenv prints */
};

std::vector<std::string> make_args(const make_case &c, const scratch &dir)
{
	std::vector<std::string> args = { "make" };
	for (const std::string &option : c.options)
		args.push_back(option == "FIELDS" ? dir.path("fields") : option);
	args.push_back(dir.path("out.img"));
	args.insert(args.end(), c.assignments.begin(), c.assignments.end());
	return args;
}

const std::string K32 = "0123456789abcdef0123456789ABCDEF";

const make_case accepted[] = {
	{ "nothing given: every field reads back empty, not erased", {}, "", {}, 40960, {} },
	{ "every key at its longest, MAC in lower case", {},
	  "", { "chipinfo=" + std::string(63, 'c'), "lorainfo=" + std::string(15, 'l'), "wifiinfo=2.4G+5G",
		"product=" + std::string(63, 'p'), "sninfo=" + std::string(31, 's'), "deveui=0080E11505001234",
		"appeui=70B3D57ED0001234", "devaddr=26011BDA", "appkey=" + std::string(32, 'k'),
		"appskey=" + std::string(32, 'a'), "nwkskey=" + std::string(32, 'n'), "cmdline=" + std::string(255, 'x'),
		"ethaddr=0a:1b:2c:3d:4e:ff", "qvkey=" + K32, "qvran=" + K32, "qvauthcheck=:" }, 40960,
	  { { "chipinfo", std::string(63, 'c') }, { "lorainfo", std::string(15, 'l') }, { "wifiinfo", "2.4G+5G" },
	    { "product", std::string(63, 'p') }, { "sninfo", std::string(31, 's') }, { "deveui", "0080E11505001234" },
	    { "appeui", "70B3D57ED0001234" }, { "devaddr", "26011BDA" }, { "appkey", std::string(32, 'k') },
	    { "appskey", std::string(32, 'a') }, { "nwkskey", std::string(32, 'n') }, { "cmdline", std::string(255, 'x') },
	    { "ethaddr", "0A:1B:2C:3D:4E:FF" }, { "qvkey", K32 }, { "qvran", K32 }, { "qvauthcheck", ":" } } },
	{ "fields file: comments, blank lines, '=' and blanks in values, the empty flag", { "--fields", "FIELDS" },
	  "# factory line 3\n\nproduct= Outdoor gateway = GW-8 \n   \ncmdline=console=ttyS0 root=/dev/mmcblk0p2\nqvauthcheck=",
	  { "sninfo=PT2324A00117" }, 40960,
	  { { "product", " Outdoor gateway = GW-8 " }, { "cmdline", "console=ttyS0 root=/dev/mmcblk0p2" },
	    { "qvauthcheck", "" }, { "sninfo", "PT2324A00117" } } },
	{ "bytes 0x80 to 0xFF, a flag past '9'", { "--fill", "0" }, "",
	  { "sninfo=\xC3\xA9\x80\xFF", "qvauthcheck=\xFF" }, 40960,
	  { { "sninfo", "\xC3\xA9\x80\xFF" }, { "qvauthcheck", "\xFF" } } },
	{ "an erase block larger than the read", { "--erasesize", "0x20000", "--fill", "0x5a" }, "",
	  { "deveui=" }, 131072, { { "deveui", "" } } },
};

TEST(Make, AcceptedValuesReadBackThroughPtbenv)
{
	for (const make_case &c : accepted) {
		SCOPED_TRACE(c.name);
		scratch dir;
		if (!c.fields.empty())
			write_file(dir.path("fields"), c.fields);
		tool_run made = run_ptbtool(make_args(c, dir));
		ASSERT_EQ(made.status, 0) << made.err;
		EXPECT_EQ(made.out, "");
		EXPECT_EQ(made.err, "");
		ptb_bytes image = read_file(dir.path("out.img"));
		EXPECT_EQ(image.size(), c.length);
		/* Every key where none is given, else the keys given. */
		std::vector<std::pair<std::string, std::string>> lines;
		for (const char *key : ALL_KEYS)
			if (c.printed.empty())
				lines.push_back({ key, unset_line(key) });
		for (const auto &key_value : c.printed)
			lines.push_back({ key_value.first, key_value.first + ":" + key_value.second + "\n" });
		for (const auto &key_line : lines) {
			tool_run read = run_ptbenv({ key_line.first }, device_with(image));
			EXPECT_EQ(read.out, key_line.second) << key_line.first;
			EXPECT_EQ(read.err, "") << key_line.first;
		}
	}
}

struct refusal {
	const char *name;
	std::vector<std::string> options;
	std::string fields;
	std::vector<std::string> assignments;
	int status;
	std::string err;	/* FIELDS stands for the fields file's path */
	std::string out;
};

const refusal refusals[] = {
	{ "text too long", {}, "", { "sninfo=" + std::string(32, 's') }, 1, "ptbtool: sninfo holds at most 31 characters\n", "" },
	{ "the longest room too long", {}, "", { "cmdline=" + std::string(256, 'x') }, 1, "ptbtool: cmdline holds at most 255 characters\n", "" },
	{ "newline", {}, "", { "product=GW\n8" }, 1, "ptbtool: product holds a newline\n", "" },
	{ "NUL byte in a fields file", { "--fields", "FIELDS" }, std::string("sninfo=PT\0" "1\n", 11), {}, 1,
	  "ptbtool: FIELDS:1: sninfo holds a NUL byte\n", "" },
	{ "carriage return of a DOS line end", { "--fields", "FIELDS" }, "# ok\r\nsninfo=PT1\r\n", {}, 1,
	  "ptbtool: FIELDS:2: sninfo holds a carriage return\n", "" },
	{ "unknown key", {}, "", { "serial=1" }, 1, "ptbtool: no such key: serial\n", "" },
	{ "qvhardreset", {}, "", { "qvhardreset=1" }, 1, "ptbtool: qvhardreset has no field in the PTB\n", "" },
	{ "key twice", {}, "", { "sninfo=1", "deveui=2", "sninfo=1" }, 1, "ptbtool: sninfo given twice\n", "" },
	{ "key in the fields file and on the command line", { "--fields", "FIELDS" }, "sninfo=1\n", { "sninfo=1" }, 1,
	  "ptbtool: sninfo given twice\n", "" },
	{ "MAC too short", {}, "", { "ethaddr=02:1A:2B:3C:4D" }, 1, "ptbtool: ethaddr must be six hexadecimal bytes as XX:XX:XX:XX:XX:XX\n", "" },
	{ "MAC with dashes", {}, "", { "ethaddr=02-1A-2B-3C-4D-5E" }, 1, "ptbtool: ethaddr must be six hexadecimal bytes as XX:XX:XX:XX:XX:XX\n", "" },
	{ "MAC not hexadecimal", {}, "", { "ethaddr=02:1A:2B:3C:4D:5G" }, 1, "ptbtool: ethaddr must be six hexadecimal bytes as XX:XX:XX:XX:XX:XX\n", "" },
	{ "qvkey of 31", {}, "", { "qvkey=" + K32.substr(1) }, 1, "ptbtool: qvkey must be exactly 32 characters\n", "" },
	{ "qvran of 33", {}, "", { "qvran=" + K32 + "x" }, 1, "ptbtool: qvran must be exactly 32 characters\n", "" },
	{ "flag of two characters", {}, "", { "qvauthcheck=10" }, 1, "ptbtool: qvauthcheck must be one character or empty\n", "" },
	{ "erase size 0", { "--erasesize", "0" }, "", {}, 1, "ptbtool: --erasesize must be a number from 1 to 1073741824, not '0'\n", "" },
	{ "erase size over 1 GiB", { "--erasesize", "0x40000001" }, "", {}, 1,
	  "ptbtool: --erasesize must be a number from 1 to 1073741824, not '0x40000001'\n", "" },
	{ "fill not a byte", { "--fill", "256" }, "", {}, 1, "ptbtool: --fill must be a number from 0 to 255, not '256'\n", "" },
	{ "fill negative", { "--fill", "-1" }, "", {}, 1, "ptbtool: --fill must be a number from 0 to 255, not '-1'\n", "" },
	{ "fields file missing", { "--fields", "FIELDS" }, "", {}, 1, "ptbtool: FIELDS: No such file or directory\n", "" },
	{ "fields line not KEY=VALUE", { "--fields", "FIELDS" }, "# serial\n\nsninfo\n", {}, 1,
	  "ptbtool: FIELDS:3: not KEY=VALUE: sninfo\n", "" },
	{ "fields line with no key", { "--fields", "FIELDS" }, "=PT1\n", {}, 1, "ptbtool: FIELDS:1: not KEY=VALUE: =PT1\n", "" },
	{ "argument not KEY=VALUE", {}, "", { "sninfo" }, 1, "ptbtool: not KEY=VALUE: sninfo\n", "" },
	{ "unknown option", { "--length", "4096" }, "", {}, 2, USAGE, "" },
	{ "--help writes nothing", { "--help" }, "", {}, 0, "", USAGE },
};

const std::string OLD_IMAGE = "the image made before";

TEST(Make, RefusalsLeaveOutUntouched)
{
	for (const refusal &c : refusals) {
		SCOPED_TRACE(c.name);
		scratch dir;
		make_case made = { c.name, c.options, c.fields, c.assignments, 0, {} };
		if (!c.fields.empty())
			write_file(dir.path("fields"), c.fields);
		write_file(dir.path("out.img"), OLD_IMAGE);
		std::vector<std::string> before = dir.files();
		tool_run run = run_ptbtool(make_args(made, dir));
		std::string err = c.err;
		size_t at = err.find("FIELDS");
		if (at != std::string::npos)
			err.replace(at, 6, dir.path("fields"));
		EXPECT_EQ(run.status, c.status);
		EXPECT_EQ(run.err, err);
		EXPECT_EQ(run.out, c.out);
		EXPECT_EQ(read_file(dir.path("out.img")), ptb_bytes(OLD_IMAGE.begin(), OLD_IMAGE.end()));
		EXPECT_EQ(dir.files(), before);
	}
}

bool is_text(const std::string &key)
{
	for (size_t i = 0; i < ptb_field_count; i++)
		if (key == ptb_field_places[i].key)
			return ptb_field_places[i].kind == PTB_TEXT || ptb_field_places[i].kind == PTB_LONG_TEXT;
	return false;
}

/* What a factory never writes: a value running on, erased flash in the
 * values, the MAC address and the flag; the PTB behind two bad blocks. */
ptb_bytes odd_dump(void)
{
	ptb_bytes image = ptb_blank(40960, 0xFF);
	for (const char *key : ALL_KEYS)
		if (is_text(key) && std::string(key) != "cmdline")
			ptb_put_text(image, key, std::string(key).substr(0, 6));
	ptb_put_text(image, "qvkey", K32);
	ptb_put_bytes(image, "wifiinfo", "ABCDEFGH");
	ptb_bytes dump((32 << 10) + image.size(), 0xFF);
	std::copy(image.begin(), image.end(), dump.begin() + (32 << 10));
	return dump;
}

TEST(Show, PrintsWhatPtbenvPrintsOverTheSameDump)
{
	scratch dir;
	ptb_bytes dump = odd_dump();
	ASSERT_TRUE(ptb_write_file(dir.path("dump.bin"), dump));
	tool_device device = { true, dump, 256 << 10, 16 << 10, "0,1", "" };
	std::string every_key;
	for (const char *key : ALL_KEYS)
		every_key += run_ptbenv({ key }, device).out;

	tool_run shown = run_ptbtool({ "show", "--erasesize", "16384", "--bad", "0,1", dir.path("dump.bin") });
	EXPECT_EQ(shown.status, 0);
	EXPECT_EQ(shown.out, every_key);
	EXPECT_EQ(shown.err,
		  "ptbtool: warning: wifiinfo: no terminator within its 8 bytes, the value runs on\n"
		  "ptbtool: warning: cmdline: no terminator within its 256 bytes, the value runs on; erased flash (0xFF bytes) in it\n"
		  "ptbtool: warning: ethaddr: erased flash, no address\n"
		  "ptbtool: warning: qvauthcheck: erased flash (0xFF)\n");

	tool_run named = run_ptbtool({ "show", "--erasesize", "16384", "--size", "262144", "--bad", "0,1",
				       dir.path("dump.bin"), "sninfo", "qvran", "sninfo" });
	EXPECT_EQ(named.status, 0);
	EXPECT_EQ(named.out, run_ptbenv({ "sninfo" }, device).out + run_ptbenv({ "qvran" }, device).out +
			     run_ptbenv({ "sninfo" }, device).out);
	EXPECT_EQ(named.err, "");
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
		{ "missing file", { dir.path("none.bin") }, "ptbtool: " + dir.path("none.bin") + ": No such file or directory\n" },
		{ "bad block past the end", { "--erasesize", "16384", "--bad", "0,5", dump },
		  "ptbtool: bad block 5 is past the end of the partition (blocks 0 to 4)\n" },
		{ "bad block list malformed", { "--erasesize", "16384", "--bad", "0,", dump },
		  "ptbtool: --bad must list block numbers as 0,1,5, not '0,'\n" },
		{ "every block bad", { "--erasesize", "16384", "--bad", "0,1,2,3,4", dump },
		  "ptbtool: " + dump + ": every block is bad, so no PTB\n" },
		{ "dump too short for the read", { "--erasesize", "16384", "--size", "1048576", "--bad", "0,1,2", dump },
		  "ptbtool: " + dump + ": dump too short: 73728 bytes, the PTB at 0xc000 needs 40960 from there\n" },
		{ "partition too short for the read", { "--erasesize", "16384", "--bad", "0,1,2", dump },
		  "ptbtool: " + dump + ": partition too short: the PTB at 0xc000 needs 40960 bytes, the partition ends 32768 after it\n" },
		{ "unknown key", { dump, "sninfo", "serial" }, "ptbtool: no such key: serial\n" },
	};
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
