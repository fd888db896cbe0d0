/* ptbtool set and write as processes over the simulated device: what they
 * say and return, the blocks they erase and mark, and what ptbenv reads in
 * the next process, every byte not asked to change as it was. */
#include "run_tool.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace {

const uint32_t KiB = 1024;
const std::string DEVICE = "/dev/mtd2";
const std::string ERASING = "erasing the block at", PROGRAMMING = "programming the page at",
		  READING_BACK = "reading back the block at";

/* The values of the PTB every row starts from, at the partition's start. */
const std::vector<std::pair<std::string, std::string>> FACTORY = { { "sninfo", "PT1" }, { "chipinfo", "factory" } };

/* Partition bytes that tell where they came from, around the factory's values. */
ptb_bytes factory(size_t size)
{
	ptb_bytes bytes = ptb_pattern(size);
	for (const auto &key_value : FACTORY)
		ptb_put_value(bytes, key_value.first, key_value.second);
	return bytes;
}

/* What ptbenv prints over the partition the run left. */
enum reads { READS_NEW, READS_OLD, READS_UNCHECKED };

struct set_case {
	const char *name;
	sim_partition device;	/* its bytes: factory() */
	std::vector<std::string> first;	/* a run before, over the device; IMAGE and BACKUP name scratch files */
	std::vector<std::string> args;
	std::vector<std::pair<std::string, std::string>> values;	/* set's, or IMAGE's */
	int status;
	std::string out;
	std::string err;
	unsigned erases;	/* MEMERASE calls */
	std::string blocks;	/* sim_blocks_after(), against the device before the first run */
	uint32_t ptb_block;	/* where the new PTB was written */
	std::vector<uint32_t> bad_after;
	enum reads reads;
	int lock_held = 0;	/* tool_options' */
	size_t image_length = 0;	/* IMAGE made of the factory's first bytes and the values; 0: none */
};

/* c, writing an IMAGE of length bytes made of the factory's first and the values. */
set_case image_of(size_t length, set_case c)
{
	c.image_length = length;
	return c;
}

const sim_partition NAND = { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT };
const std::vector<std::string> SET = { "set", DEVICE, "sninfo=PT2" };
const std::vector<std::pair<std::string, std::string>> PT2 = { { "sninfo", "PT2" } };

