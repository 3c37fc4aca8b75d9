// Runs the agent's JSON reader over the shared conformance corpus
// (testdata/jsontestsuite) and checks every file against the outcome that
// expected.tsv names for it. The reader is given what the agent gives it: the
// file's text up to its first NUL byte.
#include "agent/json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path suite_dir = fs::path(SHARED_DIR) / "testdata" / "jsontestsuite";
const fs::path corpus_dir = suite_dir / "test_parsing";

struct expectation {
    std::string file;
    bool accept;
    std::string reason;
    int line;
};

std::string read_whole(const fs::path &path, bool *ok) {
    std::ifstream in(path, std::ios::binary);
    *ok = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of expected.tsv; a malformed line fails the calling test.
std::vector<expectation> load_expectations() {
    bool ok = false;
    std::string tsv = read_whole(suite_dir / "expected.tsv", &ok);
    EXPECT_TRUE(ok) << "cannot read " << (suite_dir / "expected.tsv");
    std::vector<expectation> rows;
    std::istringstream lines(tsv);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        number++;
        size_t tab1 = line.find('\t');
        size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string::npos) {
            ADD_FAILURE() << "expected.tsv:" << number << ": not three tab-separated fields";
            continue;
        }
        std::string outcome = line.substr(tab1 + 1, tab2 - tab1 - 1);
        if (outcome != "accept" && outcome != "reject") {
            ADD_FAILURE() << "expected.tsv:" << number << ": outcome '" << outcome << "'";
            continue;
        }
        rows.push_back({line.substr(0, tab1), outcome == "accept", line.substr(tab2 + 1), number});
    }
    return rows;
}

std::set<std::string> corpus_files() {
    std::set<std::string> names;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(corpus_dir, error))
        names.insert(entry.path().filename().string());
    EXPECT_FALSE(error) << "cannot list " << corpus_dir << ": " << error.message();
    return names;
}

// "valid (N tokens)": the token count a valid file parses to, else -1.
int expected_tokens(const std::string &reason) {
    int tokens = -1;
    char tail[8] = {};
    if (std::sscanf(reason.c_str(), "valid (%d token%7s", &tokens, tail) == 2 &&
        (std::strcmp(tail, ")") == 0 || std::strcmp(tail, "s)") == 0))
        return tokens;
    return -1;
}

TEST(JsonConformance, ListNamesEachFileOnce) {
    std::map<std::string, int> seen;
    for (const expectation &row : load_expectations()) {
        auto [at, fresh] = seen.emplace(row.file, row.line);
        EXPECT_TRUE(fresh) << row.file << " is listed on lines " << at->second << " and " << row.line;
    }
    EXPECT_FALSE(seen.empty());
}

TEST(JsonConformance, EveryListedFileExists) {
    std::set<std::string> files = corpus_files();
    for (const expectation &row : load_expectations())
        EXPECT_TRUE(files.count(row.file)) << row.file << " (expected.tsv:" << row.line
                                           << ") is missing from " << corpus_dir;
}

TEST(JsonConformance, EveryFileIsListed) {
    std::set<std::string> listed;
    for (const expectation &row : load_expectations())
        listed.insert(row.file);
    std::set<std::string> files = corpus_files();
    EXPECT_FALSE(files.empty());
    for (const std::string &file : files)
        EXPECT_TRUE(listed.count(file)) << file << " is in the corpus but not in expected.tsv";
}

TEST(JsonConformance, EveryFileHasTheListedOutcome) {
    auto doc = std::make_unique<json_doc>();
    int checked = 0;
    for (const expectation &row : load_expectations()) {
        bool ok = false;
        std::string content = read_whole(corpus_dir / row.file, &ok);
        if (!ok)
            continue;  // reported by EveryListedFileExists
        // As the agent does: the C string length, so a NUL byte ends the text.
        const char *text = content.c_str();
        int rc = json_parse(doc.get(), text, std::strlen(text));
        EXPECT_EQ(rc, row.accept ? 0 : -1)
            << row.file << ": expected " << (row.accept ? "accept" : "reject") << " (" << row.reason
            << ")";
        int tokens = expected_tokens(row.reason);
        if (rc == 0 && tokens >= 0) {
            EXPECT_EQ(doc->count, tokens) << row.file;
        }
        checked++;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
