/* Values with their own rendering: MAC address, the qv items and the auth-check flag. */
#include "ptb/ptb_env.h"
#include "sim_device.h"

#include <gtest/gtest.h>

namespace {

struct render_case {
	const char *name;
	const char *key;
	const char *field;	/* where stored goes; stored carries no terminator */
	std::string stored;
	bool found;
	std::string expected;
};

const std::string KEY32 = "0123456789abcdef0123456789ABCDEF";

const render_case render_cases[] = {
	{ "MAC in storage order", "ethaddr", "ethaddr", std::string("\x00\x1A\x2B\x3C\x4D\x5E", 6), true, "00:1A:2B:3C:4D:5E" },
	{ "all-0xFF MAC", "ethaddr", "ethaddr", std::string(6, '\xFF'), true, "FF:FF:FF:FF:FF:FF" },
	{ "all-zero MAC", "ethaddr", "ethaddr", std::string(6, '\0'), true, "00:00:00:00:00:00" },
	{ "qvkey of 32 characters", "qvkey", "qvkey", KEY32 + '\0', true, KEY32 },
	{ "qvkey of 31 characters is silent", "qvkey", "qvkey", KEY32.substr(1) + '\0', false, "" },
	{ "empty qvkey is silent", "qvkey", "qvkey", std::string(1, '\0'), false, "" },
	{ "qvkey of 33 characters runs on into qvran", "qvkey", "qvkey", KEY32 + "Xnext" + '\0', true, KEY32 + "Xnext" },
	{ "qvran with no NUL in its room runs on into lorainfo", "qvran", "qvran", KEY32 + "Z", true, KEY32 + "ZEU868" },
	{ "qvran of 31 characters is silent", "qvran", "qvran", KEY32.substr(1) + '\0', false, "" },
	{ "auth-check byte 0", "qvauthcheck", "qvauthcheck", std::string(1, '\0'), true, "0" },
	{ "auth-check byte 1", "qvauthcheck", "qvauthcheck", "\x01", true, "1" },
	{ "auth-check byte 9", "qvauthcheck", "qvauthcheck", "\x09", true, "9" },
	{ "auth-check byte 10", "qvauthcheck", "qvauthcheck", "\x0A", true, ":" },
	{ "auth-check byte 208 is empty, not null", "qvauthcheck", "qvauthcheck", "\xD0", true, "" },
	{ "auth-check byte 255 wraps", "qvauthcheck", "qvauthcheck", "\xFF", true, "/" },
	{ "qvhardreset has no value", "qvhardreset", "sninfo", "SN1", false, "" },
};

TEST(Render, SpecialKeys)
{
	for (const render_case &c : render_cases) {
		SCOPED_TRACE(c.name);
		ptb_bytes image = ptb_blank();
		ptb_put_text(image, "lorainfo", "EU868");
		ptb_put_bytes(image, c.field, c.stored);
		sim_attach(sim_default(image));
		lookup result = look_up(c.key);
		EXPECT_EQ(result.value != nullptr, c.found);
		EXPECT_EQ(result.text, c.expected);
		EXPECT_EQ(result.streams.out, "");
		EXPECT_EQ(result.streams.err, "");
		expect_one_clean_read(result);
	}
}

TEST(Render, QvHardResetStillReadsTheDeviceFirst)
{
	struct {
		const char *name;
		sim_partition partition;
		std::string out;
		std::string err;
	} cases[] = {
		{ "good first block", sim_image(sim_flash(SIM_SIZE, 16 * KiB), ptb_blank()), "", "" },
		{ "bad blocks ahead", sim_image(sim_bad(sim_flash(SIM_SIZE, 16 * KiB), { 0, 1 }), ptb_blank()), "",
		  bad_block_lines(16 * KiB, 0, 2) },
		{ "failing device", sim_image(sim_fault(sim_flash(SIM_SIZE, 16 * KiB), MTDSIM_PREAD_FAILS), ptb_blank()), READ_FAILED, PREAD_EIO },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		sim_attach(c.partition);
		lookup result = look_up("qvhardreset");
		EXPECT_EQ(result.value, nullptr);
		EXPECT_EQ(result.streams.out, c.out);
		EXPECT_EQ(result.streams.err, c.err);
		EXPECT_EQ(mtdsim_calls()->preads, 1u);
		EXPECT_EQ(mtdsim_calls()->open_descriptors, 0u);
		EXPECT_LT(result.heap_growth, (long)PTB_MIN_READ);
	}
}

}
