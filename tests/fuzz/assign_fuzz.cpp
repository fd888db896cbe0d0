/* Fuzzes the KEY=VALUE assignments of make and set, from a fields file or
 * the command line, into a PTB image:
 *
 *   byte 0     even: the rest is a fields file; odd: the rest is command-line
 *              words, each ended by a NUL
 *   byte 1     the byte the image is filled with before (0xFF: erased flash)
 *   the rest   the file's text, or the words
 *
 * Each assignment in turn, as assign_file's lines or the words give it: one
 * refused leaves the image as it was, byte for byte; one accepted names a key
 * not given before, changes nothing outside its field and renders back, as
 * ptbenv prints it, exactly as given (a MAC address in upper case). A fields
 * file read whole ends in the same image and status as its lines one by one. */
#include "fuzz_input.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

namespace {

/* The assignments a fields file holds, as its lines are read: ended by LF
 * or CRLF, none blank, none starting with '#'. */
std::vector<std::string> file_assignments(const std::string &text)
{
	std::vector<std::string> lines;
	size_t start = 0;

	while (start < text.size()) {
		size_t end = text.find('\n', start);
		std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
		start = end == std::string::npos ? text.size() : end + 1;
		if (!line.empty() && line.back() == '\r')
			line.pop_back();
		if (line.find_first_not_of(" \t") != std::string::npos && line[0] != '#')
			lines.push_back(line);
	}
	return lines;
}

std::vector<std::string> words(const std::string &rest)
{
	std::vector<std::string> list;
	size_t start = 0;

	while (start < rest.size()) {
		size_t end = rest.find('\0', start);
		if (end == std::string::npos)
			end = rest.size();
		list.push_back(rest.substr(start, end - start));
		start = end + 1;
	}
	return list;
}

bool renders_as_given(const env_field *field, const unsigned char *image, const std::string &value)
{
	const char *shown = env_render(field, image);

	if (shown == NULL || strlen(shown) != value.size())
		return false;
	if (field->kind == ENV_MAC)
		return strncasecmp(shown, value.data(), value.size()) == 0;
	return memcmp(shown, value.data(), value.size()) == 0;
}

/* One assignment through assign_one, checked; false once refused. */
bool assign_checked(assignments &given, std::set<std::string> &keys, const char *file, unsigned long line,
		    const std::string &text)
{
	std::vector<unsigned char> before(given.bytes, given.bytes + PTB_MIN_READ);
	size_t equals = text.find('=');
	std::string key = text.substr(0, equals);
	std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
	const env_field *field = key.find('\0') == std::string::npos ? env_find(key.c_str()) : NULL;

	if (assign_one(&given, file, line, text.data(), text.size()) != 0) {
		if (memcmp(before.data(), given.bytes, PTB_MIN_READ) != 0)
			fuzz_fail("assign fuzz: a refused assignment changed the image");
		return false;
	}
	if (equals == std::string::npos || field == NULL)
		fuzz_fail("assign fuzz: accepted what is not KEY=VALUE of a key");
	if (!keys.insert(key).second)
		fuzz_fail("assign fuzz: accepted a key given twice");
	if (!renders_as_given(field, given.bytes, value))
		fuzz_fail("assign fuzz: an accepted value does not render back as given");
	size_t after = field->offset + env_room(field);
	if (memcmp(before.data(), given.bytes, field->offset) != 0 ||
	    memcmp(before.data() + after, given.bytes + after, PTB_MIN_READ - after) != 0)
		fuzz_fail("assign fuzz: an assignment changed bytes outside its field");
	return true;
}

/* The file through assign_file, against its lines one by one. */
void check_file(const std::string &text, uint8_t fill)
{
	static int fd = -1;
	static char path[64];
	std::vector<unsigned char> whole(PTB_MIN_READ, fill), by_line(PTB_MIN_READ, fill);
	assignments at_once = {}, one_by_one = {};
	std::set<std::string> keys;
	bool accepted = true;
	unsigned long number = 0;

	if (fd < 0) {
		fd = memfd_create("fields", 0);
		snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
	}
	if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != (ssize_t)text.size())
		fuzz_fail("assign fuzz: the fields file could not be written");
	if (assign_begin(&at_once, whole.data()) != 0 || assign_begin(&one_by_one, by_line.data()) != 0)
		fuzz_fail("assign fuzz: assign_begin failed");
	int status = assign_file(&at_once, path);
	for (const std::string &line : file_assignments(text))
		if (accepted)
			accepted = assign_checked(one_by_one, keys, path, ++number, line);
	if ((status == 0) != accepted || whole != by_line)
		fuzz_fail("assign fuzz: the file read whole is not its lines one by one");
	assign_end(&at_once);
	assign_end(&one_by_one);
}

/* The command line's words in turn, up to the first refused, as make and set take them. */
void check_words(const std::string &rest, uint8_t fill)
{
	std::vector<unsigned char> image(PTB_MIN_READ, fill);
	assignments given = {};
	std::set<std::string> keys;

	if (assign_begin(&given, image.data()) != 0)
		fuzz_fail("assign fuzz: assign_begin failed");
	for (const std::string &word : words(rest))
		if (!assign_checked(given, keys, "", 0, word))
			break;
	assign_end(&given);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_input in = { data, size };
	uint8_t mode = take_byte(in);
	uint8_t fill = take_byte(in);
	std::string rest((const char *)in.bytes, in.left);

	fuzz_standard_fds();

	if (mode % 2 == 0)
		check_file(rest, fill);
	else
		check_words(rest, fill);
	return 0;
}
