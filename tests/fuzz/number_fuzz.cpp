/* Fuzzes ptbtool's numbers and its --bad list against a reference reading
 * them in wider arithmetic:
 *
 *   byte  0     least: 0, 1 or bytes 1-8 (modulo 3); most, from bit 2 on:
 *               the largest, the largest signed, an erase size's most, or
 *               bytes 9-16 (modulo 4)
 *   bytes 1-16  least and most, big-endian, where chosen
 *   the rest    the text, up to a NUL
 *
 * The one syntax: decimal digits, or hexadecimal ones in either case after
 * 0x or 0X; a leading zero is still decimal; nothing before or after, and no
 * value past 2^64 - 1. A list is such numbers joined by single commas, or
 * empty. */
#include "fuzz_input.h"
#include "tool/ptbtool.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

/* The reference: the number text holds, or false when it isn't one. */
bool reference_number(const std::string &text, unsigned long long *value)
{
	size_t at = 0;
	unsigned base = 10;
	unsigned __int128 number = 0;

	if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
		base = 16;
		at = 2;
	}
	if (at == text.size())
		return false;
	for (; at < text.size(); at++) {
		char c = text[at];
		unsigned digit = c >= '0' && c <= '9' ? (unsigned)(c - '0')
			       : base == 16 && c >= 'a' && c <= 'f' ? (unsigned)(c - 'a' + 10)
			       : base == 16 && c >= 'A' && c <= 'F' ? (unsigned)(c - 'A' + 10) : 99;
		if (digit == 99)
			return false;
		number = number * base + digit;
		if (number > ~0ULL)
			return false;
	}
	*value = (unsigned long long)number;
	return true;
}

bool reference_list(const std::string &text, std::vector<unsigned long long> *blocks)
{
	size_t start = 0;

	while (start < text.size()) {
		size_t comma = text.find(',', start);
		unsigned long long block;
		if (!reference_number(text.substr(start, comma == std::string::npos ? comma : comma - start), &block))
			return false;
		blocks->push_back(block);
		if (comma == std::string::npos)
			break;
		start = comma + 1;
		if (start == text.size())
			return false;
	}
	return true;
}

/* What the scan leaves at *end must be the longest run of digits there. */
void check_scan(const std::string &text)
{
	const char *end;
	unsigned long long value, expected;
	bool read = ptbtool_scan_number(text.c_str(), &end, &value);
	size_t digits = (size_t)(end - text.c_str());

	if (read && !reference_number(text.substr(0, digits), &expected))
		fuzz_fail("number fuzz: the scan read what is not a number");
	if (read && value != expected)
		fuzz_fail("number fuzz: the scan read another value");
	if (read && digits < text.size() && reference_number(text.substr(0, digits + 1), &expected))
		fuzz_fail("number fuzz: the scan stopped short of a digit");
}

void check_option(const std::string &text, unsigned long long least, unsigned long long most)
{
	unsigned long long value = 0, expected;
	bool valid = reference_number(text, &expected) && expected >= least && expected <= most;

	if ((ptbtool_number("--fuzz", text.c_str(), least, most, &value) == 0) != valid)
		fuzz_fail(valid ? "number fuzz: a number in range refused" : "number fuzz: a wrong number accepted");
	if (valid && value != expected)
		fuzz_fail("number fuzz: the option took another value");
}

void check_list(const std::string &text)
{
	std::vector<unsigned long long> expected;
	bool valid = reference_list(text, &expected);
	dump_partition partition = { 0, 0, text.c_str(), NULL, 0 };

	if ((dump_parse_bad(&partition) == 0) != valid)
		fuzz_fail(valid ? "number fuzz: a list refused" : "number fuzz: a wrong list accepted");
	if (!valid && partition.bad != NULL)
		fuzz_fail("number fuzz: a refused list left its blocks to free");
	if (valid && (partition.bad_count != expected.size() ||
		      !std::equal(expected.begin(), expected.end(), partition.bad)))
		fuzz_fail("number fuzz: the list holds other blocks");
	free(partition.bad);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_input in = { data, size };
	uint8_t kinds = take_byte(in);
	uint64_t raw_least = take_number(in, 8);
	uint64_t raw_most = take_number(in, 8);
	const unsigned long long leasts[] = { 0, 1, raw_least };
	const unsigned long long mosts[] = { ~0ULL, ~0ULL >> 1, PTBTOOL_ERASESIZE_MAX, raw_most };
	std::string text = take_text(in);

	check_scan(text);
	check_option(text, leasts[kinds % 3], mosts[(kinds >> 2) % 4]);
	check_list(text);
	return 0;
}
