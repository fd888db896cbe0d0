/* Fuzzes env_get over the simulated device. The input chooses the geometry,
 * the bad blocks, a fault, the key and the partition's first bytes:
 *
 *   byte  0     erase-size kind: 0, tiny, not a power of two, a power of two,
 *               huge, or the raw parameter (kind modulo 6)
 *   bytes 1-4   erase-size parameter, big-endian
 *   byte  5     size kind: 0, whole blocks, raw, 4 GiB - 1 (modulo 4)
 *   bytes 6-9   size parameter, big-endian
 *   bytes 10-17 bad-block map: bit i of byte i/8 marks block i bad
 *   byte  18    fault: 1 to 9 pick one of FAULTS, anything else none
 *   bytes 19-22 start of a range the ECC can't correct, big-endian
 *   bytes 23-24 its length, big-endian; 0 for no range
 *   bytes 25-30 the same for a range whose bitflips the ECC corrects
 *   byte  31    key length: 0xFF for the null key, else that many bytes
 *               follow as the key's text (up to a NUL)
 *   the rest    the partition from offset 0; beyond it the flash reads erased
 *
 * After each call it checks what must hold whatever the input: the device was
 * closed, the library freed what it allocated, a result ends inside the value
 * buffer and is always the same buffer, and the result is what the test
 * fixture's layout (offset and kind) says the partition's bytes hold, or null
 * when the device can't be read, the ECC failed twice on the pages holding
 * the values' bytes, or the fixture has no such key. A driver without ECC
 * counters hands the failing range's bytes on as it read them. */
#include "fuzz_input.h"
#include "mtdsim.h"
#include "ptb/ptb_env.h"
#include "ptb_image.h"
#include "ptb_texts.h"
#include "sim_partition.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

extern "C" void *__real_malloc(size_t size);
extern "C" void __real_free(void *pointer);

