/* The lookup over the simulated device: the key table, text copies and its notices. */
#include "ptb/ptb_env.h"
#include "sim_device.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

const char *const TEXT_KEYS[] = {
	"chipinfo", "lorainfo", "wifiinfo", "product", "sninfo", "deveui",
	"appeui", "devaddr", "appkey", "appskey", "nwkskey", "cmdline",
};

/* Every text field filled at once with a value that names it, so that a
 * wrong offset or a wrong row shows as another field's value. */
ptb_bytes all_text_fields(void)
{
	ptb_bytes image = ptb_blank();
	for (const char *key : TEXT_KEYS)
		ptb_put_text(image, key, std::string(key).substr(0, ptb_place(key).room - 2) + "!");
	return image;
}

TEST(Lookup, EveryTextKeyReadsItsOwnField)
{
	ptb_bytes image = all_text_fields();
	for (const char *key : TEXT_KEYS) {
		SCOPED_TRACE(key);
		sim_attach_image(image);
		lookup result = look_up(key);
		ASSERT_NE(result.value, nullptr);
		EXPECT_EQ(result.text, std::string(key).substr(0, ptb_place(key).room - 2) + "!");
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
		sim_attach_image(image);
		lookup result = look_up(c.key);
		ASSERT_NE(result.value, nullptr);
		EXPECT_EQ(result.text, c.expected);
		expect_one_clean_read(result);
	}
}

TEST(Lookup, ErasedFlashGivesExactly1024Characters)
{
	std::vector<const char *> keys(std::begin(TEXT_KEYS), std::end(TEXT_KEYS));
	keys.push_back("qvkey");
	keys.push_back("qvran");
	for (const char *key : keys) {
		SCOPED_TRACE(key);
		sim_attach_image(ptb_blank(40960, 0xFF));
		lookup result = look_up(key);
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
	sim_attach_image(image);
	look_up("cmdline");
	lookup result = look_up("lorainfo");
	EXPECT_EQ(result.text, "lo");
}

TEST(Lookup, UnsupportedKeysAreReadThenReported)
{
	const char *keys[] = { "CHIPINFO", "chip", "", "chipinfo ", "nosuchkey", "%s%n" };
	for (const char *key : keys) {
		SCOPED_TRACE(key);
		sim_attach_image(all_text_fields());
		lookup result = look_up(key);
		EXPECT_EQ(result.value, nullptr);
		EXPECT_EQ(result.streams.out, std::string("\n====[") + key + "] env not supported. \n");
		EXPECT_EQ(result.streams.err, "");
		expect_one_clean_read(result);
	}
}

TEST(Lookup, NullKeyNeverTouchesTheDevice)
{
	sim_attach_image(all_text_fields());
	lookup result = look_up(NULL);
	EXPECT_EQ(result.value, nullptr);
	EXPECT_EQ(result.streams.out, "\n =====get env is NULL. ==== \n");
	EXPECT_EQ(result.streams.err, "");
	EXPECT_EQ(mtdsim_calls()->opens, 0u);
}

TEST(Lookup, FailedReadIsReportedOnEveryCall)
{
	struct {
		sim_partition partition;
		const char *err;
	} cases[] = {
		{ { 1 << 20, 128 << 10, 0, 0, MTDSIM_NOT_MTD }, "PTB MEMGETINFO: Inappropriate ioctl for device\n" },
		{ { 1 << 20, 128 << 10, 0, 0, MTDSIM_BADBLOCK_FAILS }, "ioctl(MEMGETBADBLOCK): Input/output error\n" },
		{ { 1 << 20, 128 << 10, 0, 0, MTDSIM_PREAD_FAILS }, "pread PTB: Input/output error\n" },
		{ { 0, 128 << 10, 0, 0, MTDSIM_NO_FAULT }, "Can't find good block in PTB.\n" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.err);
		for (const char *key : { "chipinfo", "sninfo", "nosuchkey" }) {
			sim_attach(c.partition, all_text_fields());
			lookup result = look_up(key);
			EXPECT_EQ(result.value, nullptr);
			EXPECT_EQ(result.streams.out, "\n ===== zarn read env failed.\n");
			EXPECT_EQ(result.streams.err, c.err);
			EXPECT_EQ(mtdsim_calls()->open_descriptors, 0u);
			EXPECT_LT(result.heap_growth, (long)PTB_MIN_READ);
		}
	}
}

TEST(LookupDeath, DeviceMissingEndsTheProcessWhateverTheKey)
{
	mtdsim_detach();
	EXPECT_EXIT(env_get("nosuchkey"), testing::ExitedWithCode(1),
		    "^open PTB: No such file or directory\n$");
}

}
