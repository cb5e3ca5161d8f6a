#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/command_line.h"
#include "console_capture.h"

namespace {

// A program name with a path and a per-cent sign: it must be printed as it is.
#define PROGRAM L"C:\\bin\\tally 100%.exe"

const wchar_t* const expected_usage =
        L":: statistical data restore utility  tally " TALLY_VERSION "\n"
        L"-------------------------------------------------------------------------------\n"
        L":: Helps to restore data from files that cannot be read accurately. For example\n"
        L":: tracks from scratched Audio-CDs may contain random errors. If a track is\n"
        L":: read multiple times and saved to 3 or more files (maximum supported:384), \n"
        L":: then usually the different copies will have different errors. In that case\n"
        L":: it is possible to analyse them and statistically choose the best value\n"
        L":: for each byte.\n"
        L"-------------------------------------------------------------------------------\n"
        L"::usage::\n"
        L"\t" PROGRAM L" <file1> <file2> <file3> [file 4-384] [-o out file] [-a] [-b]\n"
        L"\t[-md2|-md4|-md5|-sha1|-sha256|-sha384|-sha512]\n"
        L"\n"
        L"::example::\n"
        L"\t" PROGRAM L" 1.wav 2.wav 3.wav 4.wav 5.wav 6.wav -o out.wav\n"
        L"\t" PROGRAM L" r:\\01\\1.wav 3.wav 4.wav 5.wav 6.wav -b -sha1\n"
        L"\t" PROGRAM L" *.wav -a -b -sha1 \t:: Wildcards are supported [* ?].\n"
        L"\n"
        L"::If no output file is specified, out.wav is created in the same directory\n"
        L"\tas the first file, or if no slash \"/\" or backslash \"\\\" is found in\n"
        L"\tit's file name, then the current directory is used.\n"
        L"\n"
        L":: By default read buffering is enabled to spead-up reading of files cached\n"
        L"\tin RAM. However when reading many large files that cannot fit in the,\n"
        L"\tRAM, it might be better to disable the read buffering by adding the\n"
        L"\t-b switch. Note: write buffering to the output file is always disabled.\n"
        L"\n"
        L":: Each file requires 2 or 4 MB of RAM for read buffers (1 large page).\n"
        L"\t63 input files + 1 output file will use 128 or 256 MB RAM.\n"
        L"\n"
        L":: CD drives may conceal read errors from Audio-CDs by taking the average value\n"
        L"\tof the previous and next sample, if they don't have errors. If most\n"
        L"\tof the input files have such a corrected sample, it will get most of\n"
        L"\tthe hits and is copied to the output. To avoid this, specify the\n"
        L"\t-a switch. Corrected samples are detected and don't count as hits.\n"
        L"\tIn most cases this may find a better match, but may also introduce\n"
        L"\terrors, so avoid input files with many errors. Use the hit score from a\n"
        L"\tprevious scan to find the input files with least hits and remove them.\n"
        L"\tNote: the -a switch will force 16 bit scanning, instead of 8 bit, so\n"
        L"\tthe samples must be aligned to 16 bits.\n"
        L"\n"
        L":: If the current sample is different in all input files, then the value is\n"
        L"\tcopied from the input with highest total number of hits so far.\n"
        L"\t\n"
        L"\n"
        L"\n";

TEST(usage, prints_the_46_lines_on_the_text_stream) {
    console_capture capture;
    print_usage(PROGRAM);
    EXPECT_EQ(capture.text, expected_usage);
    EXPECT_EQ(std::count(capture.text.begin(), capture.text.end(), L'\n'), 46);
    // No debugger here, so no pause prompt on standard error.
    EXPECT_TRUE(capture.progress.empty());
}

}  // namespace
