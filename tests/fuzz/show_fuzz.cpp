/* Fuzzes ptbtool show over a partition dump of any geometry, in-process:
 *
 *   byte  0     which of --erasesize (bit 0), --size (1) and --bad (2) are
 *               given; a stream, not a file (3); keys named (4); numbers in
 *               hexadecimal (5)
 *   byte  1     erase-size kind: tiny, a power of two, up to the largest
 *               taken, raw, 0 (modulo 5)
 *   bytes 2-9   its parameter, big-endian
 *   byte  10    size kind: whole blocks, raw, raw to 4 GiB, the dump's (modulo 4)
 *   bytes 11-18 its parameter
 *   byte  19    dump-length kind: whole blocks, raw up to what a dump may be
 *               (a stream's up to what its pipe holds) (modulo 2)
 *   bytes 20-27 its parameter
 *   bytes 28-35 bad-block map for --bad: bit i of byte i/8 lists block i
 *   bytes 36-43 one more block listed, when not 0
 *   byte  44    the byte the PTB's read is filled with; the rest of the dump is 0
 *   bytes 45-46 two keys, by their place in the table (one past it: no such key)
 *   the rest    the PTB's bytes, from the first block not listed
 *
 * Whatever the input, show ends with status 0, 1 or 2, closes what it
 * opened and leaves no memory behind (the sanitizers' leak check); libFuzzer's
 * -timeout bounds its time. When it succeeds, it printed what ptbenv prints
 * from the PTB in the first block not listed bad. */
#include "fuzz_input.h"
#include "ptb/env_layout.h"
#include "ptb/ptb_env.h"
#include "tool/ptbtool.h"

#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

/* The erase size show takes when none is given. */
const uint64_t DEFAULT_ERASESIZE = 131072;
/* A file dump is sparse past the PTB's read: any length costs nothing. */
const uint64_t FILE_DUMP_MOST = 1ULL << 36;

struct dump {
	uint64_t erasesize, size, length;
	std::vector<uint64_t> bad;
	uint8_t fill;
	std::string ptb;
};

uint64_t choose_erasesize(uint8_t kind, uint64_t param)
{
	switch (kind % 5) {
	case 0:
		return 1 + param % 512;
	case 1:
		return 1ULL << (param % 31);
	case 2:
		return 1 + param % PTBTOOL_ERASESIZE_MAX;
	case 3:
		return param;
	default:
		return 0;
	}
}

uint64_t whole_blocks(uint64_t param, uint64_t erasesize)
{
	return erasesize > UINT64_MAX / 80 ? UINT64_MAX : param % 80 * erasesize;
}

std::string number(uint64_t value, bool hex)
{
	char text[32];
	snprintf(text, sizeof(text), hex ? "0x%llx" : "%llu", (unsigned long long)value);
	return text;
}

bool listed(const dump &d, uint64_t block)
{
	return std::find(d.bad.begin(), d.bad.end(), block) != d.bad.end();
}

/* Where the device would read the PTB from: the first block not listed. */
uint64_t good_offset(const dump &d, uint64_t erasesize)
{
	uint64_t block = 0;
	while (listed(d, block))
		block++;
	return erasesize != 0 && block > UINT64_MAX / erasesize ? UINT64_MAX : block * erasesize;
}

/* The dump's bytes from at, for as many as bytes holds: 0 but where the
 * PTB is read, which holds its bytes and then the fill. */
void dump_bytes(const dump &d, uint64_t good, uint64_t at, std::vector<unsigned char> &bytes)
{
	uint64_t end = at + bytes.size();
	uint64_t from = std::max(at, good), to = std::min(end, good > UINT64_MAX - PTB_MIN_READ ? end : good + PTB_MIN_READ);

	if (bytes.empty())
		return;
	memset(bytes.data(), 0, bytes.size());
	if (from >= to)
		return;
	uint64_t filled = std::max(from, std::min(to, good + d.ptb.size()));
	if (filled > from)
		memcpy(bytes.data() + (from - at), d.ptb.data() + (from - good), filled - from);
	memset(bytes.data() + (filled - at), d.fill, to - filled);
}

/* A memory file of the dump's length, sparse but for the PTB's read. */
bool write_file(int fd, const dump &d, uint64_t good)
{
	if (ftruncate(fd, 0) != 0 || ftruncate(fd, (off_t)d.length) != 0)
		return false;
	if (good >= d.length)
		return true;
	std::vector<unsigned char> bytes(std::min<uint64_t>(PTB_MIN_READ, d.length - good));
	dump_bytes(d, good, good, bytes);
	return pwrite(fd, bytes.data(), bytes.size(), (off_t)good) == (ssize_t)bytes.size();
}

/* How much a pipe holds, once made as large as it may be. */
uint64_t stream_most()
{
	static int holds = -1;
	int ends[2];

	if (holds < 0 && pipe2(ends, O_CLOEXEC) == 0) {
		fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
		holds = fcntl(ends[1], F_GETPIPE_SZ);
		close(ends[0]);
		close(ends[1]);
	}
	return holds > 0 ? (uint64_t)holds : 0;
}

/* A pipe holding the whole dump, its writing end closed; returns its reading end. */
int write_stream(const dump &d, uint64_t good)
{
	int ends[2];
	std::vector<unsigned char> bytes(d.length);

	if (pipe2(ends, O_CLOEXEC) != 0)
		return -1;
	fcntl(ends[1], F_SETPIPE_SZ, (int)stream_most());
	dump_bytes(d, good, 0, bytes);
	bool written = bytes.empty() || write(ends[1], bytes.data(), bytes.size()) == (ssize_t)bytes.size();
	close(ends[1]);
	if (!written) {
		close(ends[0]);
		return -1;
	}
	return ends[0];
}

