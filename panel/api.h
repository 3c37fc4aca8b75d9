// The read-only API and the panel's static files. Each handler answers
// exactly once through respond or message (or not at all where a read of a
// file fails).
#pragma once

#include <cstddef>
#include <string_view>

// Most bytes of a file that one reply carries: an asset is its first this
// many bytes, a log tail or a job's output the last. panel/CMakeLists.txt
// reads the figure from this line; the page's log view keeps a copy.
constexpr size_t file_limit = 65536;

// The panel's page: each file's target and its name in the asset
// directory, one line each, which panel/CMakeLists.txt reads to copy the
// page into the build tree.
struct page_file {
    std::string_view target;
    std::string_view name;
};
constexpr page_file page_files[] = {
    {"/", "index.html"},
    {"/app.js", "app.js"},
    {"/style.css", "style.css"},
};

// The file of the page served at target; null for any other target.
const page_file *page_file_at(std::string_view target);

// GET of a file of the page.
void serve_asset(int client, const page_file &file);
// GET /api/system.
void serve_system(int client);
// GET /api/logs.
void serve_logs(int client);
// GET /api/log?name=NAME; name is the rest of the target.
void serve_log(int client, const char *name);
// GET /api/job?id=N; number is the rest of the target.
void serve_job(int client, const char *number);
