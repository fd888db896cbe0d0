/* The shipped ptbenv as a process: its streams and exit status, byte for byte. */
#include "run_tool.h"

#include <gtest/gtest.h>

namespace {

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
sim_partition behind_bad_blocks(void)
{
	ptb_bytes partition(32 * KiB, 0xFF);
	ptb_bytes image = sample();
	partition.insert(partition.end(), image.begin(), image.end());
	return sim_image(sim_bad(sim_flash(256 * KiB, 16 * KiB), { 0, 1 }), partition);
}

/* The first two bytes of key's value in a PTB at offset; an ECC step past
 * the pages the values lie in. */
mtdsim_range first_bytes(const std::string &key, uint64_t offset = 0)
{
	return sim_field_bytes(key, 2, offset);
}
const mtdsim_range PAST_THE_VALUES = { 0x2000, 0x2100 };

struct cli_case {
	const char *name;
	std::vector<std::string> args;
	sim_partition device;
	std::string out;
	std::string err;
	int status;
};

const std::string BAD_0_AND_1 = bad_block_lines(16 * KiB, 0, 2);

const cli_case cli_cases[] = {
	{ "text key", { "chipinfo" }, sim_default(sample()), "chipinfo:SX1302 rev C\n", "", 0 },
	{ "text with blanks", { "cmdline" }, sim_default(sample()), "cmdline:console=ttyS0,115200 rootwait\n", "", 0 },
	{ "empty field", { "sninfo" }, sim_default(sample()), "sninfo:\n", "", 0 },
	{ "empty key", { "" }, sim_default(sample()), unsupported(""), "", 0 },
	{ "upper case key", { "CHIPINFO" }, sim_default(sample()), unsupported("CHIPINFO"), "", 0 },
	{ "key prefix", { "chip" }, sim_default(sample()), unsupported("chip"), "", 0 },
	{ "bad blocks ahead", { "product" }, behind_bad_blocks(), "product:GW-8 outdoor gateway\n", BAD_0_AND_1, 0 },
	{ "every block bad", { "chipinfo" }, sim_image(sim_bad(sim_flash(32 * KiB, 16 * KiB), { 0, 1 }), sample()),
	  READ_FAILED, BAD_0_AND_1 + NO_GOOD_BLOCK, 0 },
	{ "good block too near the end", { "chipinfo" }, sim_image(sim_bad(sim_flash(48 * KiB, 16 * KiB), { 0, 1 }), sample()),
	  READ_FAILED, BAD_0_AND_1 + PREAD_EIO, 0 },
	{ "not an MTD device", { "chipinfo" }, sim_default(sample(), MTDSIM_NOT_MTD), READ_FAILED, NOT_MTD, 0 },
	{ "device missing", { "sninfo" }, sim_default(ptb_bytes(), MTDSIM_MISSING), "", OPEN_MISSING, 1 },
	{ "device missing, unsupported key", { "nosuchkey" }, sim_default(ptb_bytes(), MTDSIM_MISSING),
	  "", OPEN_MISSING, 1 },
	{ "MAC address", { "ethaddr" }, sim_default(sample()), "ethaddr:00:1A:2B:3C:4D:5E\n", "", 0 },
	{ "qvkey of 32 characters", { "qvkey" }, sim_default(sample()), "qvkey:0123456789abcdef0123456789abcdef\n", "", 0 },
	{ "qvran of 31 characters prints nothing", { "qvran" }, sim_default(sample()), "", "", 0 },
	{ "auth-check byte 208 prints an empty value", { "qvauthcheck" }, sim_default(sample()), "qvauthcheck:\n", "", 0 },
	{ "qvhardreset prints nothing", { "qvhardreset" }, sim_default(sample()), "", "", 0 },
	{ "qvhardreset behind bad blocks", { "qvhardreset" }, behind_bad_blocks(), "", BAD_0_AND_1, 0 },
	{ "qvhardreset on a failing device", { "qvhardreset" }, sim_default(sample(), MTDSIM_PREAD_FAILS),
	  READ_FAILED, PREAD_EIO, 0 },
	{ "erased flash", { "deveui" }, sim_default(ptb_blank(40960, 0xFF)),
	  "deveui:" + std::string(1024, '\xFF') + "\n", "", 0 },
	{ "uncorrectable text", { "chipinfo" }, aged(sim_default(sample()), { first_bytes("chipinfo") }),
	  READ_FAILED, PREAD_EBADMSG, 0 },
	{ "uncorrectable MAC address", { "ethaddr" }, aged(sim_default(sample()), { first_bytes("ethaddr") }),
	  READ_FAILED, PREAD_EBADMSG, 0 },
	{ "uncorrectable auth-check byte", { "qvauthcheck" },
	  aged(sim_default(sample()), { first_bytes("qvauthcheck") }), READ_FAILED, PREAD_EBADMSG, 0 },
	{ "uncorrectable qvkey", { "qvkey" }, aged(sim_default(sample()), { first_bytes("qvkey") }),
	  READ_FAILED, PREAD_EBADMSG, 0 },
	{ "uncorrectable past the values", { "chipinfo" }, aged(sim_default(sample()), { PAST_THE_VALUES }),
	  "chipinfo:SX1302 rev C\n", "", 0 },
	{ "uncorrectable once", { "chipinfo" },
	  sim_fault(aged(sim_default(sample()), { first_bytes("chipinfo") }), MTDSIM_ECC_TRANSIENT),
	  "chipinfo:SX1302 rev C\n", "", 0 },
	{ "bitflips corrected", { "ethaddr" }, aged(sim_default(sample()), {}, { { 0, 40960 } }),
	  "ethaddr:00:1A:2B:3C:4D:5E\n", "", 0 },
	{ "a driver without counters", { "qvkey" },
	  sim_fault(aged(sim_default(sample()), { PAST_THE_VALUES }), MTDSIM_NO_ECC_STATS),
	  "qvkey:0123456789abcdef0123456789abcdef\n", "", 0 },
	{ "uncorrectable behind bad blocks", { "product" },
	  aged(behind_bad_blocks(), { first_bytes("product", 32 * KiB) }),
	  READ_FAILED, BAD_0_AND_1 + PREAD_EBADMSG, 0 },
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
		tool_run run = run_ptbenv(args, sim_default(sample()));
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
		sim_partition device;
		std::string log;
	} cases[] = {
		{ "first block good", sim_default(sample()),
		  "open read-only\nMEMGETINFO\nMEMGETBADBLOCK 0x0 -> 0\n" ECC_UNCHANGED "pread 131072 at 0x0 -> 131072\n" ECC_UNCHANGED "close\n" },
		{ "bad blocks ahead", behind_bad_blocks(),
		  "open read-only\nMEMGETINFO\nMEMGETBADBLOCK 0x0 -> 1\nMEMGETBADBLOCK 0x4000 -> 1\n"
		  "MEMGETBADBLOCK 0x8000 -> 0\n" ECC_UNCHANGED "pread 40960 at 0x8000 -> 40960\n" ECC_UNCHANGED "close\n" },
		{ "uncorrectable in the values: read again, no better", aged(sim_default(sample()), { first_bytes("chipinfo") }),
		  "open read-only\nMEMGETINFO\nMEMGETBADBLOCK 0x0 -> 0\n" ECC_UNCHANGED "pread 131072 at 0x0 -> 131072\n"
		  "ECCGETSTATS -> corrected 17 failed 6\nECCGETSTATS -> corrected 17 failed 6\n"
		  "pread " + std::to_string(PTB_VALUES_END) + " at 0x0 -> " + std::to_string(PTB_VALUES_END) +
		  "\nECCGETSTATS -> corrected 17 failed 7\nclose\n" },
		{ "not an MTD device", sim_default(sample(), MTDSIM_NOT_MTD), "open read-only\nMEMGETINFO\nclose\n" },
		{ "device missing", sim_default(ptb_bytes(), MTDSIM_MISSING), "open read-only\n" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(run_ptbenv({ "chipinfo" }, c.device).device_log, c.log);
	}
}

}
