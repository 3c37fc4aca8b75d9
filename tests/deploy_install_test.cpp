// `cmake --install` into a staging directory holds every file the guest
// needs, and the manual pages render without a warning.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "tests/sandbox.h"

namespace {

std::vector<std::string> files_in(const std::string &directory) {
    std::vector<std::string> names;
    if (DIR *d = opendir(directory.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

class install_test : public ::testing::Test {
protected:
    static inline sandbox::temp_dir *stage = nullptr;
    static inline sandbox::result installed;

    static void SetUpTestSuite() {
        stage = new sandbox::temp_dir;
        sandbox::box box;
        sandbox::options o;
        o.args = {CMAKE_COMMAND, "--install", BINARY_DIR, "--prefix", "/usr"};
        o.env = {"DESTDIR=" + stage->path};
        o.timeout_ms = 60000;
        installed = box.run(o);
    }
    static void TearDownTestSuite() {
        delete stage;
        stage = nullptr;
    }
};

TEST_F(install_test, stages_every_file) {
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    struct expected {
        std::string path;     // below the staging directory
        unsigned mode;
        std::string source;   // identical copy of this file, when given
    };
    std::vector<expected> files = {
        {"/usr/sbin/seedcfg", 0755, ""},
        {"/usr/sbin/dashwick", 0755, ""},
        {"/usr/sbin/logrun", 0755, ""},
        {"/usr/share/man/man8/seedcfg.8", 0644, SOURCE_DIR "/deploy/man/seedcfg.8"},
        {"/usr/share/man/man8/dashwick.8", 0644, SOURCE_DIR "/deploy/man/dashwick.8"},
        {"/usr/share/doc/dashwick/nginx/dashwick.conf", 0644,
         SOURCE_DIR "/deploy/nginx/dashwick.conf"},
    };
    // The page: whatever panel/assets holds, where dashwick reads it.
    for (const auto &name : files_in(SOURCE_DIR "/panel/assets"))
        files.push_back({"/usr/share/dashwick/" + name, 0644, SOURCE_DIR "/panel/assets/" + name});
    for (const auto &f : files) {
        SCOPED_TRACE(f.path);
        std::string staged = stage->path + f.path;
        ASSERT_TRUE(sandbox::exists(staged));
        EXPECT_EQ(sandbox::mode_of(staged) & 0777, f.mode);
        if (!f.source.empty()) {
            EXPECT_EQ(sandbox::slurp(staged), sandbox::slurp(f.source));
        }
    }
    // The programs run from where they were put.
    sandbox::box box;
    sandbox::options help;
    help.args = {stage->path + "/usr/sbin/dashwick", "--help"};
    help.timeout_ms = 10000;
    sandbox::result r = box.run(help);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: dashwick [--port PORT]\n", 0), 0u) << r.out;
}

TEST_F(install_test, manual_pages_render_without_warnings) {
    ASSERT_EQ(installed.status, 0) << installed.err;
    struct page {
        const char *file;
        std::vector<std::string> sections;
    } pages[] = {
        {"seedcfg.8", {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES", "EXIT STATUS",
                       "DIAGNOSTICS", "ENVIRONMENT", "EXAMPLES", "--config-only", "--source",
                       "--metadata-url", "--output", "--keys-file", "--test-mac"}},
        {"dashwick.8", {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "THE PROXY IN FRONT", "FILES",
                        "EXIT STATUS", "DIAGNOSTICS", "ENVIRONMENT", "EXAMPLES", "--port", "--help",
                        "X-Dashwick-Token", "/usr/share/doc/dashwick/nginx/dashwick.conf"}},
    };
    for (const auto &p : pages) {
        SCOPED_TRACE(p.file);
        sandbox::box box;
        sandbox::options o;
        o.args = {"/usr/bin/man", "--warnings", "-l", stage->path + "/usr/share/man/man8/" + p.file};
        o.env = {"MANWIDTH=80", "MANPAGER=cat", "PAGER=cat", "LANG=C.UTF-8"};
        o.timeout_ms = 30000;
        sandbox::result r = box.run(o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        for (const auto &s : p.sections) EXPECT_NE(r.out.find(s), std::string::npos) << s;
    }
}

}  // namespace