/* The lowest descriptor free: any show leaves open moves it. */
int lowest_free_fd()
{
	int fd = 0;
	while (fcntl(fd, F_GETFD) >= 0)
		fd++;
	return fd;
}

/* Standard output into a memory file, emptied for each input. */
int capture_stdout()
{
	static int out = -1;

	if (out < 0) {
		out = memfd_create("stdout", MFD_CLOEXEC);
		if (out < 0 || dup2(out, 1) != 1)
			fuzz_fail("show fuzz: standard output could not be captured");
	}
	fflush(stdout);
	clearerr(stdout);
	if (ftruncate(1, 0) != 0 || lseek(1, 0, SEEK_SET) != 0)
		fuzz_fail("show fuzz: standard output could not be emptied");
	return out;
}

std::string captured(int out)
{
	std::string text;
	char buf[4096];
	ssize_t got;

	fflush(stdout);
	for (off_t at = 0; (got = pread(out, buf, sizeof(buf), at)) > 0; at += got)
		text.append(buf, (size_t)got);
	return text;
}

/* What ptbenv prints for the keys asked, or every key, from the PTB at good. */
std::string expected_output(const dump &d, uint64_t good, int count, const uint8_t *keys)
{
	std::vector<unsigned char> image(PTB_MIN_READ);
	std::string text;

	dump_bytes(d, good, good, image);
	for (size_t i = 0; i < (count ? (size_t)count : env_field_count); i++) {
		size_t f = count ? keys[i] % (env_field_count + 1) : i;
		if (f == env_field_count)
			return "(no such key, so no success)";
		const env_field *field = &env_fields[f];
		const char *value = env_render(field, image.data());
		if (value != NULL)
			text += std::string(field->key) + ":" + value + "\n";
	}
	return text;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static int file_fd = -1;
	fuzz_input in = { data, size };
	uint8_t flags = take_byte(in);
	bool hex = flags & 32, stream = flags & 8;
	uint8_t erase_kind = take_byte(in);
	uint64_t erasesize = choose_erasesize(erase_kind, take_number(in, 8));
	uint64_t layout_erasesize = flags & 1 ? erasesize : DEFAULT_ERASESIZE;
	uint8_t size_kind = take_byte(in);
	uint64_t size_param = take_number(in, 8);
	uint8_t length_kind = take_byte(in);
	uint64_t length_param = take_number(in, 8);
	dump d = {};

	fuzz_standard_fds();
	for (uint64_t block = 0; block < 64; block += 8) {
		uint8_t map = take_byte(in);
		for (uint64_t bit = 0; bit < 8; bit++)
			if (map & (1u << bit))
				d.bad.push_back(block + bit);
	}
	uint64_t extra = take_number(in, 8);
	if (extra != 0)
		d.bad.push_back(extra);
	if (!(flags & 4))
		d.bad.clear();
	d.fill = take_byte(in);
	uint8_t keys[2] = { take_byte(in), take_byte(in) };
	d.ptb.assign((const char *)in.bytes, in.left);
	uint64_t length_most = stream ? stream_most() + 1 : FILE_DUMP_MOST;
	d.length = (length_kind % 2 == 0 ? whole_blocks(length_param, layout_erasesize) : length_param) % length_most;
	switch (size_kind % 4) {
	case 0:
		d.size = whole_blocks(size_param, layout_erasesize);
		break;
	case 1:
		d.size = size_param;
		break;
	case 2:
		d.size = size_param % (1ULL << 32);
		break;
	default:
		d.size = d.length;
		break;
	}

	uint64_t good = good_offset(d, layout_erasesize);
	int fd = -1;
	if (stream) {
		fd = write_stream(d, good);
	} else {
		if (file_fd < 0)
			file_fd = memfd_create("dump", MFD_CLOEXEC);
		fd = file_fd >= 0 && write_file(file_fd, d, good) ? file_fd : -1;
	}
	if (fd < 0)
		fuzz_fail("show fuzz: the dump could not be made");

	std::vector<std::string> words = { "show" };
	if (flags & 1)
		words.insert(words.end(), { "--erasesize", number(erasesize, hex) });
	if (flags & 2)
		words.insert(words.end(), { "--size", number(d.size, hex) });
	if (flags & 4) {
		std::string list;
		for (uint64_t block : d.bad)
			list += (list.empty() ? "" : ",") + number(block, hex);
		words.insert(words.end(), { "--bad", list });
	}
	words.push_back("/proc/self/fd/" + std::to_string(fd));
	for (int k = 0; k < 2 && (flags & 16); k++)
		words.push_back(keys[k] % (env_field_count + 1) < env_field_count
				? env_fields[keys[k] % (env_field_count + 1)].key : "nokey");
	std::vector<char *> argv;
	argv.reserve(words.size() + 1);
	for (std::string &word : words)
		argv.push_back(&word[0]);
	argv.push_back(NULL);

	int out = capture_stdout();
	int free_before = lowest_free_fd();
	int status = ptbtool_show((int)words.size(), argv.data());
	int free_after = lowest_free_fd();
	if (status == 0 && captured(out) != expected_output(d, good, (flags & 16) ? 2 : 0, keys))
		fuzz_fail("show fuzz: show printed other than the fields of the PTB from the first block not listed");
	if (stream)
		close(fd);
	if (status < 0 || status > 2)
		fuzz_fail("show fuzz: an exit status other than 0, 1 or 2");
	if (free_after != free_before)
		fuzz_fail("show fuzz: show left a descriptor open");
	return 0;
}
