// The staged manifest held open by another program on Windows: one that may not be written, and
// one that may not even be read; and manifests whose open answers "not found" while they are there.
#include "updater/manifest/obsolete.h"
#include "updater/manifest/staged_tree.h"

#include "support/test_support.h"
#include "support/win32_call_override.h"

#include <windows.h>

namespace updater::test {
namespace {

class held_file {
public:
    held_file(const path_string& path, DWORD share)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr))
    {
    }
    held_file(const held_file&) = delete;
    held_file& operator=(const held_file&) = delete;
    ~held_file()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

class held_manifest : public temp_dir_test {
protected:
    const manifest_set scanned{P("a"), P("sub/b")};
};

TEST_F(held_manifest, that_may_not_be_written_fails_the_manifest_with_io_error)
{
    // Without usable entries, so it must be replaced; readers are welcome, writers are not.
    write_tree(at("staging"), {{"install-manifest.txt", "\r\n"}});
    manifest_set staged = scanned;
    error_code ec;
    {
        held_file held(native("staging/install-manifest.txt"), FILE_SHARE_READ);
        ASSERT_TRUE(held) << GetLastError();
        prepare_new_manifest(native("staging"), staged, ec);
    }
    EXPECT_EC(ec, generic_error(generic_io_error));
    EXPECT_EQ(read_file(at("staging/install-manifest.txt")), "\r\n");
    EXPECT_EQ(staged, scanned);
}

TEST_F(held_manifest, that_may_not_be_read_is_no_missing_manifest)
{
    write_tree(at("staging"), {{"install-manifest.txt", "a\n"}});
    held_file held(native("staging/install-manifest.txt"), 0);
    ASSERT_TRUE(held) << GetLastError();

    error_code ec;
    EXPECT_TRUE(read_manifest(native("staging"), ec).empty());
    EXPECT_EC(ec, system_error(ERROR_SHARING_VIOLATION));

    manifest_set staged = scanned;
    prepare_new_manifest(native("staging"), staged, ec);
    EXPECT_EC(ec, generic_error(generic_io_error));
    EXPECT_EQ(staged, scanned);
}

// The open of a manifest that is there answers "path not found" once. On Windows a scanner that
// moves the file aside and back, or a redirector that reconnects, gives 2 or 3 for a moment, and a
// share that went away gives 53 or 64 (the system error codes' documentation); the fault sweep
// under Wine found what such an answer did here.
// The listing of the folder shows the manifest, so it is no missing one: believed, the staged
// manifest would be replaced by one written from the scan, which retires what the update keeps
// without staging it, and the installed one would retire nothing.
TEST_F(held_manifest, whose_open_answers_not_found_while_it_is_listed_is_no_missing_manifest)
{
    write_tree(at("staging"), {{"install-manifest.txt", "app.exe\na\n"}, {"a", "new"}});
    write_tree(at("install"), {{"install-manifest.txt", "app.exe\nold.txt\n"}, {"old.txt", "old"}});
    static int opens;
    const auto missing_once = [](LPCWSTR path, DWORD access, DWORD share, DWORD disposition,
                                 LPCREATEFILE2_EXTENDED_PARAMETERS parameters) -> HANDLE {
        if (opens++ == 0) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return CreateFile2(path, access, share, disposition, parameters);
    };

    opens = 0;
    manifest_set staged = scanned;
    error_code ec;
    {
        call_override once(&os_calls::win32_call_table::create_file2, missing_once);
        prepare_new_manifest(native("staging"), staged, ec);
    }
    EXPECT_EC(ec, generic_error(generic_io_error));
    EXPECT_EQ(read_file(at("staging/install-manifest.txt")), "app.exe\na\n");
    EXPECT_EQ(staged, scanned);

    opens = 0;
    {
        call_override once(&os_calls::win32_call_table::create_file2, missing_once);
        list_obsolete_files(native("install"), {P("app.exe"), P("a")}, ec);
    }
    EXPECT_EC(ec, system_error(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(opens, 1);

    // A manifest that the listing does not show either is a missing one.
    std::filesystem::remove(at("install/install-manifest.txt"));
    opens = 0;
    {
        call_override once(&os_calls::win32_call_table::create_file2, missing_once);
        EXPECT_TRUE(list_obsolete_files(native("install"), {P("a")}, ec).obsolete_files.empty());
    }
    EXPECT_FALSE(ec) << ec.message();
}

} // namespace
} // namespace updater::test
