/* Writing values with env_put: every value it takes reads back through
 * env_get exactly, and every one too long for its room is refused. */
#include "ptb/env_layout.h"
#include "ptb/env_put.h"
#include "ptb/ptb_env.h"
#include "sim_device.h"

#include <gtest/gtest.h>
#include <random>
#include <stdio.h>
#include <string.h>

namespace {

/* The tool's table holds the fixture's keys, no more, in the same order,
 * each at the fixture's offset with its room: a key added to one table and
 * not the other fails here, by name, not silently untested elsewhere. */
TEST(Layout, TableIsTheFixtures)
{
	for (size_t i = 0; i < env_field_count; i++)
		EXPECT_NE(ptb_find(env_fields[i].key), nullptr)
			<< env_fields[i].key << " is in ptb/env_layout.cpp but not in tests/fixture/ptb_image.cpp";
	for (size_t i = 0; i < ptb_field_count; i++) {
		const ptb_field_place &place = ptb_field_places[i];
		SCOPED_TRACE(place.key);
		const env_field *field = env_find(place.key);
		ASSERT_NE(field, nullptr) << place.key << " is in tests/fixture/ptb_image.cpp but not in ptb/env_layout.cpp";
		EXPECT_EQ(field - env_fields, (ptrdiff_t)i) << "in another place of the lookup order";
		EXPECT_EQ(field->offset, place.offset);
		EXPECT_EQ(env_room(field), place.room);
		sim_attach(sim_default(ptb_blank()));
		EXPECT_EQ(look_up(place.key).streams.out, "");
	}
	EXPECT_EQ(env_values_end(), ptb_values_end());
	sim_attach(sim_default(ptb_blank()));
	EXPECT_EQ(look_up("qvhardresets").streams.out, unsupported("qvhardresets"));
}

/* The shell stages' copy of where the values end (tests/expected.sh) is the fixture's. */
TEST(Layout, ShellStagesValuesEnd)
{
	FILE *file = fopen(PTBENV_SOURCE_DIR "/tests/expected.sh", "r");
	ASSERT_NE(file, nullptr);
	char line[256];
	unsigned long values_end = 0;
	while (fgets(line, sizeof(line), file) != NULL)
		if (sscanf(line, "VALUES_END=%lu", &values_end) == 1)
			break;
	fclose(file);
	EXPECT_EQ(values_end, ptb_values_end()) << "VALUES_END in tests/expected.sh";
}

/* Text of length bytes, any byte but the NUL, newline, carriage return and
 * 0xFF (erased flash). */
std::string random_text(std::mt19937 &random, size_t length)
{
	std::string text;
	while (text.size() < length) {
		char c = (char)(random() % 254 + 1);
		if (c != '\n' && c != '\r')
			text += c;
	}
	return text;
}

std::string random_mac(std::mt19937 &random, std::string &printed)
{
	const char digits[] = "0123456789abcdef0123456789ABCDEF";
	std::string given;
	printed.clear();
	for (int i = 0; i < 17; i++) {
		char c = i % 3 == 2 ? ':' : digits[random() % 32];
		/* A device's own address: the first byte even, so never all 0xFF. */
		if (i == 1)
			c = digits[random() % 16 & ~1];
		if (i == 0 && c == '0')
			c = '2';
		given += c;
		printed += (char)toupper((unsigned char)c);
	}
	return given;
}

/* Round n: every text field gets a random value of n characters, or of its
 * longest when n is more; qvauthcheck the character of code n (none for 0). */
TEST(Put, EveryLengthOfEveryKeyReadsBack)
{
	std::mt19937 random(20261208);

	for (size_t n = 0; n < 256; n++) {
		SCOPED_TRACE("round " + std::to_string(n));
		ptb_bytes image = ptb_blank(PTB_MIN_READ, (unsigned char)random());
		std::vector<std::pair<const char *, std::string>> expected;
		for (size_t i = 0; i < ptb_field_count; i++) {
			const ptb_field_place &place = ptb_field_places[i];
			const env_field *field = env_find(place.key);
			ASSERT_NE(field, nullptr) << place.key;
			size_t most = place.room - 1;
			std::string value, printed;
			env_clear(image.data(), field);
			switch (place.kind) {
			case PTB_TEXT:
				value = printed = random_text(random, n < most ? n : most);
				break;
			case PTB_LONG_TEXT:
				value = printed = random_text(random, ENV_VALUE_MIN_LEN);
				break;
			case PTB_MAC:
				value = random_mac(random, printed);
				break;
			case PTB_DIGIT:
				value = printed = n == 0 || n == '\n' || n == '\r' || n == '/' ? "" : std::string(1, (char)n);
				break;
			case PTB_NO_VALUE:
				continue;
			}
			const char *why = env_put(image.data(), field, value.data(), value.size());
			ASSERT_EQ(why, nullptr) << field->key << ": " << why;
			expected.push_back({ field->key, printed });
		}
		for (const auto &key_value : expected) {
			sim_attach(sim_default(image));
			lookup result = look_up(key_value.first);
			ASSERT_NE(result.value, nullptr) << key_value.first;
			ASSERT_EQ(result.text, key_value.second) << key_value.first;
		}
	}
}

/* A refused value leaves the image as it was. */
TEST(Put, RefusesWhatWouldNotReadBack)
{
	std::mt19937 random(8122026);
	ptb_bytes image = ptb_blank(PTB_MIN_READ, 0xFF);
	const ptb_bytes before = image;

	for (size_t i = 0; i < ptb_field_count; i++) {
		const ptb_field_place &place = ptb_field_places[i];
		SCOPED_TRACE(place.key);
		const env_field *field = env_find(place.key);
		ASSERT_NE(field, nullptr);
		size_t most = place.room - 1;
		std::string key = place.key;
		std::vector<std::pair<std::string, std::string>> refused;
		switch (place.kind) {
		case PTB_TEXT:
			refused.push_back({ random_text(random, most + 1), holds_at_most(key, most) });
			break;
		case PTB_LONG_TEXT:
			refused.push_back({ random_text(random, most + 1), not_32_bytes(key) });
			refused.push_back({ random_text(random, most - 1), not_32_bytes(key) });
			break;
		case PTB_MAC:
			refused.push_back({ "02:1A:2B:3C:4D:5", not_a_mac(key) });
			refused.push_back({ "ff:FF:ff:FF:ff:FF", MAC_ERASED });
			refused.push_back({ "00:00:00:00:00:00", MAC_ZERO });
			refused.push_back({ "01:00:5E:00:00:FB", MAC_MULTICAST });
			break;
		case PTB_DIGIT:
			refused.push_back({ "10", not_one_byte(key) });
			refused.push_back({ "/", stored_as_0xff(key, '/') });
			break;
		case PTB_NO_VALUE:
			refused.push_back({ "1", has_no_field(key) });
			break;
		}
		if (place.kind == PTB_TEXT || place.kind == PTB_LONG_TEXT) {
			std::string text = random_text(random, place.kind == PTB_TEXT ? most : ENV_VALUE_MIN_LEN);
			size_t at = text.empty() ? 0 : random() % text.size();
			for (char c : { '\0', '\n', '\r', '\xFF' }) {
				std::string bad = text;
				bad.insert(at, 1, c);
				bad.resize(text.size() > 0 ? text.size() : 1);
				refused.push_back({ bad, holds_byte(key, c) });
			}
		}
		for (const auto &value_why : refused) {
			const char *why = env_put(image.data(), field, value_why.first.data(), value_why.first.size());
			ASSERT_NE(why, nullptr) << value_why.first;
			EXPECT_EQ(why, value_why.second);
			EXPECT_TRUE(image == before);
		}
	}
}

}
