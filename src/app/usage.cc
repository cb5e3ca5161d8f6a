// The usage text: what the tool is for, its syntax, examples and notes, one line per call.
#include <windows.h>

#include "app/command_line.h"
#include "support/console.h"

namespace {

/// The rule under the title and under the description (79 hyphens).
const wchar_t* const hyphen_line =
    L"-------------------------------------------------------------------------------\n";
const wchar_t* const default_output = L"out.wav";
const unsigned max_input_count = static_cast<unsigned>(max_inputs);

}  // namespace

void print_usage(const wchar_t* program) {
    out_printf(L":: statistical data restore utility  tally " TALLY_VERSION "\n");
    out_printf(L"%ls", hyphen_line);
    out_printf(L":: Helps to restore data from files that cannot be read accurately. For example\n");
    out_printf(L":: tracks from scratched Audio-CDs may contain random errors. If a track is\n");
    out_printf(L":: read multiple times and saved to 3 or more files (maximum supported:%u), \n", max_input_count);
    out_printf(L":: then usually the different copies will have different errors. In that case\n");
    out_printf(L":: it is possible to analyse them and statistically choose the best value\n");
    out_printf(L":: for each byte.\n");
    out_printf(L"%ls", hyphen_line);
    out_printf(L"::usage::\n");
    out_printf(L"\t%ls <file1> <file2> <file3> [file 4-%u] [-o out file] [-a] [-b]\n", program, max_input_count);
    out_printf(L"\t[-md2|-md4|-md5|-sha1|-sha256|-sha384|-sha512]\n");
    out_printf(L"\n");
    out_printf(L"::example::\n");
    out_printf(L"\t%ls 1.wav 2.wav 3.wav 4.wav 5.wav 6.wav -o %ls\n", program, default_output);
    out_printf(L"\t%ls r:\\01\\1.wav 3.wav 4.wav 5.wav 6.wav -b -sha1\n", program);
    out_printf(L"\t%ls *.wav -a -b -sha1 \t:: Wildcards are supported [* ?].\n", program);
    out_printf(L"\n");
    out_printf(L"::If no output file is specified, %ls is created in the same directory\n", default_output);
    out_printf(L"\tas the first file, or if no slash \"/\" or backslash \"\\\" is found in\n");
    out_printf(L"\tit's file name, then the current directory is used.\n");
    out_printf(L"\n");
    out_printf(L":: By default read buffering is enabled to spead-up reading of files cached\n");
    out_printf(L"\tin RAM. However when reading many large files that cannot fit in the,\n");
    out_printf(L"\tRAM, it might be better to disable the read buffering by adding the\n");
    out_printf(L"\t-b switch. Note: write buffering to the output file is always disabled.\n");
    out_printf(L"\n");
    out_printf(L":: Each file requires 2 or 4 MB of RAM for read buffers (1 large page).\n");
    out_printf(L"\t63 input files + 1 output file will use 128 or 256 MB RAM.\n");
    out_printf(L"\n");
    out_printf(L":: CD drives may conceal read errors from Audio-CDs by taking the average value\n");
    out_printf(L"\tof the previous and next sample, if they don't have errors. If most\n");
    out_printf(L"\tof the input files have such a corrected sample, it will get most of\n");
    out_printf(L"\tthe hits and is copied to the output. To avoid this, specify the\n");
    out_printf(L"\t-a switch. Corrected samples are detected and don't count as hits.\n");
    out_printf(L"\tIn most cases this may find a better match, but may also introduce\n");
    out_printf(L"\terrors, so avoid input files with many errors. Use the hit score from a\n");
    out_printf(L"\tprevious scan to find the input files with least hits and remove them.\n");
    out_printf(L"\tNote: the -a switch will force 16 bit scanning, instead of 8 bit, so\n");
    out_printf(L"\tthe samples must be aligned to 16 bits.\n");
    out_printf(L"\n");
    out_printf(L":: If the current sample is different in all input files, then the value is\n");
    out_printf(L"\tcopied from the input with highest total number of hits so far.\n");
    out_printf(L"\t\n");
    out_printf(L"\n");
    out_printf(L"\n");
    if (IsDebuggerPresent()) {
        // Keeps the console window of a debugged run open until the text is read.
        err_printf(L"\r\n[finished] Press ENTER to exit . . .");
        console_read_char();
    }
}