namespace {

/* A device with little memory: the library's larger allocations fail, which
 * also keeps huge erase sizes from filling gigabytes. */
const size_t MEMORY_LIMIT = 2 << 20;

/* The library's own allocations, counted while env_get runs (linked with
 * --wrap=malloc,--wrap=free, so only calls from statically linked code). */
bool watching;
bool allocations_fail;
long live_allocations;

/* Fault byte 7: the device is sound, the allocation fails. */
const uint8_t ALLOCATION_FAILS = 7;
const mtdsim_fault FAULTS[] = {
	MTDSIM_NO_FAULT, MTDSIM_NOT_MTD, MTDSIM_BADBLOCK_FAILS, MTDSIM_BADBLOCK_EINTR,
	MTDSIM_PREAD_FAILS, MTDSIM_PREAD_EINTR, MTDSIM_PREAD_SHORT,
	MTDSIM_NO_FAULT,	/* allocation fails */
	MTDSIM_NO_ECC_STATS, MTDSIM_ECC_TRANSIENT,
};
const size_t FAULT_COUNT = sizeof(FAULTS) / sizeof(FAULTS[0]);

const uint8_t NULL_KEY = 0xFF;

uint32_t choose_erasesize(uint8_t kind, uint32_t param)
{
	switch (kind % 6) {
	case 0:
		return 0;
	case 1:
		return 1 + param % 512;
	case 2: {
		uint32_t size = 3 + param % MEMORY_LIMIT;
		return (size & (size - 1)) == 0 ? size + 1 : size;
	}
	case 3:
		return 1u << (param % 32);
	case 4:
		return 0x80000000u | param;
	default:
		return param;
	}
}

uint32_t choose_size(uint8_t kind, uint32_t param, uint32_t erasesize)
{
	switch (kind % 4) {
	case 0:
		return 0;
	case 1: {
		uint64_t size = (uint64_t)(param % 80) * erasesize;
		return size > UINT32_MAX ? UINT32_MAX : (uint32_t)size;
	}
	case 2:
		return param;
	default:
		return UINT32_MAX;
	}
}

struct setup {
	mtdsim_device device;
	std::vector<uint32_t> bad_blocks;
	mtdsim_range uncorrectable, corrected;
	bool allocation_fails;
	const char *key;
	std::string key_text;
};

bool is_bad(const setup &s, uint64_t offset)
{
	uint64_t block = s.device.erasesize ? offset / s.device.erasesize : 0;
	for (uint32_t bad : s.bad_blocks)
		if (bad == block)
			return true;
	return false;
}

/* Where the image comes from when the read succeeds, or -1: the first good
 * block, read whole, with no fault and enough memory. */
int64_t readable_at(const setup &s)
{
	const mtdsim_device &d = s.device;
	uint64_t offset = 0;

	bool sound = d.fault == MTDSIM_NO_FAULT || d.fault == MTDSIM_NO_ECC_STATS || d.fault == MTDSIM_ECC_TRANSIENT;

	if (!sound || s.allocation_fails || d.size == 0)
		return -1;
	while (is_bad(s, offset)) {
		if (d.erasesize == 0)
			return -1;
		offset += d.erasesize;
		if (offset >= d.size)
			return -1;
	}
	uint64_t length = d.erasesize > PTB_MIN_READ ? d.erasesize : PTB_MIN_READ;
	if (length > MEMORY_LIMIT || offset + length > d.size)
		return -1;
	return (int64_t)offset;
}

/* Whether the ECC fails, twice, on the whole pages that hold the values'
 * bytes of a PTB at base: the second read fails the lookup. */
bool values_fail(const setup &s, uint64_t base)
{
	const mtdsim_range &range = s.uncorrectable;
	uint64_t start = base - base % MTDSIM_DEFAULT_WRITESIZE;
	uint64_t end = round_up(base + PTB_VALUES_END, MTDSIM_DEFAULT_WRITESIZE);

	if (end > s.device.size)
		end = s.device.size;
	return s.device.fault == MTDSIM_NO_FAULT && s.device.uncorrectable_count > 0 &&
	       range.start < end && start < range.end;
}

/* The byte at as the lookup gets it: a driver without counters hands on the
 * failing range's bytes as its one read garbled them (XORed with 1). */
uint8_t partition_byte(const setup &s, uint64_t at)
{
	uint8_t byte = at < s.device.image_length ? s.device.image[at] : 0xFF;
	bool garbled = s.device.fault == MTDSIM_NO_ECC_STATS && s.device.uncorrectable_count > 0 &&
		       s.uncorrectable.start <= at && at < s.uncorrectable.end;

	return garbled ? byte ^ 1 : byte;
}

std::string text_at(const setup &s, uint64_t at)
{
	std::string text;
	while (text.size() < ENV_VALUE_MAX) {
		uint8_t byte = partition_byte(s, at + text.size());
		if (byte == 0)
			break;
		text += (char)byte;
	}
	return text;
}

/* Whether value is the MAC address the six bytes from at hold, as upper-case
 * hex pairs joined by colons. */
bool is_mac_at(const setup &s, uint64_t at, const char *value)
{
	const char digits[] = "0123456789ABCDEF";

	if (strlen(value) != 17)
		return false;
	for (int i = 0; i < 6; i++) {
		uint8_t byte = partition_byte(s, at + i);
		if (value[3 * i] != digits[byte >> 4] || value[3 * i + 1] != digits[byte & 15] ||
		    (i < 5 && value[3 * i + 2] != ':'))
			return false;
	}
	return true;
}

/* Whether env_get's value (NULL for a null result) is what the fixture's field
 * holds over a PTB read from offset base. */
bool is_fields_value(const setup &s, uint64_t base, const char *value)
{
	for (size_t i = 0; i < ptb_field_count; i++) {
		const ptb_field_place &field = ptb_field_places[i];
		if (s.key_text != field.key)
			continue;
		uint64_t at = base + field.offset;
		uint8_t flag = (uint8_t)(partition_byte(s, at) + '0');
		std::string text = text_at(s, at);
		switch (field.kind) {
		case PTB_NO_VALUE:
			return value == NULL;
		case PTB_MAC:
			return value != NULL && is_mac_at(s, at, value);
		case PTB_DIGIT:
			return value != NULL && value[0] == (char)flag && (flag == 0 || value[1] == '\0');
		case PTB_LONG_TEXT:
			if (text.size() < ENV_VALUE_MIN_LEN)
				return value == NULL;
			return value != NULL && text == value;
		case PTB_TEXT:
			return value != NULL && text == value;
		}
	}
	return value == NULL;
}

void fail(const char *what, const setup &s)
{
	char line[512];

	snprintf(line, sizeof(line), "env_get fuzz: %s (key %s, size 0x%x, erase size 0x%x, fault %s%s, "
		 "uncorrectable %zu at 0x%llx, corrected %zu at 0x%llx)",
		 what, s.key ? s.key : "(null)", s.device.size, s.device.erasesize,
		 mtdsim_fault_name(s.device.fault), s.allocation_fails ? ", allocation fails" : "",
		 s.device.uncorrectable_count, (unsigned long long)s.uncorrectable.start,
		 s.device.corrected_count, (unsigned long long)s.corrected.start);
	fuzz_fail(line);
}

void read_setup(fuzz_input &in, setup &s)
{
	uint8_t erase_kind = take_byte(in);
	uint32_t erase_param = take_number(in, 4);
	uint8_t size_kind = take_byte(in);
	uint32_t size_param = take_number(in, 4);

	s.device = {};
	s.device.erasesize = choose_erasesize(erase_kind, erase_param);
	s.device.size = choose_size(size_kind, size_param, s.device.erasesize);
	for (uint32_t block = 0; block < 64; block += 8) {
		uint8_t map = take_byte(in);
		for (uint32_t bit = 0; bit < 8; bit++)
			if (map & (1u << bit))
				s.bad_blocks.push_back(block + bit);
	}
	uint8_t fault = take_byte(in);
	s.device.fault = fault < FAULT_COUNT ? FAULTS[fault] : MTDSIM_NO_FAULT;
	s.allocation_fails = fault == ALLOCATION_FAILS;
	s.uncorrectable.start = take_number(in, 4);
	s.uncorrectable.end = s.uncorrectable.start + take_number(in, 2);
	s.corrected.start = take_number(in, 4);
	s.corrected.end = s.corrected.start + take_number(in, 2);
	uint8_t length = take_byte(in);
	for (uint8_t i = 0; length != NULL_KEY && i < length && in.left > 0; i++) {
		char c = (char)take_byte(in);
		if (c == '\0')
			break;
		s.key_text += c;
	}
	s.key = length == NULL_KEY ? NULL : s.key_text.c_str();
	s.device.image = in.bytes;
	s.device.image_length = in.left;
	s.device.bad_blocks = s.bad_blocks.data();
	s.device.bad_count = s.bad_blocks.size();
	s.device.uncorrectable = &s.uncorrectable;
	s.device.uncorrectable_count = s.uncorrectable.end > s.uncorrectable.start ? 1 : 0;
	s.device.corrected = &s.corrected;
	s.device.corrected_count = s.corrected.end > s.corrected.start ? 1 : 0;
}

}

