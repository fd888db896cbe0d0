/* The lookup over the simulated device: the key table, text copies and its notices. */
#include "ptb/ptb_env.h"
#include "sim_device.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

/* Every text field filled at once with a value that names it, so that a
 * wrong offset or a wrong row shows as another field's value. */
ptb_bytes all_text_fields(void)
{
	ptb_bytes image = ptb_blank();
	for (const std::string &key : ptb_keys_of(PTB_TEXT))
		ptb_put_text(image, key, key.substr(0, ptb_place(key).room - 2) + "!");
	return image;
}

TEST(Lookup, EveryTextKeyReadsItsOwnField)
{
	ptb_bytes image = all_text_fields();
	for (const std::string &key : ptb_keys_of(PTB_TEXT)) {
		SCOPED_TRACE(key);
		sim_attach(sim_default(image));
		lookup result = look_up(key.c_str());
		ASSERT_NE(result.value, nullptr);
		EXPECT_EQ(result.text, key.substr(0, ptb_place(key).room - 2) + "!");
		EXPECT_EQ(result.streams.out, "");
		EXPECT_EQ(result.streams.err, "");
		expect_one_clean_read(result);
	}
}

TEST(Lookup, TextCopies)
{
	struct {
		const char *name;
		const char *key;
		std::string stored;	/* no terminator is added */
		std::string expected;
	} cases[] = {
		{ "plain text", "chipinfo", std::string("abc\0", 4), "abc" },
		{ "empty field is empty, not null", "sninfo", std::string("\0", 1), "" },
		{ "full room runs on into the next field", "wifiinfo", "ABCDEFGH", "ABCDEFGHnext" },
		{ "room filled to its terminator", "devaddr", std::string("01234567\0", 9), "01234567" },
		{ "stops at the first NUL", "product", std::string("ab\0cd\0", 6), "ab" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		ptb_bytes image = ptb_blank();
		ptb_put_text(image, "product", "next");
		ptb_put_bytes(image, c.key, c.stored);
		sim_attach(sim_default(image));
		lookup result = look_up(c.key);
		ASSERT_NE(result.value, nullptr);
		EXPECT_EQ(result.text, c.expected);
		expect_one_clean_read(result);
	}
}

TEST(Lookup, ErasedFlashGivesExactly1024Characters)
{
	std::vector<std::string> keys = ptb_keys_of(PTB_TEXT), long_keys = ptb_keys_of(PTB_LONG_TEXT);
	keys.insert(keys.end(), long_keys.begin(), long_keys.end());
	for (const std::string &key : keys) {
		SCOPED_TRACE(key);
		sim_attach(sim_default(ptb_blank(40960, 0xFF)));
		lookup result = look_up(key.c_str());
		ASSERT_NE(result.value, nullptr);
		EXPECT_EQ(result.text, std::string(ENV_VALUE_MAX, '\xFF'));
		expect_one_clean_read(result);
	}
}

TEST(Lookup, LongerValueAfterAShortOneLeavesNoTail)
{
	ptb_bytes image = ptb_blank();
	ptb_put_text(image, "cmdline", std::string(200, 'c'));
	ptb_put_text(image, "lorainfo", "lo");
	sim_attach(sim_default(image));
	look_up("cmdline");
	lookup result = look_up("lorainfo");
	EXPECT_EQ(result.text, "lo");
}

TEST(Lookup, UnsupportedKeysAreReadThenReported)
{
	const char *keys[] = { "CHIPINFO", "chip", "", "chipinfo ", "nosuchkey", "%s%n" };
	for (const char *key : keys) {
		SCOPED_TRACE(key);
		sim_attach(sim_default(all_text_fields()));
		lookup result = look_up(key);
		EXPECT_EQ(result.value, nullptr);
		EXPECT_EQ(result.streams.out, unsupported(key));
		EXPECT_EQ(result.streams.err, "");
		expect_one_clean_read(result);
	}
}

TEST(Lookup, NullKeyNeverTouchesTheDevice)
{
	sim_attach(sim_default(all_text_fields()));
	lookup result = look_up(NULL);
	EXPECT_EQ(result.value, nullptr);
	EXPECT_EQ(result.streams.out, NULL_KEY);
	EXPECT_EQ(result.streams.err, "");
	EXPECT_EQ(mtdsim_calls()->opens, 0u);
}

TEST(Lookup, FailedReadIsReportedOnEveryCall)
{
	struct {
		sim_partition partition;
		const char *err;
	} cases[] = {
		{ sim_default(all_text_fields(), MTDSIM_NOT_MTD), NOT_MTD },
		{ sim_default(all_text_fields(), MTDSIM_BADBLOCK_FAILS), BADBLOCK_EIO },
		{ sim_default(all_text_fields(), MTDSIM_PREAD_FAILS), PREAD_EIO },
		{ sim_image(sim_flash(0, SIM_ERASESIZE), all_text_fields()), NO_GOOD_BLOCK },
		{ aged(sim_default(all_text_fields()), { sim_field_bytes("sninfo") }), PREAD_EBADMSG },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.err);
		for (const char *key : { "chipinfo", "sninfo", "nosuchkey" }) {
			sim_attach(c.partition);
			lookup result = look_up(key);
			EXPECT_EQ(result.value, nullptr);
			EXPECT_EQ(result.streams.out, READ_FAILED);
			EXPECT_EQ(result.streams.err, c.err);
			EXPECT_EQ(mtdsim_calls()->open_descriptors, 0u);
			EXPECT_LT(result.heap_growth, (long)PTB_MIN_READ);
		}
	}
}

TEST(LookupDeath, DeviceMissingEndsTheProcessWhateverTheKey)
{
	sim_attach(sim_default(ptb_bytes(), MTDSIM_MISSING));
	EXPECT_EXIT(env_get("nosuchkey"), testing::ExitedWithCode(1), std::string("^") + OPEN_MISSING + "$");
}

}
