/* The shipped ptbenv as a process: its streams and exit status, byte for byte. */
#include "run_tool.h"

#include <gtest/gtest.h>

namespace {

const char READ_FAILED[] = "\n ===== zarn read env failed.\n";

ptb_bytes sample(void)
{
	ptb_bytes image = ptb_blank();
	ptb_put_text(image, "chipinfo", "SX1302 rev C");
	ptb_put_text(image, "lorainfo", "EU868");
	ptb_put_text(image, "wifiinfo", "2.4G");
	ptb_put_text(image, "product", "GW-8 outdoor gateway");
	ptb_put_text(image, "sninfo", "");
	ptb_put_text(image, "deveui", "00800000A0001234");
	ptb_put_text(image, "cmdline", "console=ttyS0,115200 rootwait");
	ptb_put_value(image, "ethaddr", "00:1A:2B:3C:4D:5E");
	ptb_put_text(image, "qvkey", "0123456789abcdef0123456789abcdef");
	ptb_put_text(image, "qvran", "0123456789abcdef0123456789abcde");
	ptb_put_value(image, "qvauthcheck", "208");
	return image;
}

/* The same PTB behind two bad 16 KiB blocks. */
tool_device behind_bad_blocks(void)
{
	ptb_bytes partition(32 << 10, 0xFF);
	ptb_bytes image = sample();
	partition.insert(partition.end(), image.begin(), image.end());
	return { true, partition, 256 << 10, 16 << 10, "0,1", "" };
}

struct cli_case {
	const char *name;
	std::vector<std::string> args;
	tool_device device;
	std::string out;
	std::string err;
	int status;
};

const std::string BAD_0_AND_1 =
	"Bad block at 0, from 0 will be skipped\n"
	"Bad block at 4000, from 4000 will be skipped\n";

const cli_case cli_cases[] = {
	{ "text key", { "chipinfo" }, device_with(sample()), "chipinfo:SX1302 rev C\n", "", 0 },
	{ "text with blanks", { "cmdline" }, device_with(sample()), "cmdline:console=ttyS0,115200 rootwait\n", "", 0 },
	{ "empty field", { "sninfo" }, device_with(sample()), "sninfo:\n", "", 0 },
	{ "empty key", { "" }, device_with(sample()), "\n====[] env not supported. \n", "", 0 },
	{ "upper case key", { "CHIPINFO" }, device_with(sample()), "\n====[CHIPINFO] env not supported. \n", "", 0 },
	{ "key prefix", { "chip" }, device_with(sample()), "\n====[chip] env not supported. \n", "", 0 },
	{ "bad blocks ahead", { "product" }, behind_bad_blocks(), "product:GW-8 outdoor gateway\n", BAD_0_AND_1, 0 },
	{ "every block bad", { "chipinfo" }, { true, sample(), 32 << 10, 16 << 10, "0,1", "" },
	  READ_FAILED, BAD_0_AND_1 + "Can't find good block in PTB.\n", 0 },
	{ "good block too near the end", { "chipinfo" }, { true, sample(), 48 << 10, 16 << 10, "0,1", "" },
	  READ_FAILED, BAD_0_AND_1 + "pread PTB: Input/output error\n", 0 },
	{ "not an MTD device", { "chipinfo" }, device_with(sample(), "not-mtd"),
	  READ_FAILED, "PTB MEMGETINFO: Inappropriate ioctl for device\n", 0 },
	{ "device missing", { "sninfo" }, { false, {}, 0, 0, "", "" },
	  "", "open PTB: No such file or directory\n", 1 },
	{ "device missing, unsupported key", { "nosuchkey" }, { false, {}, 0, 0, "", "" },
	  "", "open PTB: No such file or directory\n", 1 },
	{ "MAC address", { "ethaddr" }, device_with(sample()), "ethaddr:00:1A:2B:3C:4D:5E\n", "", 0 },
	{ "qvkey of 32 characters", { "qvkey" }, device_with(sample()), "qvkey:0123456789abcdef0123456789abcdef\n", "", 0 },
	{ "qvran of 31 characters prints nothing", { "qvran" }, device_with(sample()), "", "", 0 },
	{ "auth-check byte 208 prints an empty value", { "qvauthcheck" }, device_with(sample()), "qvauthcheck:\n", "", 0 },
	{ "qvhardreset prints nothing", { "qvhardreset" }, device_with(sample()), "", "", 0 },
	{ "qvhardreset behind bad blocks", { "qvhardreset" }, behind_bad_blocks(), "", BAD_0_AND_1, 0 },
	{ "qvhardreset on a failing device", { "qvhardreset" }, device_with(sample(), "pread-fails"),
	  READ_FAILED, "pread PTB: Input/output error\n", 0 },
	{ "erased flash", { "deveui" }, device_with(ptb_blank(40960, 0xFF)),
	  "deveui:" + std::string(1024, '\xFF') + "\n", "", 0 },
};

TEST(Cli, StreamsAndStatus)
{
	for (const cli_case &c : cli_cases) {
		SCOPED_TRACE(c.name);
		tool_run run = run_ptbenv(c.args, c.device);
		EXPECT_EQ(run.out, c.out);
		EXPECT_EQ(run.err, c.err);
		EXPECT_EQ(run.status, c.status);
	}
}

TEST(Cli, WrongArgumentCountDoesNothing)
{
	const std::vector<std::string> arg_lists[] = { {}, { "chipinfo", "sninfo" }, { "a", "b", "c" } };
	for (const auto &args : arg_lists) {
		SCOPED_TRACE(args.size());
		tool_run run = run_ptbenv(args, device_with(sample()));
		EXPECT_EQ(run.out, "");
		EXPECT_EQ(run.err, "");
		EXPECT_EQ(run.status, 0);
		EXPECT_EQ(run.device_log, "");
	}
}

TEST(Cli, DeviceCallsForOneLookup)
{
	struct {
		const char *name;
		tool_device device;
		const char *log;
	} cases[] = {
		{ "first block good", device_with(sample()),
		  "open read-only\nMEMGETINFO\nMEMGETBADBLOCK 0x0 -> 0\npread 131072 at 0x0 -> 131072\nclose\n" },
		{ "bad blocks ahead", behind_bad_blocks(),
		  "open read-only\nMEMGETINFO\nMEMGETBADBLOCK 0x0 -> 1\nMEMGETBADBLOCK 0x4000 -> 1\n"
		  "MEMGETBADBLOCK 0x8000 -> 0\npread 40960 at 0x8000 -> 40960\nclose\n" },
		{ "not an MTD device", device_with(sample(), "not-mtd"), "open read-only\nMEMGETINFO\nclose\n" },
		{ "device missing", { false, {}, 0, 0, "", "" }, "open read-only\n" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(run_ptbenv({ "chipinfo" }, c.device).device_log, c.log);
	}
}

}
