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

/* Partition bytes that tell where they came from, around the factory's
 * values; the blocks the PTB's copy takes at the end erased, where it has
 * room, unless not spare. */
ptb_bytes factory(const sim_partition &device, bool spare)
{
	ptb_bytes bytes = ptb_pattern(device.size);
	for (const auto &key_value : FACTORY)
		ptb_put_value(bytes, key_value.first, key_value.second);
	size_t blocks = device.erasesize != 0 ? (PTB_VALUES_END + device.erasesize - 1) / device.erasesize + 1 : 0;
	if (spare && blocks * device.erasesize + std::max<size_t>(device.erasesize, 40960) <= device.size)
		std::fill(bytes.end() - blocks * device.erasesize, bytes.end(), 0xFF);
	return bytes;
}

/* What became of the partition after the first run, before the row's. */
enum after_first {
	AS_LEFT,
	PTB_TORN,	/* the PTB's block erased from its second page on, as a cut in a rewrite leaves it */
	OLD_PTB_BACK,	/* the PTB as before the first run, its copy left: a cut before the erase */
};

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
	enum after_first after = AS_LEFT;
	bool spare = true;	/* the copy's blocks erased at the start */
};

const sim_partition NAND = { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT };
const std::vector<std::string> SET = { "set", DEVICE, "sninfo=PT2" };
const std::vector<std::pair<std::string, std::string>> PT2 = { { "sninfo", "PT2" } };
/* Where the copy lies on NAND: the last two blocks. */
const uint64_t SIX_BLOCKS = 6 * SIM_ERASESIZE;

