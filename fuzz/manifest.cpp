// The manifest reader and writer on arbitrary bytes:
// - reading gives exactly what a reference reader gives: the lines (LF-ended, one trailing CR
//   removed) that are not empty, hold no NUL, are not rooted and have no "." or ".." element, each
//   kept in the form first read, ordered and told apart as manifest paths are; so no member is
//   rooted or has a dot element;
// - writing that set and reading it back gives the same set in generic form ("/" between elements),
//   except the members the writer cannot represent: on POSIX those ending in a CR (read from a line
//   that ended in two), which it leaves out;
// - writing an arbitrary set (the input cut at NUL bytes) writes one line per member that can be
//   represented (no LF, no final CR), in set order, and reading that back gives those of them that
//   are usable entries.
#include "updater/manifest/manifest.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using updater::path_string;
using updater::path_view;

static_assert(!updater::windows_path_rules, "narrow text is the file name itself on POSIX only");

std::filesystem::path work_dir;
path_string input_dir;  // holds the manifest read
path_string output_dir; // holds the manifest written and read back

[[noreturn]] void fail(const char* what, std::string_view detail = {})
{
    std::fprintf(stderr, "violated: %s\n  %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void write_bytes(const path_string& file, std::string_view bytes)
{
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0)
        fail("the test could not write its input", file);
}

std::string read_bytes(const path_string& file)
{
    std::string bytes;
    std::FILE* in = std::fopen(file.c_str(), "rb");
    if (!in)
        fail("the manifest written is missing", file);
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        bytes.append(buffer, got);
    std::fclose(in);
    return bytes;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool usable_entry(std::string_view line)
{
    if (line.empty() || line.find('\0') != std::string_view::npos)
        return false;
    const bool letter = (line[0] >= 'A' && line[0] <= 'Z') || (line[0] >= 'a' && line[0] <= 'z');
    if (is_separator(line[0]) || (line.size() >= 2 && letter && line[1] == ':'))
        return false;
    std::string element;
    for (std::size_t at = 0; at <= line.size(); ++at) {
        if (at < line.size() && !is_separator(line[at])) {
            element += line[at];
            continue;
        }
        if (element == "." || element == "..")
            return false;
        element.clear();
    }
    return true;
}

// Orders and identifies manifest paths: runs of either separator become one byte 0, which sorts
// below every other byte, and std::string compares bytes unsigned with a prefix first.
std::string order_key(std::string_view path)
{
    std::string key;
    for (std::size_t at = 0; at < path.size(); ++at) {
        if (!is_separator(path[at]))
            key += path[at];
        else if (at == 0 || !is_separator(path[at - 1]))
            key += '\0';
    }
    return key;
}

using reference_set = std::map<std::string, std::string>; // order key to the form first inserted

reference_set reference_read(std::string_view bytes)
{
    reference_set entries;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find('\n', at);
        std::string_view line = bytes.substr(at, end == std::string_view::npos ? bytes.size() - at : end - at);
        at = end == std::string_view::npos ? bytes.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (usable_entry(line))
            entries.emplace(order_key(line), std::string(line));
    }
    return entries;
}

void expect_same(const updater::manifest_set& got, const reference_set& expected, const char* what)
{
    if (got.size() != expected.size())
        fail(what, "a different number of members");
    auto e = expected.begin();
    for (const path_string& member : got) {
        if (member != e->second)
            fail(what, member);
        ++e;
    }
}

std::string generic_form(std::string_view path)
{
    std::string generic(path);
    std::replace(generic.begin(), generic.end(), '\\', '/');
    return generic;
}

bool writer_represents(std::string_view entry)
{
    return entry.find('\n') == std::string_view::npos && (entry.empty() || entry.back() != '\r');
}

// Writes entries and checks the file and what reading it back gives.
void round_trip(const updater::manifest_set& entries, const char* what)
{
    const path_string file = updater::join_path(output_dir, updater::manifest_name());
    updater::error_code ec;
    updater::write_manifest(file, entries, ec);
    if (ec)
        fail("writing a manifest to a fresh file fails", ec.message());

    std::string expected_bytes;
    reference_set expected;
    for (const path_string& member : entries) {
        if (!writer_represents(member))
            continue;
        const std::string line = generic_form(member);
        expected_bytes += line + '\n';
        if (usable_entry(line))
            expected.emplace(order_key(line), line);
    }
    if (read_bytes(file) != expected_bytes)
        fail(what, "the written lines are not the representable members in set order");
    expect_same(updater::read_manifest(output_dir), expected, what);
}

void remove_work_dir() { std::filesystem::remove_all(work_dir); }

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A RAM file system when there is one: the manifest is written and read on every input.
    std::string pattern =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    pattern += "/qm-fuzz-manifest-XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("no temporary folder", pattern);
    work_dir = pattern;
    std::filesystem::create_directory(work_dir / "in");
    std::filesystem::create_directory(work_dir / "out");
    input_dir = (work_dir / "in").native();
    output_dir = (work_dir / "out").native();
    std::atexit(remove_work_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    write_bytes(updater::join_path(input_dir, updater::manifest_name()), bytes);
    updater::error_code ec;
    const updater::manifest_set read = updater::read_manifest(input_dir, ec);
    if (ec)
        fail("a readable manifest is reported as unreadable", ec.message());
    expect_same(read, reference_read(bytes), "reading gives the reference reader's set");
    round_trip(read, "a set read, written and read again is the same set in generic form");

    updater::manifest_set arbitrary;
    for (std::size_t at = 0; at <= bytes.size();) {
        std::size_t end = std::min(bytes.find('\0', at), bytes.size());
        arbitrary.emplace(bytes.substr(at, end - at));
        at = end + 1;
    }
    round_trip(arbitrary, "an arbitrary set written and read gives its representable, usable members");
    return 0;
}
