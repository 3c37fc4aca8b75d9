// The agent's shared file and text utilities.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "tests/sandbox.h"

using sandbox::slurp;
using sandbox::spit;

namespace {

// While set, each fsync of the process: the path its descriptor names and
// the watched file's content at that instant.
std::string watched;
std::vector<std::string> syncs;

}  // namespace

extern "C" int fsync(int fd) {
    if (!watched.empty())
        syncs.push_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string() +
                        " " + slurp(watched));
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

std::string read_text(const std::string &path) {
    char *got = read_file(path.c_str());
    if (!got) return "<null>";
    std::string s = got;
    free(got);
    return s;
}

TEST(ReadFile, LimitIsExactAndContentUnchanged) {
    sandbox::temp_dir dir;
    spit(dir / "exact", std::string(document_limit, 'a'));
    spit(dir / "over", std::string(document_limit + 1, 'a'));
    spit(dir / "crlf", "a\r\nb\r\n");
    spit(dir / "empty", "");
    EXPECT_EQ(read_text(dir / "exact").size(), document_limit);
    EXPECT_EQ(read_text(dir / "over"), "<null>");
    EXPECT_EQ(read_text(dir / "crlf"), "a\r\nb\r\n");
    EXPECT_EQ(read_text(dir / "empty"), "");
    EXPECT_EQ(read_text(dir / "missing"), "<null>");
    EXPECT_EQ(read_text(dir.path), "<null>");  // a directory reads as an error
}

TEST(ConfigFile, WalksTheVersionsInOrder) {
    sandbox::temp_dir dir;
    sandbox::make_dirs(dir / "openstack/2017-02-22");
    sandbox::make_dirs(dir / "openstack/2012-08-10");
    sandbox::make_dirs(dir / "openstack/latest");
    spit(dir / "openstack/2017-02-22/doc", "old");
    spit(dir / "openstack/2012-08-10/doc", "older");
    char *got = config_file(dir.path.c_str(), "doc");
    ASSERT_TRUE(got);
    EXPECT_STREQ(got, "old");
    free(got);

    // An oversized copy is passed over for the next version; an empty one counts.
    spit(dir / "openstack/latest/doc", std::string(document_limit + 1, 'x'));
    got = config_file(dir.path.c_str(), "doc");
    ASSERT_TRUE(got);
    EXPECT_STREQ(got, "old");
    free(got);
    spit(dir / "openstack/latest/doc", "");
    got = config_file(dir.path.c_str(), "doc");
    ASSERT_TRUE(got);
    EXPECT_STREQ(got, "");
    free(got);
    EXPECT_EQ(config_file(dir.path.c_str(), "absent"), nullptr);
}

TEST(WriteFile, ReplacesWholeFileWithMode0600) {
    sandbox::temp_dir dir;
    std::string path = dir / "settings.ini";
    spit(path, "a much longer previous content\n", 0644);
    ASSERT_EQ(write_file(path.c_str(), "new\n"), 0);
    EXPECT_EQ(slurp(path), "new\n");
    EXPECT_EQ(sandbox::mode_of(path), 0600u);
    ASSERT_EQ(write_file(path.c_str(), ""), 0);
    EXPECT_EQ(slurp(path), "");
    EXPECT_EQ(sandbox::mode_of(path), 0600u);
    // Nothing but the target is left in the directory.
    int entries = 0;
    for (auto &e : std::filesystem::directory_iterator(dir.path)) entries += e.is_regular_file();
    EXPECT_EQ(entries, 1);
}

TEST(WriteFile, FollowsASymbolicLink) {
    sandbox::temp_dir dir;
    sandbox::make_dirs(dir / "persist");
    spit(dir / "persist/authorized_keys", "old\n", 0644);
    ASSERT_EQ(symlink((dir / "persist/authorized_keys").c_str(), (dir / "authorized_keys").c_str()), 0);
    watched = dir / "persist/authorized_keys";
    ASSERT_EQ(write_file((dir / "authorized_keys").c_str(), "new\n"), 0);
    watched.clear();
    // The data before the rename, the directory that holds the file after it.
    ASSERT_EQ(syncs.size(), 2u);
    EXPECT_EQ(syncs[0].rfind(dir / "persist/authorized_keys.", 0), 0u) << syncs[0];
    EXPECT_TRUE(syncs[0].ends_with(" old\n")) << syncs[0];
    EXPECT_EQ(syncs[1], dir / "persist" + " new\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "authorized_keys"));
    EXPECT_EQ(slurp(dir / "persist/authorized_keys"), "new\n");
    EXPECT_EQ(sandbox::mode_of(dir / "persist/authorized_keys"), 0600u);
    // A dangling link is replaced by the file itself.
    ASSERT_EQ(symlink((dir / "nowhere/file").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(write_file((dir / "dangling").c_str(), "x"), 0);
    EXPECT_EQ(slurp(dir / "dangling"), "x");
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "dangling"));
}

TEST(WriteFile, FailureLeavesPreviousFileAndNoTemporary) {
    sandbox::temp_dir dir;
    // A directory in the target's place: the rename fails after the data
    // was written, the temporary file must go.
    sandbox::make_dirs(dir / "target");
    EXPECT_EQ(write_file((dir / "target").c_str(), "text"), -1);
    int entries = 0;
    for (auto &e : std::filesystem::directory_iterator(dir.path)) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(write_file((dir / "no/such/dir/file").c_str(), "text"), -1);
}

TEST(Append, KeepsRoomForTheTerminator) {
    failed = 0;
    char buffer[8] = {};
    EXPECT_EQ(append(buffer, sizeof buffer, "abc"), 0);
    EXPECT_EQ(append(buffer, sizeof buffer, "defg"), 0);  // 7 bytes of content
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(append(buffer, sizeof buffer, "h"), -1);
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_EQ(failed, 1);
    failed = 0;
}

TEST(Trim, WhitespaceAndOnePairOfQuotes) {
    auto t = [](const char *in) {
        std::string copy = in;
        return std::string(trim(copy.data()));
    };
    EXPECT_EQ(t(" \t\r\n\v\f value \r\n"), "value");
    EXPECT_EQ(t("\"quoted\""), "quoted");
    EXPECT_EQ(t("'single'"), "single");
    EXPECT_EQ(t("  \" inner space \"  "), " inner space ");
    EXPECT_EQ(t("\"\"x\"\""), "\"x\"");  // only one pair goes
    EXPECT_EQ(t("\"mixed'"), "\"mixed'");
    EXPECT_EQ(t("\""), "\"");
    EXPECT_EQ(t("\"\""), "");
    EXPECT_EQ(t("   "), "");
}

TEST(Simple, RejectsTheSettingsFileMetacharacters) {
    EXPECT_EQ(simple("node-1"), 1);
    EXPECT_EQ(simple("a b.c_d"), 1);
    EXPECT_EQ(simple(""), 0);
    for (const char *bad : {"a\rb", "a\nb", "[a", "a]", "a=b", "a;b"}) EXPECT_EQ(simple(bad), 0) << bad;
    // A host name also holds no control character, in UTF-8 neither.
    EXPECT_EQ(usable_host_name("caf\xc3\xa9-\xc2\xa0"), 1);
    for (const char *bad : {"a\vb", "a\fb", "a\tb", "a\x7f", "a\xc2\x80", "a\xc2\x9f" "b", "a=b", ""})
        EXPECT_EQ(usable_host_name(bad), 0) << bad;
}

}  // namespace
