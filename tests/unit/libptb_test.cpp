/* libptb's calls over the simulated device and over images: each value as
 * ptbenv prints it, each distinct result, and nothing said on any stream. */
#include "include/ptb.h"
#include "ptb/ptb_env.h"
#include "sim_device.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

namespace {

/* The values a test looks at, each naming its field so that a wrong offset shows. */
ptb_bytes named_fields(void)
{
	ptb_bytes image = ptb_blank();
	for (const std::string &key : ptb_keys_of(PTB_TEXT))
		ptb_put_text(image, key, key + "!");
	ptb_put_text(image, "qvkey", std::string(32, 'k'));
	ptb_put_text(image, "qvran", std::string(40, 'r'));
	ptb_put_value(image, "ethaddr", "02:1A:2B:3C:4D:5E");
	ptb_put_value(image, "qvauthcheck", "1");
	return image;
}

ptb_bytes with(const std::string &key, const std::string &bytes, ptb_bytes image = named_fields())
{
	ptb_put_bytes(image, key, bytes);
	return image;
}

/* Every value through both ways in, as env_get gives it for ptbenv to print. */
void expect_every_key_as_ptbenv(const ptb_bytes &image)
{
	for (const std::string &key : ptb_keys()) {
		SCOPED_TRACE(key);
		sim_attach(sim_default(image));
		lookup printed = look_up(key.c_str());
		struct ptb *ptb[2] = {};
		ASSERT_EQ(ptb_open(&ptb[0], NULL), PTB_OK);
		ASSERT_EQ(ptb_open_image(&ptb[1], image.data(), image.size()), PTB_OK);
		for (struct ptb *handle : ptb) {
			char value[ENV_VALUE_MAX + 1];
			size_t length = 0;
			int result = ptb_get(handle, key.c_str(), value, sizeof(value), &length);
			EXPECT_EQ(result == PTB_ERR_NO_VALUE, printed.value == NULL) << result;
			if (printed.value != NULL) {
				EXPECT_EQ(std::string(value), printed.text);
				EXPECT_EQ(length, printed.text.size());
			}
			ptb_close(handle);
		}
	}
}

TEST(Library, EveryKeyReadsAsPtbenvPrintsIt)
{
	ptb_bytes sample = ptb_read_file(PTBENV_SOURCE_DIR "/examples/sample-ptb.img");
	ASSERT_FALSE(sample.empty());
	for (const ptb_bytes &image : { sample, named_fields(), ptb_blank(), ptb_blank(40960, 0xFF), ptb_pattern(40960) })
		expect_every_key_as_ptbenv(image);
	for (size_t i = 0; i < ptb_keys().size(); i++)
		EXPECT_EQ(ptb_key(i), ptb_keys()[i]);
	EXPECT_EQ(ptb_key(ptb_keys().size()), nullptr);
}

struct get_case {
	const char *name;
	ptb_bytes image;
	const char *key;
	size_t size;		/* the caller's buffer */
	int result;
	int error;		/* errno after a failure */
	std::string value;	/* copied, or what *length tells */
};

const get_case get_cases[] = {
	{ "a text", named_fields(), "sninfo", 64, PTB_OK, 0, "sninfo!" },
	{ "the MAC address", named_fields(), "ethaddr", 64, PTB_OK, 0, "02:1A:2B:3C:4D:5E" },
	{ "the buffer just fits", named_fields(), "sninfo", 8, PTB_OK, 0, "sninfo!" },
	{ "the buffer one byte short", named_fields(), "sninfo", 7, PTB_ERR_SHORT_BUFFER, ERANGE, "sninfo!" },
	{ "no buffer tells the length", named_fields(), "qvran", 0, PTB_ERR_SHORT_BUFFER, ERANGE, std::string(40, 'r') },
	{ "an unknown key", named_fields(), "serial", 64, PTB_ERR_UNKNOWN_KEY, ENOENT, "" },
	{ "a key with no field", named_fields(), "qvhardreset", 64, PTB_ERR_NO_VALUE, ENODATA, "" },
	{ "a qvkey short of 32 bytes", with("qvkey", std::string(31, 'k') + '\0'), "qvkey", 64, PTB_ERR_NO_VALUE, ENODATA, "" },
	{ "erased flash in a text", with("product", "ab\xFF"), "product", 64, PTB_FLAWED, 0, "ab\xFF" "duct!" },
	{ "an erased text", ptb_blank(40960, 0xFF), "sninfo", 2048, PTB_FLAWED, 0, std::string(1024, '\xFF') },
	{ "an erased MAC address", with("ethaddr", "\xFF\xFF\xFF\xFF\xFF\xFF"), "ethaddr", 64, PTB_FLAWED, 0,
	  "FF:FF:FF:FF:FF:FF" },
	{ "an all-zero MAC address", with("ethaddr", std::string(6, '\0')), "ethaddr", 64, PTB_FLAWED, 0,
	  "00:00:00:00:00:00" },
	{ "a multicast MAC address", with("ethaddr", "\x01\x1A\x2B\x3C\x4D\x5E"), "ethaddr", 64, PTB_FLAWED, 0,
	  "01:1A:2B:3C:4D:5E" },
	{ "qvauthcheck erased", with("qvauthcheck", "\xFF"), "qvauthcheck", 64, PTB_FLAWED, 0, "/" },
	{ "qvauthcheck of 208 is empty", with("qvauthcheck", "\xD0"), "qvauthcheck", 64, PTB_OK, 0, "" },
};

TEST(Library, GetCopiesTheValueOrSaysWhyNot)
{
	for (const get_case &c : get_cases) {
		SCOPED_TRACE(c.name);
		sim_attach(sim_default(c.image));
		struct ptb *ptb[2] = {};
		ASSERT_EQ(ptb_open(&ptb[0], NULL), PTB_OK);
		ASSERT_EQ(ptb_open_image(&ptb[1], c.image.data(), c.image.size()), PTB_OK);
		for (struct ptb *handle : ptb) {
			std::vector<char> value(c.size + 1, '#');
			size_t length = 12345;
			start_capture();
			errno = 0;
			int result = ptb_get(handle, c.key, value.data(), c.size, &length);
			int error = errno;
			captured streams = finish_capture();
			EXPECT_EQ(result, c.result);
			EXPECT_EQ(error, c.error);
			EXPECT_EQ(streams.out + streams.err, "");
			EXPECT_EQ(value[c.size], '#') << "written past the buffer";
			if (result >= 0) {
				EXPECT_EQ(std::string(value.data()), c.value);
			}
			if (result >= 0 || result == PTB_ERR_SHORT_BUFFER) {
				EXPECT_EQ(length, c.value.size());
			}
			if (result == PTB_ERR_SHORT_BUFFER && c.size > 0) {
				EXPECT_EQ(value[0], '\0');
			}
			ptb_close(handle);
		}
	}
}

struct open_case {
	const char *name;
	sim_partition partition;
	int result;
	int error;
	unsigned long long offset = 0;
	enum ptb_verdict verdict = PTB_ECC_UNCOUNTED;
	unsigned corrected = 0, failed = 0;
};

/* The PTB in the second erase block. */
ptb_bytes behind_a_block(size_t erasesize)
{
	ptb_bytes partition(erasesize, 0xFF), image = named_fields();
	partition.insert(partition.end(), image.begin(), image.end());
	return partition;
}

const sim_partition NAMED = sim_default(named_fields());
const mtdsim_range IN_THE_VALUES = sim_field_bytes("sninfo"), PAST_THE_VALUES = { 6144, 6145 };

const open_case open_cases[] = {
	{ "clean", sim_default(named_fields()), PTB_OK, 0, 0, PTB_ECC_CLEAN, 0, 0 },
	{ "a bad block ahead", sim_image(sim_bad(sim_flash(256 * KiB, 16 * KiB), { 0 }), behind_a_block(16 * KiB)),
	  PTB_OK, 0, 16 * KiB, PTB_ECC_CLEAN, 0, 0 },
	{ "corrected bitflips", aged(NAMED, {}, { { 0, 4 } }), PTB_OK, 0, 0, PTB_ECC_CORRECTED, 1, 0 },
	{ "an ECC failure outside the values", aged(NAMED, { PAST_THE_VALUES }), PTB_OK, 0, 0, PTB_ECC_FAILED_ELSEWHERE, 0, 1 },
	{ "a driver without counters", sim_fault(NAMED, MTDSIM_NO_ECC_STATS), PTB_OK, 0, 0, PTB_ECC_UNCOUNTED, 0, 0 },
	{ "an ECC failure in the values", aged(NAMED, { IN_THE_VALUES }), PTB_ERR_ECC, EBADMSG },
	{ "a bad block ahead of an ECC failure", aged(sim_image(sim_bad(sim_flash(256 * KiB, 16 * KiB), { 0 }), named_fields()),
	  { sim_field_bytes("chipinfo", 1, 16 * KiB) }), PTB_ERR_ECC, EBADMSG },
	{ "no device", sim_default(ptb_bytes(), MTDSIM_MISSING), PTB_ERR_OPEN, ENOENT },
	{ "not allowed", sim_default(ptb_bytes(), MTDSIM_DENIED), PTB_ERR_OPEN, EACCES },
	{ "not an MTD device", sim_default(ptb_bytes(), MTDSIM_NOT_MTD), PTB_ERR_NOT_MTD, ENOTTY },
	{ "every block bad", sim_bad(sim_flash(64 * KiB, 16 * KiB), sim_blocks(0, 4)), PTB_ERR_NO_GOOD_BLOCK, ENXIO },
	{ "MEMGETBADBLOCK fails", sim_default(ptb_bytes(), MTDSIM_BADBLOCK_FAILS), PTB_ERR_READ, EIO },
	{ "pread fails", sim_default(ptb_bytes(), MTDSIM_PREAD_FAILS), PTB_ERR_READ, EIO },
	{ "a short pread", sim_default(ptb_bytes(), MTDSIM_PREAD_SHORT), PTB_ERR_READ, EIO },
};

TEST(Library, OpenReadsOnceAndHoldsNothingOpen)
{
	for (const open_case &c : open_cases) {
		SCOPED_TRACE(c.name);
		sim_attach(c.partition);
		struct ptb *ptb = (struct ptb *)&ptb;
		start_capture();
		errno = 0;
		int result = ptb_open(&ptb, NULL);
		int error = errno;
		captured streams = finish_capture();
		EXPECT_EQ(result, c.result);
		EXPECT_EQ(streams.out + streams.err, "");
		EXPECT_EQ(mtdsim_calls()->opens, c.result == PTB_ERR_OPEN ? 0u : 1u);
		EXPECT_EQ(mtdsim_calls()->open_descriptors, 0u) << "a handle holds the device open";
		if (result != PTB_OK) {
			EXPECT_EQ(error, c.error);
			EXPECT_EQ(ptb, nullptr);
			continue;
		}
		EXPECT_EQ(ptb_offset(ptb), c.offset);
		EXPECT_EQ(ptb_erasesize(ptb), c.partition.erasesize);
		EXPECT_EQ(ptb_ecc_verdict(ptb), c.verdict);
		EXPECT_EQ(ptb_ecc_corrected(ptb), c.corrected);
		EXPECT_EQ(ptb_ecc_failed(ptb), c.failed);
		char value[64];
		EXPECT_EQ(ptb_get(ptb, "sninfo", value, sizeof(value), NULL), PTB_OK);
		EXPECT_STREQ(value, "sninfo!");
		ptb_close(ptb);
	}
}

TEST(Library, ImagesAndArgumentsOfEveryLength)
{
	struct ptb *ptb = NULL;
	char value[ENV_VALUE_MAX + 1];
	ptb_bytes image = named_fields();

	EXPECT_EQ(ptb_open_image(&ptb, image.data(), ptb_place("sninfo").offset + 3), PTB_OK);
	EXPECT_EQ(ptb_get(ptb, "sninfo", value, sizeof(value), NULL), PTB_FLAWED) << "past the image reads erased";
	EXPECT_EQ(std::string(value), "sni" + std::string(ENV_VALUE_MAX - 3, '\xFF'));
	EXPECT_EQ(ptb_offset(ptb), 0u);
	EXPECT_EQ(ptb_erasesize(ptb), 0u);
	EXPECT_EQ(ptb_ecc_verdict(ptb), PTB_ECC_UNCOUNTED);
	ptb_close(ptb);
	image.resize(1 << 20, 'x');
	EXPECT_EQ(ptb_open_image(&ptb, image.data(), image.size()), PTB_OK);
	EXPECT_EQ(ptb_get(ptb, "sninfo", value, sizeof(value), NULL), PTB_OK);
	EXPECT_EQ(ptb_get(NULL, "sninfo", value, sizeof(value), NULL), PTB_ERR_INVALID);
	EXPECT_EQ(ptb_get(ptb, NULL, value, sizeof(value), NULL), PTB_ERR_INVALID);
	EXPECT_EQ(ptb_get(ptb, "sninfo", NULL, 1, NULL), PTB_ERR_INVALID);
	ptb_close(ptb);
	EXPECT_EQ(ptb_open_image(&ptb, NULL, 0), PTB_OK);
	ptb_close(ptb);
	EXPECT_EQ(ptb_open_image(&ptb, NULL, 1), PTB_ERR_INVALID);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(ptb_open(NULL, NULL), PTB_ERR_INVALID);
	ptb_close(NULL);
}

}