const set_case set_cases[] = {
	{ "set one value", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkk", 0, {}, READS_NEW },
	{ "a second identical set erases nothing", NAND, SET, SET, PT2,
	  0, holds_already(DEVICE, 0), "", 0, "nkkkkkkk", 0, {}, READS_NEW },
	{ "set with no value rewrites the block as it reads", NAND, {}, { "set", DEVICE }, {},
	  0, ptb_written(DEVICE, 0, 1), "", 1, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a value make refuses: the whole set refused", NAND, {}, { "set", DEVICE, "sninfo=PT2", "product=GW\n8" }, {},
	  1, "", ptbtool_error(holds_byte("product", '\n')), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a read-only partition", { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_READ_ONLY }, {}, SET, {},
	  1, "", cant_be_written(DEVICE), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "the read-only node", NAND, {}, { "set", "/dev/mtd2ro", "sninfo=PT2" }, {},
	  1, "", cant_be_written("/dev/mtd2ro"), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "an image file is no device to set", NAND, { "make", "IMAGE" }, { "set", "IMAGE", "sninfo=PT2" }, {},
	  1, "", not_an_mtd_device("IMAGE"), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "an erase size of 0", { {}, SIM_SIZE, 0, {}, MTDSIM_NO_FAULT }, {}, SET, {},
	  1, "", erase_size_0(DEVICE), 0, "k", 0, {}, READS_OLD },
	{ "a step the ECC can't correct, outside the values",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT, { { 0x10000, 0x10010 } } }, {}, SET, {},
	  1, "", failed_elsewhere(DEVICE, 1, 0) + not_whole(DEVICE, 0, 1), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a weak block: marked, the PTB in the next", { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT, {}, {}, { 0 } },
	  {}, SET, PT2,
	  0, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false) + bad_block_lines(SIM_ERASESIZE, 0, 1),
	  3, "knkkkkkk", 1, { 0 }, READS_NEW },
	{ "a weak page: the block erased and marked, the PTB in the next",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT, {}, {}, {}, { 5 } }, {}, SET, PT2,
	  0, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, PROGRAMMING, 0x2800, EIO_TEXT) + block_failed(DEVICE, 0, true) +
	  bad_block_lines(SIM_ERASESIZE, 0, 1),
	  3, "enkkkkkk", 1, { 0 }, READS_NEW },
	{ "the mark does not stick: after a reboot the old PTB reads again",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_MARKBAD_FAILS, {}, {}, { 0 } }, {}, SET, PT2,
	  3, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false, EIO_TEXT) +
	  bad_block_lines(SIM_ERASESIZE, 0, 1) + may_not_survive(DEVICE),
	  3, "knkkkkkk", 1, {}, READS_OLD },
	{ "two failing blocks: stopped, the backup named", { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT, {}, {}, { 0, 1 } },
	  {}, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, {},
	  3, "",
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false) +
	  write_failed(DEVICE, ERASING, SIM_ERASESIZE, EIO_TEXT) + second_block_failed(DEVICE) +
	  changed_not_as_asked(DEVICE, "BACKUP"),
	  3, "kkkkkkkk", 0, { 0 }, READS_UNCHECKED },
	{ "the backup set saved, written back: the old PTB again", NAND, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" },
	  { "write", DEVICE, "BACKUP" }, {},
	  0, ptb_written(DEVICE, 0, 1), "", 1, "kkkkkkkk", 0, {}, READS_OLD },
	{ "an image make wrote: its bytes, the block's past them kept", NAND, { "make", "IMAGE", "sninfo=PT9" },
	  { "write", DEVICE, "IMAGE" }, { { "sninfo", "PT9" } },
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkk", 0, {}, READS_NEW },
	image_of(PTB_VALUES_END, { "an image of the values' bytes alone: the block's past them kept", NAND, {},
				   { "write", DEVICE, "IMAGE" }, { { "sninfo", "PT9" } },
				   0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkk", 0, {}, READS_NEW }),
	image_of(PTB_VALUES_END - 1, { "an image a byte shorter", NAND, {}, { "write", DEVICE, "IMAGE" }, {},
				       1, "", not_an_image("IMAGE", DEVICE, SIM_ERASESIZE), 0, "kkkkkkkk", 0, {}, READS_OLD }),
	{ "a word after the image: the usage, nothing written", NAND, { "make", "IMAGE", "sninfo=PT9" },
	  { "write", DEVICE, "IMAGE", "extra" }, {},
	  2, "", PTBTOOL_USAGE, 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "an image larger than the block", NAND, { "make", "--erasesize", "262144", "IMAGE" },
	  { "write", DEVICE, "IMAGE" }, {},
	  1, "", not_an_image("IMAGE", DEVICE, SIM_ERASESIZE), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a FIFO named as the image: refused, not waited on with the lock held", NAND, {}, { "write", DEVICE, "FIFO" }, {},
	  1, "", not_an_image("FIFO", DEVICE, SIM_ERASESIZE), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "a whole image over values the ECC can't read: restored in the next block",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT, { { 0xE5B, 0xE5C } } },
	  { "make", "--erasesize", "131072", "IMAGE", "sninfo=PT9" }, { "write", DEVICE, "IMAGE" }, { { "sninfo", "PT9" } },
	  0, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  PREAD_EBADMSG + values_unreadable(DEVICE, 1, 0) + write_failed(DEVICE, READING_BACK, 0, EBADMSG_TEXT) +
	  block_failed(DEVICE, 0, true) + bad_block_lines(SIM_ERASESIZE, 0, 1),
	  3, "enkkkkkk", 1, { 0 }, READS_NEW },
	{ "4 KiB blocks: the first of the PTB's two alone", { {}, 64 * KiB, 4 * KiB, {}, MTDSIM_NO_FAULT }, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkkkkkkkkkk", 0, {}, READS_NEW },
	{ "4 KiB blocks: the backup holds both the PTB's blocks", sim_flash(64 * KiB, 4 * KiB), {},
	  { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkkkkkkkkkk", 0, {}, READS_NEW },
	{ "4 KiB blocks, the first fails: both the PTB's blocks written in the next",
	  sim_weak_blocks(sim_flash(64 * KiB, 4 * KiB), { 0 }), {}, SET, PT2,
	  0, ptb_written(DEVICE, 4 * KiB, 2),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false) + bad_block_lines(4 * KiB, 0, 1),
	  4, "knnkkkkkkkkkkkkk", 1, { 0 }, READS_NEW },
	{ "one bitflip corrected reading, and one reading back: said in the singular",
	  sim_corrected(NAND, { { 0x100, 0x101 } }), {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), corrected_bitflips(DEVICE, 1, 0) + corrected_reading_back(DEVICE, 1),
	  1, "nkkkkkkk", 0, {}, READS_NEW },
	{ "another set holds the lock a moment: set waits, then writes", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkkk", 0, {}, READS_NEW, LOCK_EX },
	{ "a show holds it: set waits too", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkkk", 0, {}, READS_NEW, LOCK_SH },
	{ "show waits for a set", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", waiting_for_lock(DEVICE), 0, "kkkkkkkk", 0, {}, READS_OLD, LOCK_EX },
	{ "show reads beside another show", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", "", 0, "kkkkkkkk", 0, {}, READS_OLD, LOCK_SH },
};

/* text with IMAGE, BACKUP and FIFO naming the scratch folder's files. */
std::string named(std::string text, const scratch &dir)
{
	for (const char *name : { "IMAGE", "BACKUP", "FIFO" }) {
		std::string path = dir.path(name);
		for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + path.size()))
			text.replace(at, strlen(name), path);
	}
	return text;
}

std::vector<std::string> named(const std::vector<std::string> &args, const scratch &dir)
{
	std::vector<std::string> named_args;
	named_args.reserve(args.size());
	for (const std::string &arg : args)
		named_args.push_back(named(arg, dir));
	return named_args;
}

/* The PTB's bytes the writer writes, from the partition's start: the whole
 * blocks the values lie in. */
ptb_bytes old_ptb(const sim_partition &device)
{
	if (device.erasesize == 0)
		return ptb_bytes();
	size_t region = (PTB_VALUES_END + device.erasesize - 1) / device.erasesize * device.erasesize;
	return ptb_bytes(device.image.begin(), device.image.begin() + region);
}

/* The blocks holding the values, as the row asks them written: the PTB's,
 * IMAGE's bytes over them for write, the values stored. */
ptb_bytes new_ptb(const set_case &c, const sim_partition &device, const scratch &dir)
{
	ptb_bytes ptb = old_ptb(device);
	size_t region = ptb.size();
	ptb_bytes image = c.args[0] == "write" && c.args[2] == "IMAGE" ? ptb_read_file(dir.path("IMAGE")) : ptb_bytes();
	std::copy(image.begin(), image.begin() + std::min(image.size(), region), ptb.begin());
	for (const auto &key_value : c.values)
		ptb_put_value(ptb, key_value.first, key_value.second);
	return ptb;
}

unsigned count_of(const std::string &text, const std::string &part)
{
	unsigned count = 0;
	for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
		count++;
	return count;
}

void check_set(const set_case &c)
{
	scratch dir;
	sim_partition device = c.device;
	device.image = factory(device.size);
	const sim_partition before = device;
	if (c.image_length != 0) {
		ptb_bytes image(device.image.begin(), device.image.begin() + c.image_length);
		for (const auto &key_value : c.values)
			ptb_put_value(image, key_value.first, key_value.second);
		ASSERT_TRUE(ptb_write_file(dir.path("IMAGE"), image));
	}
	if (!c.first.empty()) {
		tool_run first = run_ptbtool_on(named(c.first, dir), device);
		ASSERT_EQ(first.status, 0) << first.err;
		device = first.device_after;
	}
	tool_options options;
	options.lock_held = c.lock_held;
	ASSERT_EQ(mkfifo(dir.path("FIFO").c_str(), 0600), 0);

	tool_run run = run_ptbtool_on(named(c.args, dir), device, options);
	EXPECT_EQ(run.status, c.status);
	EXPECT_EQ(run.out, named(c.out, dir));
	/* The usage's IMAGE is its own word, no file. */
	EXPECT_EQ(run.err, c.err == PTBTOOL_USAGE ? c.err : named(c.err, dir));
	EXPECT_EQ(count_of(run.device_log, "MEMERASE "), c.erases);
	EXPECT_EQ(sim_blocks_after(before, run.device_after.image, new_ptb(c, before, dir), c.ptb_block * before.erasesize),
		  c.blocks);
	EXPECT_EQ(run.device_after.bad_blocks, c.bad_after);
	/* Writing a backup back restores the bytes past its end as the flash
	 * holds them then, so it is its bytes that tell it whole. */
	for (const std::vector<std::string> *args : { &c.first, &c.args })
		if (std::find(args->begin(), args->end(), "--backup") != args->end()) {
			EXPECT_EQ(ptb_read_file(dir.path("BACKUP")), old_ptb(before));
		}
	if (c.reads == READS_UNCHECKED)
		return;
	unsigned good = 0;
	while (std::find(c.bad_after.begin(), c.bad_after.end(), good) != c.bad_after.end())
		good++;
	/* The blocks' letters tell every byte; one old value tells the PTB is read as before. */
	for (const auto &key_value : c.reads == READS_NEW ? c.values : decltype(FACTORY){ FACTORY[0] }) {
		tool_run read = run_ptbenv({ key_value.first }, run.device_after);
		EXPECT_EQ(read.out, key_value.first + ":" + key_value.second + "\n");
		EXPECT_EQ(read.err, bad_block_lines(before.erasesize, 0, good));
	}
}

TEST(Set, ChangesThePtbOnTheDeviceOrLeavesItAsItWas)
{
	for (const set_case &c : set_cases) {
		SCOPED_TRACE(c.name);
		check_set(c);
	}
}

}