extern "C" void *__wrap_malloc(size_t size)
{
	if (!watching)
		return __real_malloc(size);
	void *pointer = allocations_fail || size > MEMORY_LIMIT ? NULL : __real_malloc(size);
	if (pointer != NULL)
		live_allocations++;
	return pointer;
}

extern "C" void __wrap_free(void *pointer)
{
	if (watching && pointer != NULL)
		live_allocations--;
	__real_free(pointer);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const char *value_buffer;
	fuzz_input in = { data, size };
	setup s;

	read_setup(in, s);
	mtdsim_attach(&s.device);
	live_allocations = 0;
	allocations_fail = s.allocation_fails;
	watching = true;
	const char *value = env_get(s.key);
	watching = false;

	const mtdsim_counts *calls = mtdsim_calls();
	if (calls->open_descriptors != 0)
		fail("the device was left open", s);
	if (calls->opens != (s.key ? 1u : 0u) || calls->preads > 2 || calls->misuses != 0)
		fail("the device was used other than once, open, read (the values' bytes maybe again) and closed", s);
	if (live_allocations != 0)
		fail("the image was not freed", s);
	if (value != NULL) {
		if (value_buffer == NULL)
			value_buffer = value;
		if (value != value_buffer)
			fail("the value is not in the value buffer", s);
		if (strnlen(value, ENV_VALUE_MAX + 1) > ENV_VALUE_MAX)
			fail("the value has no terminator in the buffer", s);
	}

	int64_t base = s.key ? readable_at(s) : -1;
	if (base < 0 && value != NULL)
		fail("a value where the PTB can't be read", s);
	if (base >= 0 && values_fail(s, (uint64_t)base) && value != NULL)
		fail("a value from bytes the ECC could not correct", s);
	if (base >= 0 && !values_fail(s, (uint64_t)base) && !is_fields_value(s, (uint64_t)base, value))
		fail(value ? "the value is not the field's" : "null where the PTB holds a value", s);
	return 0;
}
