#include "sim_device.h"

#include "ptb/ptb_env.h"

#include <gtest/gtest.h>
#include <malloc.h>

void sim_attach(const sim_partition &partition, const ptb_bytes &contents)
{
	struct mtdsim_device device = {};
	std::vector<uint32_t> bad_blocks;

	for (uint32_t b = 0; b < partition.bad_count; b++)
		bad_blocks.push_back(partition.first_bad + b);

	device.image = contents.data();
	device.image_length = contents.size();
	device.size = partition.size;
	device.erasesize = partition.erasesize;
	device.bad_blocks = bad_blocks.data();
	device.bad_count = bad_blocks.size();
	device.fault = partition.fault;
	mtdsim_attach(&device);
}

void sim_attach_image(const ptb_bytes &image)
{
	sim_attach({ 1 << 20, 128 << 10, 0, 0, MTDSIM_NO_FAULT }, image);
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
