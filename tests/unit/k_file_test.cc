#include "support/k_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "console_capture.h"
#include "scratch_dir.h"

namespace {

constexpr uint32_t wrong_state = 0xFFFFFFFF;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// Occurrences of `part` in `text`.
size_t count_of(const std::wstring& text, const std::wstring& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Every test runs in its own directory as the current directory, and gets the process's
// standard handles and current directory back afterwards, whatever the console names did.
class k_file_test : public ::testing::Test {
protected:
    scratch_dir dir;
    HANDLE saved_std[3] = {};
    std::filesystem::path saved_cwd;

    void SetUp() override {
        saved_std[0] = GetStdHandle(STD_INPUT_HANDLE);
        saved_std[1] = GetStdHandle(STD_OUTPUT_HANDLE);
        saved_std[2] = GetStdHandle(STD_ERROR_HANDLE);
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path);
    }
    void TearDown() override {
        SetStdHandle(STD_INPUT_HANDLE, saved_std[0]);
        SetStdHandle(STD_OUTPUT_HANDLE, saved_std[1]);
        SetStdHandle(STD_ERROR_HANDLE, saved_std[2]);
        std::filesystem::current_path(saved_cwd);
    }

    /// A raw handle on a file of the scratch directory, to stand in for a standard handle.
    HANDLE raw(const std::string& leaf, DWORD access, DWORD disposition) {
        HANDLE h = CreateFileW(dir.name(leaf).c_str(), access, share_all, nullptr, disposition,
                               0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << leaf;
        return h;
    }

    /// Reads everything the handle gives, in small pieces.
    static std::string read_all(K_FILE& f) {
        std::string all;
        char buffer[7];
        uint32_t count = 0;
        while (f.read(buffer, sizeof buffer, &count) && count > 0) all.append(buffer, count);
        return all;
    }
};

TEST_F(k_file_test, construction_leaves_an_empty_closed_handle) {
    K_FILE f;
    EXPECT_EQ(f.handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(f.error, 0u);
    EXPECT_EQ(f.write_error, 0u);
    EXPECT_EQ(f.close(), wrong_state);
    f.release();
    f.release();
    EXPECT_EQ(f.handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(f.is_open);
}

TEST_F(k_file_test, open_and_close_only_in_the_right_state) {
    const std::wstring name = dir.file("a.bin", "xyz");
    K_FILE f;
    ASSERT_EQ(f.open(name.c_str(), GENERIC_READ, OPEN_EXISTING, 0), 0u);
    const HANDLE first = f.handle;
    EXPECT_TRUE(f.is_open);
    EXPECT_NE(first, INVALID_HANDLE_VALUE);

    // A second open, even of another name, changes nothing: the first file is still read.
    const std::wstring other = dir.file("b.bin", "other");
    EXPECT_EQ(f.open(other.c_str(), GENERIC_READ, OPEN_EXISTING, 0), wrong_state);
    EXPECT_TRUE(f.is_open);
    EXPECT_EQ(f.handle, first);
    EXPECT_EQ(read_all(f), "xyz");

    EXPECT_EQ(f.close(), 0u);
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(f.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(f.close(), wrong_state);

    // A closed handle opens again.
    ASSERT_EQ(f.open(other.c_str(), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING), 0u);
    EXPECT_EQ(f.close(), 0u);
}

TEST_F(k_file_test, create_tells_replaced_from_new_and_truncates) {
    const std::wstring name = dir.name("out.wav");
    K_FILE f;
    ASSERT_EQ(f.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    EXPECT_EQ(f.error, 0u);
    EXPECT_EQ(f.write("abcdef", 6), 6u);
    EXPECT_EQ(f.close(), 0u);
    EXPECT_EQ(dir.content("out.wav"), "abcdef");

    ASSERT_EQ(f.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(f.close(), 0u);
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_ALREADY_EXISTS)) << "close keeps the code";
    EXPECT_EQ(dir.content("out.wav"), "");
}

TEST_F(k_file_test, read_and_write_counts_and_failures) {
    const std::wstring name = dir.name("data.bin");
    K_FILE out;
    ASSERT_EQ(out.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    EXPECT_EQ(out.write("hello world", 11), 11u);
    // Reading a handle opened for writing only fails: false, no bytes, the code in `error`.
    char buffer[64];
    uint32_t count = 99;
    EXPECT_FALSE(out.read(buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_NE(out.error, 0u);
    EXPECT_EQ(out.write_error, 0u);
    EXPECT_EQ(out.close(), 0u);

    K_FILE in;
    ASSERT_EQ(in.open(name.c_str(), GENERIC_READ, OPEN_EXISTING, 0), 0u);
    count = 99;
    ASSERT_TRUE(in.read(buffer, sizeof buffer, &count));
    EXPECT_EQ(std::string(buffer, count), "hello world");
    count = 99;
    EXPECT_TRUE(in.read(buffer, sizeof buffer, &count)) << "the end of the file is no failure";
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(in.error, 0u);
    // Writing a handle opened for reading only fails with the all-ones count.
    EXPECT_EQ(in.write("x", 1), 0xFFFFFFFFu);
    EXPECT_NE(in.write_error, 0u);
    EXPECT_EQ(in.error, 0u);
}

TEST_F(k_file_test, failed_open_reports_once_on_the_text_stream) {
    const std::wstring name = dir.name("missing.wav");
    console_capture capture;
    K_FILE f;
    EXPECT_EQ(f.open(name.c_str(), GENERIC_READ, OPEN_EXISTING, 0),
              static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(f.handle, INVALID_HANDLE_VALUE);

    const std::wstring head = L"open(" + name + L")\n   ^ERROR: 2, ";
    ASSERT_EQ(capture.text.compare(0, head.size(), head), 0) << capture.text;
    const std::wstring system_text = capture.text.substr(head.size());
    EXPECT_FALSE(system_text.empty());
    EXPECT_NE(system_text, L"(null)");
    EXPECT_EQ(count_of(capture.text, L"^ERROR"), 1u);
    EXPECT_TRUE(capture.progress.empty());
}

TEST_F(k_file_test, failed_create_in_a_missing_directory_reports_once) {
    const std::wstring name = dir.name("no_such_dir/out.wav");
    console_capture capture;
    K_FILE f;
    const uint32_t result = f.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0);
    EXPECT_NE(result, 0u);
    EXPECT_NE(result, wrong_state);
    EXPECT_EQ(f.error, result);
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(count_of(capture.text, L"^ERROR"), 1u) << capture.text;
    EXPECT_EQ(capture.text.rfind(L"open(" + name + L")\n   ^ERROR: ", 0), 0u) << capture.text;
}

// The report is the user's only clue, so names that do not fit the fixed report line are
// printed whole all the same; 505 characters is the longest that fits.
TEST_F(k_file_test, report_prints_long_names_whole) {
    for (size_t length : {505u, 506u, 700u, 3000u}) {
        const std::wstring name(length, L'n');
        console_capture capture;
        K_FILE f;
        EXPECT_NE(f.open(name.c_str(), GENERIC_READ, OPEN_EXISTING, 0), 0u);
        const std::wstring head = L"open(" + name + L")\n   ^ERROR: ";
        EXPECT_EQ(capture.text.rfind(head, 0), 0u) << "name of " << length;
        EXPECT_EQ(count_of(capture.text, L"^ERROR"), 1u);
    }
}

// A create that the system refuses with another code than "not found" is retried once as an
// open of the existing file; a read-only file refuses both, and only the second is reported.
TEST_F(k_file_test, refused_create_of_read_only_file_reports_once) {
    const std::wstring name = dir.file("ro.wav", "abcdef");
    const auto path = dir.path / "ro.wav";
    std::filesystem::permissions(path, std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_write |
                                           std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    console_capture capture;
    K_FILE f;
    const uint32_t result = f.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0);
    f.close();
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    if (result == 0) GTEST_SKIP() << "this user may write read-only files";
    EXPECT_EQ(result, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(f.error, result);
    EXPECT_EQ(count_of(capture.text, L"^ERROR"), 1u) << capture.text;
    EXPECT_EQ(capture.text.rfind(L"open(" + name + L")\n   ^ERROR: 5, ", 0), 0u) << capture.text;
    EXPECT_EQ(dir.content("ro.wav"), "abcdef");
}

TEST_F(k_file_test, console_names_read_standard_input) {
    for (const wchar_t* name : {L"-", L"con", L"CON"}) {
        dir.file("stdin.bin", "from standard input");
        HANDLE fake_in = raw("stdin.bin", GENERIC_READ, OPEN_EXISTING);
        SetStdHandle(STD_INPUT_HANDLE, fake_in);
        K_FILE f;
        ASSERT_EQ(f.open(name, GENERIC_READ, OPEN_EXISTING, 0), 0u) << name;
        EXPECT_TRUE(f.is_open);
        EXPECT_EQ(f.handle, fake_in) << name;
        EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), fake_in);
        EXPECT_EQ(read_all(f), "from standard input");
        // The standard handle is held like any other: close closes it.
        EXPECT_EQ(f.close(), 0u);
    }
}

TEST_F(k_file_test, console_names_write_standard_output_and_move_it_to_standard_error) {
    int serial = 0;
    for (const wchar_t* name : {L"-", L"con", L"CON"}) {
        const std::string out_leaf = "stdout" + std::to_string(++serial) + ".bin";
        HANDLE fake_out = raw(out_leaf, GENERIC_WRITE, CREATE_ALWAYS);
        HANDLE fake_err = raw("stderr.bin", GENERIC_WRITE, CREATE_ALWAYS);
        SetStdHandle(STD_OUTPUT_HANDLE, fake_out);
        SetStdHandle(STD_ERROR_HANDLE, fake_err);
        console_capture capture;
        K_FILE f;
        ASSERT_EQ(f.open(name, GENERIC_WRITE, CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING), 0u) << name;
        EXPECT_EQ(f.handle, fake_out) << name;
        EXPECT_EQ(f.error, 0u);
        EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), fake_err) << name;
        // The program's own text follows standard output to standard error.
        out_printf(L"text");
        EXPECT_EQ(capture.progress, L"text");
        EXPECT_TRUE(capture.text.empty());
        EXPECT_EQ(f.write("data", 4), 4u);
        EXPECT_EQ(f.close(), 0u);
        CloseHandle(fake_err);
        EXPECT_EQ(dir.content(out_leaf), "data");
        SetStdHandle(STD_OUTPUT_HANDLE, saved_std[1]);
        SetStdHandle(STD_ERROR_HANDLE, saved_std[2]);
    }
    // Nothing was created under the console names themselves.
    std::vector<std::string> leaves;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        leaves.push_back(entry.path().filename().string());
    EXPECT_EQ(leaves.size(), 4u);
}

// Only the exact names are aliases; these go to the file system like any other name.
TEST_F(k_file_test, names_like_console_names_are_not_aliased) {
    dir.file("stdin.bin", "from standard input");
    HANDLE fake_in = raw("stdin.bin", GENERIC_READ, OPEN_EXISTING);
    SetStdHandle(STD_INPUT_HANDLE, fake_in);
    const std::wstring dash_x = dir.file("-x", "dash x");
    const std::wstring dashes = dir.file("--", "two dashes");
    struct alias_case {
        const wchar_t* name;
        const char* content;  // null where the name is no portable file name
    };
    const alias_case cases[] = {{L"-x", "dash x"}, {L"--", "two dashes"}, {L"Con", nullptr},
                                {L"cON", nullptr}, {L"con ", nullptr}};
    for (const alias_case& c : cases) {
        console_capture capture;
        K_FILE f;
        f.open(c.name, GENERIC_READ, OPEN_EXISTING, 0);
        EXPECT_NE(f.handle, fake_in) << c.name;
        if (c.content != nullptr) {
            EXPECT_TRUE(f.is_open) << c.name;
            EXPECT_EQ(read_all(f), c.content);
        }
    }
    EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), fake_in);
    CloseHandle(fake_in);
}

}  // namespace
