// Runs the agent's JSON reader over the shared conformance corpus
// (testdata/jsontestsuite): every file must have the outcome that expected.tsv
// names for it, and every file must be listed there exactly once. The reader is
// given what the agent gives it: the file's text up to its first NUL byte.
#include "agent/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "tests/sandbox.h"

using sandbox::slurp;

namespace {

namespace fs = std::filesystem;

const fs::path suite_dir = fs::path(SHARED_DIR) / "testdata" / "jsontestsuite";

TEST(JsonConformance, EveryFileHasTheListedOutcome) {
    // The suite lives beside the project's own tree; a clone made elsewhere
    // has none to read.
    if (!fs::is_directory(suite_dir / "test_parsing"))
        GTEST_SKIP() << "no conformance suite at " << (suite_dir / "test_parsing").string();
    std::set<std::string> files, listed;
    for (const auto &entry : fs::directory_iterator(suite_dir / "test_parsing"))
        files.insert(entry.path().filename().string());
    ASSERT_FALSE(files.empty());

    auto doc = std::make_unique<json_doc>();
    std::istringstream lines(slurp(suite_dir / "expected.tsv"));
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        // file, accept or reject, reason; "valid (N tokens)" gives the count.
        size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        ASSERT_NE(tab2, std::string::npos) << "expected.tsv:" << number;
        std::string file = line.substr(0, tab1), outcome = line.substr(tab1 + 1, tab2 - tab1 - 1);
        std::string reason = line.substr(tab2 + 1);
        ASSERT_TRUE(outcome == "accept" || outcome == "reject") << "expected.tsv:" << number;
        EXPECT_TRUE(listed.insert(file).second) << file << " is listed twice";
        if (!files.count(file)) {
            ADD_FAILURE() << file << " (expected.tsv:" << number << ") is not in the corpus";
            continue;
        }
        std::string content = slurp(suite_dir / "test_parsing" / file);
        int rc = json_parse(doc.get(), content.c_str(), std::strlen(content.c_str()));
        EXPECT_EQ(rc, outcome == "accept" ? 0 : -1) << file << ": " << reason;
        int tokens = -1;
        if (rc == 0 && std::sscanf(reason.c_str(), "valid (%d token", &tokens) == 1) {
            EXPECT_EQ(doc->count, tokens) << file;
        }
    }
    for (const std::string &file : files)
        EXPECT_TRUE(listed.count(file)) << file << " is in the corpus but not in expected.tsv";
}

}  // namespace
