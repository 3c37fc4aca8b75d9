// The page has no build step, so app.js keeps its own copy of what it
// shares with dashwick: each copy read from the script and held against
// the server's, and the page's files against panel/assets.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "panel/api.h"
#include "panel/tasks.h"
#include "tests/sandbox.h"

namespace {

const std::string assets = SOURCE_DIR "/panel/assets";

// The value of the script's "const NAME = VALUE;"; "" when there is none.
// (Plain searches: std::regex does not build with the sanitizers' warnings.)
std::string constant(const std::string &script, const std::string &name) {
    const std::string head = "const " + name + " = ";
    size_t start = script.find(head);
    if (start == std::string::npos) return "";
    start += head.size();
    size_t end = script.find(';', start);
    return end == std::string::npos ? "" : script.substr(start, end - start);
}

// The quoted strings of an array literal, in order.
std::vector<std::string> quoted(const std::string &literal) {
    std::vector<std::string> items;
    for (size_t open = literal.find('\''); open != std::string::npos;) {
        size_t close = literal.find('\'', open + 1);
        if (close == std::string::npos) break;
        items.push_back(literal.substr(open + 1, close - open - 1));
        open = literal.find('\'', close + 1);
    }
    return items;
}

template <size_t count>
std::vector<std::string> strings(const std::string_view (&list)[count]) {
    return {std::begin(list), std::end(list)};
}

}  // namespace

TEST(PanelPage, AgreesWithTheServer) {
    const std::string script = sandbox::slurp(assets + "/app.js");
    ASSERT_FALSE(script.empty()) << assets;
    EXPECT_EQ(constant(script, "logLimit"), std::to_string(file_limit));
    EXPECT_EQ(constant(script, "jobLimit"), std::to_string(job_time_limit));
    EXPECT_EQ(quoted(constant(script, "panelServices")), strings(panel_services));
    EXPECT_EQ(quoted(constant(script, "protectedPackages")), strings(protected_packages));

    // Whatever lies in panel/assets is installed: each file one the server
    // routes and serves, and each one it serves there.
    std::set<std::string> served, present;
    for (const page_file &file : page_files) served.emplace(file.name);
    for (const auto &entry : std::filesystem::directory_iterator(assets))
        present.insert(entry.path().filename());
    EXPECT_EQ(present, served);
}
