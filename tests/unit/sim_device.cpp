#include "sim_device.h"

#include "ptb/ptb_env.h"

#include <gtest/gtest.h>
#include <malloc.h>

void sim_attach(const sim_partition &partition)
{
	struct mtdsim_device device = {};

	device.image = partition.image.data();
	device.image_length = partition.image.size();
	device.size = partition.size;
	device.erasesize = partition.erasesize;
	device.bad_blocks = partition.bad_blocks.data();
	device.bad_count = partition.bad_blocks.size();
	device.fault = partition.fault;
	device.uncorrectable = partition.uncorrectable.data();
	device.uncorrectable_count = partition.uncorrectable.size();
	device.corrected = partition.corrected.data();
	device.corrected_count = partition.corrected.size();
	device.weak_blocks = partition.weak_blocks.data();
	device.weak_block_count = partition.weak_blocks.size();
	device.weak_pages = partition.weak_pages.data();
	device.weak_page_count = partition.weak_pages.size();
	device.writesize = partition.writesize;
	device.cut_after = partition.cut_after;
	device.cut_half = partition.cut_half;
	mtdsim_attach(&device);
}

std::vector<uint32_t> sim_marked_blocks(uint32_t count)
{
	std::vector<uint32_t> marked;
	for (uint32_t block = 0; block < count; block++)
		if (mtdsim_is_marked_bad(block))
			marked.push_back(block);
	return marked;
}

void start_capture(void)
{
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
}

captured finish_capture(void)
{
	captured streams;

	fflush(stdout);
	fflush(stderr);
	streams.out = testing::internal::GetCapturedStdout();
	streams.err = testing::internal::GetCapturedStderr();
	return streams;
}

size_t heap_in_use(void)
{
	struct mallinfo2 info = mallinfo2();

	return info.uordblks + info.hblkhd;
}

lookup look_up(const char *key)
{
	lookup result;
	size_t heap_before = heap_in_use();

	start_capture();
	result.value = env_get(key);
	result.streams = finish_capture();
	result.heap_growth = (long)heap_in_use() - (long)heap_before;
	if (result.value != NULL)
		result.text = result.value;
	return result;
}

void expect_one_clean_read(const lookup &result)
{
	const mtdsim_counts *calls = mtdsim_calls();
	EXPECT_EQ(calls->opens, 1u);
	EXPECT_EQ(calls->closes, 1u);
	EXPECT_EQ(calls->preads, 1u);
	EXPECT_EQ(calls->misuses, 0u);
	EXPECT_LT(result.heap_growth, (long)PTB_MIN_READ) << "the image was not freed";
}
