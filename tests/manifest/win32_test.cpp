// The staged manifest held open by another program on Windows: one that may not be written, and
// one that may not even be read.
#include "updater/manifest/staged_tree.h"

#include "support/test_support.h"

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

} // namespace
} // namespace updater::test
