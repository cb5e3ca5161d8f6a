// The block loop's failure paths, driven through the Linux layer's fault seam: failed reads,
// failed writes, and each step of the buffered write of a last block that is not whole sectors.
#include <gtest/gtest.h>

#include <string>

#include "block_loop_bench.h"
#include "platform/fault.h"

namespace {

constexpr uint64_t small_block = 4096;
const std::wstring md5_of_nothing = L"d41d8cd98f00b204e9800998ecf8427e";

class BlockLoopFaults : public testing::Test {
protected:
    void TearDown() override { platform_fault_clear(); }

    static void arm(const char* call, const wchar_t* file, unsigned nth, DWORD code) {
        ASSERT_TRUE(platform_fault_arm(platform_fault{call, file, nth, code, false}));
    }
};

TEST_F(BlockLoopFaults, ReadFailureInTheFirstPassWritesNothing) {
    arm("ReadFile", L"in1.bin", 1, ERROR_READ_FAULT);
    block_loop_bench bench;
    ASSERT_EQ(bench.digests.init(4, 2), 0u);
    loop_result r = bench.run({"abc", "abd", "abe"}, small_block);
    // Input 0 was read and hashed, inputs 1 and 2 delivered nothing; the empty block is
    // "written" and shown as clean.
    EXPECT_EQ(r.progress, L"processing:\n.|\n");
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.error_bytes, 0u);
    EXPECT_EQ(r.text, report_text(ERROR_READ_FAULT, L"h_files[i].read()") +
                          L"900150983cd24fb0d6963f7d28e17f72 " + hit_row(L"in0.bin", 0, true) +
                          md5_of_nothing + L" " + hit_row(L"in1.bin", 0, true) +
                          md5_of_nothing + L" " + hit_row(L"in2.bin", 0, true) +
                          md5_of_nothing + L" [                 out.bin]\n");
}

TEST_F(BlockLoopFaults, ReadFailureInALaterPassKeepsTheBlocksBefore) {
    arm("ReadFile", L"in2.bin", 2, ERROR_IO_DEVICE);
    const std::string data = noise(3 * small_block, 11);
    block_loop_bench bench;
    loop_result r = bench.run({data, data, data}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n...|..|\n");
    EXPECT_EQ(r.output, data.substr(0, small_block));
    EXPECT_EQ(r.text, report_text(ERROR_IO_DEVICE, L"h_files[i].read()") + hit_table({0, 0, 0}));
}

TEST_F(BlockLoopFaults, ReadFailureAfterADifferingBlockStillPrintsItsHits) {
    arm("ReadFile", L"in0.bin", 2, ERROR_READ_FAULT);
    std::string a = noise(2 * small_block, 12), b = a;
    b[7] = static_cast<char>(a[7] + 1);
    block_loop_bench bench;
    loop_result r = bench.run({a, a, b}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n...<\n#\n\n|\n");
    EXPECT_EQ(r.output, a.substr(0, small_block));
    EXPECT_EQ(r.error_bytes, 1u);
    EXPECT_EQ(r.text, report_text(ERROR_READ_FAULT, L"h_files[i].read()") + hit_table({1, 1, 0}));
}

struct write_fault_case {
    const char* name;
    unsigned nth;                // which write to out.bin fails
    std::wstring progress;
    size_t bytes_kept;
};

class BlockLoopWriteFault : public BlockLoopFaults,
                            public testing::WithParamInterface<write_fault_case> {};

TEST_P(BlockLoopWriteFault, EndsTheLoopAtOnceWithoutItsBar) {
    const write_fault_case& c = GetParam();
    arm("WriteFile", L"out.bin", c.nth, ERROR_DISK_FULL);
    const std::string data = noise(3 * small_block, 13);
    block_loop_bench bench;
    loop_result r = bench.run({data, data, data}, small_block);
    EXPECT_EQ(r.progress, c.progress);
    EXPECT_EQ(r.output, data.substr(0, c.bytes_kept));
    EXPECT_EQ(r.out_write_error, ERROR_DISK_FULL);
    EXPECT_EQ(r.text, report_text(ERROR_DISK_FULL, L"h_out.write()") + hit_table({0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Passes, BlockLoopWriteFault,
    testing::Values(write_fault_case{"first", 1, L"processing:\n...\n", 0},
                    write_fault_case{"second", 2, L"processing:\n...|...\n", small_block},
                    write_fault_case{"empty_last", 4, L"processing:\n...|...|...|...\n",
                                     3 * small_block}),
    [](const testing::TestParamInfo<write_fault_case>& info) { return std::string(info.param.name); });

// A 5000-byte output: the first block goes out unbuffered, the last 904 bytes are refused by
// the unbuffered handle (87) and go through a re-opened buffered handle.
const std::string& five_thousand() {
    static const std::string data = noise(5000, 14);
    return data;
}

TEST_F(BlockLoopFaults, ShortLastBlockIsWrittenThroughTheBufferedHandleSilently) {
    block_loop_bench bench;
    const std::string& data = five_thousand();
    loop_result r = bench.run({data, data, data}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n...|...|...|\n");
    EXPECT_EQ(r.output, data);
    EXPECT_EQ(r.text, hit_table({0, 0, 0}));
    EXPECT_EQ(r.out_write_error, 0u);
    EXPECT_EQ(r.out_error, 0u);
}

struct unaligned_fault_case {
    const char* name;
    const char* call;
    unsigned nth;  // among that call's uses on out.bin (the re-opened handle shares the name)
    bool reports_unaligned_write;
    uint32_t out_error;  // h_out.error afterwards
};

class BlockLoopUnalignedFault : public BlockLoopFaults,
                                public testing::WithParamInterface<unaligned_fault_case> {};

TEST_P(BlockLoopUnalignedFault, LeavesTheFullBlocksAndReportsTheRefusedWrite) {
    const unaligned_fault_case& c = GetParam();
    arm(c.call, L"out.bin", c.nth, ERROR_ACCESS_DENIED);
    block_loop_bench bench;
    const std::string& data = five_thousand();
    loop_result r = bench.run({data, data, data}, small_block);

    // Nothing of the short block may land anywhere in the file, least of all over its start.
    EXPECT_EQ(r.output, data.substr(0, small_block));
    EXPECT_EQ(r.progress, L"processing:\n...|...\n");
    EXPECT_EQ(r.out_write_error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(r.out_error, c.out_error);
    std::wstring reports;
    if (c.reports_unaligned_write) {
        reports = report_text(ERROR_ACCESS_DENIED, L"h_out_unaligned.write()");
    }
    reports += report_text(ERROR_INVALID_PARAMETER, L"h_out.write()");
    EXPECT_EQ(r.text, reports + hit_table({0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, BlockLoopUnalignedFault,
    testing::Values(unaligned_fault_case{"reopen", "ReOpenFile", 1, false, 0},
                    unaligned_fault_case{"position_query", "SetFilePointerEx", 1, false,
                                         ERROR_ACCESS_DENIED},
                    unaligned_fault_case{"positioning_new_handle", "SetFilePointerEx", 2, false,
                                         0},
                    // Writes to out.bin: the full block, the refused short one, then the
                    // write through the re-opened handle.
                    unaligned_fault_case{"buffered_write", "WriteFile", 3, true, 0}),
    [](const testing::TestParamInfo<unaligned_fault_case>& info) {
        return std::string(info.param.name);
    });

}  // namespace