const set_case set_cases[] = {
	{ "set one value", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW },
	{ "a second identical set erases nothing", NAND, SET, SET, PT2,
	  0, holds_already(DEVICE, 0), "", 0, "nkkkkkxx", 0, {}, READS_NEW },
	{ "set with no value rewrites the block as it reads", NAND, {}, { "set", DEVICE }, {},
	  0, ptb_written(DEVICE, 0, 1), "", 1, "kkkkkkxx", 0, {}, READS_OLD },
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
	  3, "knkkkkxx", 1, { 0 }, READS_NEW },
	{ "a weak page: the block erased and marked, the PTB in the next",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT, {}, {}, {}, { 5 } }, {}, SET, PT2,
	  0, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, PROGRAMMING, 0x2800, EIO_TEXT) + block_failed(DEVICE, 0, true) +
	  bad_block_lines(SIM_ERASESIZE, 0, 1),
	  3, "enkkkkxx", 1, { 0 }, READS_NEW },
	{ "the mark does not stick: after a reboot the old PTB reads again",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_MARKBAD_FAILS, {}, {}, { 0 } }, {}, SET, PT2,
	  3, ptb_written(DEVICE, SIM_ERASESIZE, 1),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + block_failed(DEVICE, 0, false, EIO_TEXT) +
	  bad_block_lines(SIM_ERASESIZE, 0, 1) + may_not_survive(DEVICE),
	  3, "knkkkkxx", 1, {}, READS_OLD },
	{ "two failing blocks: the PTB in the third, then both marked",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT, {}, {}, { 0, 1 } },
	  {}, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, PT2,
	  0, ptb_written(DEVICE, 2 * SIM_ERASESIZE, 1),
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + write_failed(DEVICE, ERASING, SIM_ERASESIZE, EIO_TEXT) +
	  block_failed(DEVICE, SIM_ERASESIZE, false) + block_failed(DEVICE, 0, false) +
	  bad_block_lines(SIM_ERASESIZE, 0, 2),
	  5, "kknkkkxx", 2, { 1, 0 }, READS_NEW },
	{ "every erase failing: four tries, nothing marked, the backup named",
	  { {}, SIM_SIZE, SIM_ERASESIZE, {}, MTDSIM_ERASE_FAILS },
	  {}, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, {},
	  3, "",
	  write_failed(DEVICE, ERASING, 0, EIO_TEXT) + write_failed(DEVICE, ERASING, SIM_ERASESIZE, EIO_TEXT) +
	  write_failed(DEVICE, ERASING, 2 * SIM_ERASESIZE, EIO_TEXT) +
	  write_failed(DEVICE, ERASING, 3 * SIM_ERASESIZE, EIO_TEXT) + blocks_failed(DEVICE) +
	  changed_not_as_asked(DEVICE, "BACKUP"),
	  4, "kkkkkkxx", 0, {}, READS_OLD },
	{ "the backup set saved, written back: the old PTB again", NAND, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" },
	  { "write", DEVICE, "BACKUP" }, {},
	  0, ptb_written(DEVICE, 0, 1), "", 3, "kkkkkkxx", 0, {}, READS_OLD },
	{ "an image make wrote: its bytes, the block's past them kept", NAND, { "make", "IMAGE", "sninfo=PT9" },
	  { "write", DEVICE, "IMAGE" }, { { "sninfo", "PT9" } },
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW },
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
	  3, "enkkkkxx", 1, { 0 }, READS_NEW },
	{ "4 KiB blocks: the first of the PTB's two alone", { {}, 64 * KiB, 4 * KiB, {}, MTDSIM_NO_FAULT }, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkkkkkkkkxxx", 0, {}, READS_NEW },
	{ "another set holds the lock a moment: set waits, then writes", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkxx", 0, {}, READS_NEW, LOCK_EX },
	{ "a show holds it: set waits too", NAND, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0, 1), waiting_for_lock(DEVICE), 1, "nkkkkkxx", 0, {}, READS_NEW, LOCK_SH },
	{ "show waits for a set", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", waiting_for_lock(DEVICE), 0, "kkkkkkkk", 0, {}, READS_OLD, LOCK_EX },
	{ "show reads beside another show", NAND, {}, { "show", DEVICE, "sninfo" }, {},
	  0, "sninfo:PT1\n", "", 0, "kkkkkkkk", 0, {}, READS_OLD, LOCK_SH },
	{ "a set cut short with --backup, run again: the cut one completed first, the backup a whole PTB", NAND,
	  { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, PT2,
	  0, completed(DEVICE, 0, SIX_BLOCKS) + ptb_written(DEVICE, 0, 1) + holds_already(DEVICE, 0), "",
	  1, "nkkkkkxx", 0, {}, READS_NEW, 0, PTB_TORN },
	{ "recover: a torn PTB written from its copy", NAND, SET, { "recover", DEVICE }, PT2,
	  0, completed(DEVICE, 0, SIX_BLOCKS) + ptb_written(DEVICE, 0, 1), "", 1, "nkkkkkxx", 0, {}, READS_NEW, 0, PTB_TORN },
	{ "show warns of a torn PTB, naming recover", NAND, SET, { "show", DEVICE, "qvhardreset" }, {},
	  0, "", torn_warning(DEVICE, 0), 0, "xkkkkkxx", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "recover: the PTB is its copy: nothing to do", NAND, SET, { "recover", DEVICE }, PT2,
	  0, nothing_to_recover(DEVICE, 0), "", 0, "nkkkkkxx", 0, {}, READS_NEW },
	{ "recover: cut before the erase: the old PTB kept, the change said not to have happened", NAND, SET,
	  { "recover", DEVICE }, {},
	  0, did_not_happen(DEVICE, 0, SIX_BLOCKS), "", 0, "kkkkkkxx", 0, {}, READS_OLD, 0, OLD_PTB_BACK },
	{ "set over an erased PTB with no copy: refused, recover named", NAND, {}, SET, {},
	  1, "", erased_values(DEVICE, 0, "chipinfo"), 0, "xkkkkkkk", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "recover with no copy and the PTB erased: refused", NAND, {}, { "recover", DEVICE }, {},
	  1, "", no_copy_torn(DEVICE, 0), 0, "xkkkkkkk", 0, {}, READS_UNCHECKED, 0, PTB_TORN },
	{ "write refuses an image all 0xFF", NAND, {}, { "write", DEVICE, "ERASED" }, {},
	  1, "", all_0xff_image("ERASED"), 0, "kkkkkkkk", 0, {}, READS_OLD },
	{ "the blocks at the end hold something else: left alone, the set refused", NAND, {}, SET, {},
	  1, "", copy_foreign(DEVICE, SIX_BLOCKS, ""), 0, "kkkkkkkk", 0, {}, READS_OLD, 0, AS_LEFT, false },
	{ "no room for the copy: refused without a backup", { {}, 2 * SIM_ERASESIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT },
	  {}, SET, {},
	  1, "", no_room(DEVICE, ""), 0, "kk", 0, {}, READS_OLD },
	{ "no room for the copy, a set with --backup, then the backup written: every byte back",
	  { {}, 2 * SIM_ERASESIZE, SIM_ERASESIZE, {}, MTDSIM_NO_FAULT },
	  { "set", "--backup", "BACKUP", DEVICE, "sninfo=PT2" }, { "write", "--backup", "IMAGE", DEVICE, "BACKUP" }, {},
	  0, ptb_written(DEVICE, 0, 1), no_room(DEVICE, "IMAGE"), 1, "kk", 0, {}, READS_OLD },
	{ "4 KiB blocks, a bad second block: the PTB moves to two good blocks in a row",
	  { {}, 64 * KiB, 4 * KiB, { 1 }, MTDSIM_NO_FAULT }, {}, SET, PT2,
	  0, ptb_written(DEVICE, 0x2000, 2), ahead_retired(DEVICE, 0) + bad_block_lines(4 * KiB, 0, 2),
	  3, "eknnkkkkkkkkkxxx", 2, { 1, 0 }, READS_NEW },
};

/* text with IMAGE, BACKUP, FIFO and ERASED (an image all 0xFF) naming the scratch folder's files. */
std::string named(std::string text, const scratch &dir)
{
	for (const char *name : { "IMAGE", "BACKUP", "FIFO", "ERASED" }) {
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

/* The blocks holding the values, as the row asks them written: the PTB's,
 * IMAGE's bytes over them for write, the values stored. */
ptb_bytes new_ptb(const set_case &c, const sim_partition &device, const scratch &dir)
{
	if (device.erasesize == 0)
		return ptb_bytes();
	size_t region = (PTB_VALUES_END + device.erasesize - 1) / device.erasesize * device.erasesize;
	ptb_bytes ptb(device.image.begin(), device.image.begin() + region);
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
	device.image = factory(device, c.spare);
	const sim_partition before = device;
	if (!c.first.empty()) {
		tool_run first = run_ptbtool_on(named(c.first, dir), device);
		ASSERT_EQ(first.status, 0) << first.err;
		device = first.device_after;
	}
	if (c.after == PTB_TORN)
		std::fill(device.image.begin() + 2048, device.image.begin() + device.erasesize, 0xFF);
	if (c.after == OLD_PTB_BACK)
		std::copy(before.image.begin(), before.image.begin() + device.erasesize, device.image.begin());
	ptb_write_file(dir.path("ERASED"), ptb_bytes(8192, 0xFF));
	tool_options options;
	options.lock_held = c.lock_held;
	ASSERT_EQ(mkfifo(dir.path("FIFO").c_str(), 0600), 0);

	tool_run run = run_ptbtool_on(named(c.args, dir), device, options);
	EXPECT_EQ(run.status, c.status);
	EXPECT_EQ(run.out, named(c.out, dir));
	EXPECT_EQ(run.err, named(c.err, dir));
	EXPECT_EQ(count_of(run.device_log, "MEMERASE "), c.erases);
	EXPECT_EQ(sim_blocks_after(before, run.device_after.image, new_ptb(c, before, dir), c.ptb_block * before.erasesize),
		  c.blocks);
	EXPECT_EQ(run.device_after.bad_blocks, c.bad_after);
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
