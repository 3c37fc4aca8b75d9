// The service log: the terminal-sequence filter in process, and the capture
// as the programs run it, each inside private namespaces with a scratch
// directory bound over /var/log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/copy.h"
#include "platform/descriptors.h"
#include "servicelog/servicelog.h"
#include "tests/http_server.h"
#include "tests/panel_sandbox.h"
#include "tests/sandbox.h"

using sandbox::exists;
using sandbox::slurp;

namespace {

constexpr size_t cap = service_log_cap;

// ---------------------------------------------------------------- filter

std::string filtered(std::string text, filter_state *state) {
    size_t length = text.size(), room = length + (*state == filter_c1_lead);
    text.resize(length + 1);  // a C2 held back from the previous call may come first
    size_t kept = filter_terminal(text.data(), length, state);
    EXPECT_LE(kept, room);
    text.resize(kept);
    return text;
}

// One row per rule of the filter: every sample byte, fed alone in the
// given state, is kept or dropped and leads to the next state.
TEST(TerminalFilter, EveryStateAndByteClass) {
    const std::string any_control("\x00\x01\x07\x08\x1f\x7f", 6);  // CR: a line feed
    const struct {
        filter_state from;
        std::string bytes;
        bool kept;
        filter_state to;
    } rows[] = {
        {filter_text, "\x1b", false, filter_escape},
        {filter_text, "\t\n", true, filter_text},
        {filter_text, any_control, false, filter_text},
        {filter_text, " a~\x80\xc3\xff", true, filter_text},
        {filter_escape, "[", false, filter_control_sequence},
        {filter_escape, "]", false, filter_command_string},
        {filter_escape, "PX^_", false, filter_control_string},
        {filter_escape, " !/", false, filter_intermediate},
        {filter_escape, std::string("\x00\x1b\x1f" "0c~\x7f\xff", 8), false, filter_text},
        {filter_control_sequence, "@m~", false, filter_text},
        {filter_control_sequence, "\x1b", false, filter_escape},
        {filter_control_sequence, "0;? \x07\x7f\x80", false, filter_control_sequence},
        {filter_intermediate, "0B~", false, filter_text},
        {filter_intermediate, "\x1b", false, filter_escape},
        {filter_intermediate, " /\x07\x7f", false, filter_intermediate},
        {filter_command_string, "\x07", false, filter_text},
        {filter_command_string, "\x1b", false, filter_command_escape},
        {filter_command_string, "a\\\x9c", false, filter_command_string},
        {filter_command_escape, "\\\x07", false, filter_text},
        {filter_command_escape, "a\x1b", false, filter_command_string},
        {filter_control_string, "\x1b", false, filter_string_escape},
        {filter_control_string, "\x07\\a", false, filter_control_string},
        {filter_string_escape, "\\", false, filter_text},
        {filter_string_escape, "\x07\x1b" "a", false, filter_control_string},
        // A line feed ends a string (also after its ESC or C2: below), and is kept.
        {filter_command_string, "\n", true, filter_text},
        {filter_control_string, "\n", true, filter_text},
    };
    for (const auto &r : rows) {
        for (char c : r.bytes) {
            char byte = c;
            filter_state state = r.from;
            size_t kept = filter_terminal(&byte, 1, &state);
            SCOPED_TRACE(testing::Message() << "state " << int(r.from) << " byte " << int(static_cast<unsigned char>(c)));
            EXPECT_EQ(kept, r.kept ? 1u : 0u);
            EXPECT_EQ(byte, c);
            EXPECT_EQ(state, r.to);
        }
    }
}

// Each sequence filtered in one pass, and split in two at every position
// with the state carried over: both give the expected text.
TEST(TerminalFilter, SequencesWholeAndSplitAtEveryByte) {
    const struct {
        std::string in, out;
    } rows[] = {
        {"\x1b[1;31mred\x1b[0m ok\r\n", "red ok\n"},
        {"\x1b]0;window title\x07" "after", "after"},
        {"\x1b]2;t\x1b\\x", "x"},
        {"\x1b]2;t\x1b\x07y", "y"},
        {"\x1b]2;a\x1bqb\x07z", "z"},
        {"\x1bPq\x07#1\x1b\\z", "z"},
        {"\x1b^pm\x1b\x1b\\w\x1b\\v", "v"},
        {"\x1b_apc\x1b\\ok", "ok"},
        {"\x1b(Bx\x1b#8y", "xy"},
        {"\x1b[1\x1b[2mq", "q"},
        {"\x1b#\x1b]t\x07q", "q"},
        {"\x1b\x1b[mz", "[mz"},
        {"\x1b" "cx", "x"},
        {std::string("a\bb\tc\x7f\x00\x01\x1f" "d\n", 11), "ab\tcd\n"},
        {"h\xc3\xa9llo \xe2\x9c\x93\n", "h\xc3\xa9llo \xe2\x9c\x93\n"},
        {"", ""},
        // A redrawn line, one line each; CR LF (also split) one line feed.
        {"cron [#  ]\rcron [## ]\rcron [###]\r\ndone\r\r\n", "cron [#  ]\ncron [## ]\ncron [###]\ndone\n\n"},
        // C1 controls in UTF-8 as their ESC forms (C2 9C ends a string).
        {"\xc2\x9b" "1;31mred\xc2\x9b" "0m.", "red."},
        {"\xc2\x9d" "0;title\x07" "a\xc2\x9d" "2;t\xc2\x9c" "b\xc2\x9d" "x\x1b\\c", "abc"},
        {"\xc2\x90q\x07#\xc2\x9c" "a\xc2\x98sos\x1b\\b\xc2\x9epm\xc2\x9c" "c\xc2\x9f" "apc\x1b\\d", "abcd"},
        {"\x1bXsos\x07\x1b\\z", "z"},
        {"a\xc2\x80" "b\xc2\x85" "c\xc2\x8d" "d\xc2\x9c" "e\xc2\x9a", "abcde"},
        // A string never ended (by BEL or ST) ends with its line.
        {"\x1b]0;stray\nlater\n\x1b]2;t\x1b\nx", "\nlater\n\nx"},
        {"\x1bPq#0;2\na\x1b_a\x1b\nb\x1bXs\nc\x1b^p\r\nd", "\na\nb\nc\nd"},
        {"\xc2\x9d" "0;t\nx\xc2\x90q\ny\xc2\x98s\xc2\nz\xc2\x9e\xc2\x9f\n.", "\nx\ny\nz\n."},
        // UTF-8 passes; a lone C2 only with a kept byte after it.
        {"\xc2\xa0\xc2\xa9 caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80 \xc2\xb0 0123456789 0123456789 \xc2\xbf\xc2\xa0",
         "\xc2\xa0\xc2\xa9 caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80 \xc2\xb0 0123456789 0123456789 \xc2\xbf\xc2\xa0"},
        {"a\xc2" "b\xc2\r\xc2\xc2\xa9\xc2\x1b[m\x9b\xc2\x07\x9b", "a\xc2" "b\xc2\n\xc2\xa9\x9b\x9b"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.in));
        filter_state whole = filter_text;
        EXPECT_EQ(filtered(r.in, &whole), r.out);
        for (size_t at = 0; at <= r.in.size(); at++) {
            filter_state state = filter_text;
            std::string first = filtered(r.in.substr(0, at), &state);
            std::string joined = first + filtered(r.in.substr(at), &state);
            EXPECT_EQ(joined, r.out) << "split at " << at;
            EXPECT_EQ(state, whole) << "split at " << at;
        }
    }
}

// ---------------------------------------------------------------- capture

// Runs in the sandbox before exec: this process stays behind as the
// program's parent and the reaper of its orphans, and ends only when the
// log reader has ended too, with the program's exit status. So when the
// test sees the run finish, the log is complete.
std::function<void()> wait_for_reader(std::function<void()> then = {}) {
    return [then] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        pid_t program = fork();
        if (program < 0) _exit(125);
        if (program == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (then) then();
            return;
        }
        // Hold none of the program's streams (its input would never end).
        for (int fd = 0; fd < 1024; fd++) close(fd);
        int status = 0, program_status = 0;
        for (;;) {
            pid_t done = waitpid(-1, &status, 0);
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) break;
            if (done == program) program_status = status;
        }
        _exit(WIFEXITED(program_status) ? WEXITSTATUS(program_status) : 128 + WTERMSIG(program_status));
    };
}

void read_only_var_log() {
    if (mount(nullptr, "/var/log", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) < 0) _exit(125);
}

// The start line of a run of service at the beginning of text: "" when it
// is not there in the expected form, with a UTC time near now.
std::string start_line(const std::string &text, const std::string &service) {
    const std::string_view form = "[0000-00-00 00:00:00 UTC] ";  // 0: any digit
    if (text.size() < form.size()) return "";
    for (size_t i = 0; i < form.size(); i++)
        if (form[i] == '0' ? !isdigit(static_cast<unsigned char>(text[i])) : text[i] != form[i]) return "";
    auto number = [&](size_t at, size_t digits) { return std::stoi(text.substr(at, digits)); };
    std::tm t{};
    t.tm_year = number(1, 4) - 1900;
    t.tm_mon = number(6, 2) - 1;
    t.tm_mday = number(9, 2);
    t.tm_hour = number(12, 2);
    t.tm_min = number(15, 2);
    t.tm_sec = number(18, 2);
    long long age = static_cast<long long>(time(nullptr)) - static_cast<long long>(timegm(&t));
    std::string line = text.substr(0, form.size()) + service + " started\n";
    if (age < -5 || age > 120 || text.compare(0, line.size(), line) != 0) return "";
    return line;
}

// The writer program (service "t") under a scratch /var/log.
struct writer_run {
    sandbox::box box;
    sandbox::temp_dir log_dir;
    sandbox::result result;

    std::string log(const std::string &suffix = "") const { return slurp(log_dir / ("t.log" + suffix)); }
    bool has(const std::string &suffix) const { return exists(log_dir / ("t.log" + suffix)); }
    void seed(const std::string &suffix, const std::string &content) const {
        sandbox::spit(log_dir / ("t.log" + suffix), content);
    }
    void run(const std::string &input, const std::vector<std::string> &args,
             const std::vector<std::string> &env = {}, std::function<void()> then = {}) {
        sandbox::options o;
        o.args = {SERVICELOG_WRITER_PATH, "t"};
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.binds = {{log_dir.path, "/var/log"}};
        o.env = env;
        o.input = input;
        o.prepare = wait_for_reader(std::move(then));
        o.timeout_ms = 60000;
        result = box.run(o);
    }
};

// Output with terminal sequences reaches the log as plain text, also when
// a sequence is split across writes of the program; nothing stays on the
// streams the program was given.
TEST(ServiceLogCapture, PlainTextInTheLog) {
    const struct {
        const char *what;
        std::string input;
        std::vector<std::string> args;  // CHUNK REPEAT PAUSE_MS
        std::string logged;
    } rows[] = {
        {"colours, a window title, CR LF and backspaces",
         "\x1b[1;31mred\x1b[0m ok\r\n\x1b]0;build 7\x07line\b\bX\r\n\ttab \xc3\xa9\n", {"4096", "1", "0"},
         "red ok\nlineX\n\ttab \xc3\xa9\n"},
        {"a colour sequence split across two writes",
         "ab\x1b[1;3" "1mcd\n", {"7", "1", "100"}, "abcd\n"},
        {"stray strings in three-byte writes, each ended by its line",
         "\x1b]0;stray\nlater\n\x1bPq\nlast\n\xc2\x9d" "x\nend\n", {"3", "1", "30"},
         "\nlater\n\nlast\n\nend\n"},
        {"one byte per write",
         "\x1b[32mgreen\x1b[0m\r\n", {"1", "1", "0"}, "green\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        writer_run w;
        w.run(r.input, r.args, {"TZ=Asia/Tokyo"});
        EXPECT_EQ(w.result.status, 0);
        EXPECT_EQ(w.result.out + w.result.err, "");
        std::string log = w.log();
        std::string start = start_line(log, "t");
        ASSERT_NE(start, "") << log;
        EXPECT_EQ(log.substr(start.size()), r.logged);
        EXPECT_EQ(sandbox::mode_of(w.log_dir / "t.log"), 0600u);
        EXPECT_FALSE(w.has(".1"));
    }
}

// The live file never grows past 1 MiB; each rotation shifts the
// generations by copying, and no fourth generation appears.
TEST(ServiceLogCapture, CapAndRotation) {
    std::string numbered;
    for (int i = 0; numbered.size() < 5 * cap + 1000; i++) numbered += "line " + std::to_string(i) + "\n";
    // The stream that reaches the log: start line, then the input.
    using expect_fn = std::function<std::vector<std::string>(const std::string &stream)>;
    const std::string start_size(36, '?');  // "[YYYY-MM-DD HH:MM:SS UTC] t started\n"
    // Five rotations: the newest three generations, each exactly 1 MiB.
    const expect_fn newest_three = [](const std::string &s) {
        return std::vector<std::string>{s.substr(5 * cap), s.substr(4 * cap, cap), s.substr(3 * cap, cap),
                                        s.substr(2 * cap, cap)};
    };
    const struct {
        const char *what;
        std::vector<std::pair<std::string, std::string>> seeds;  // suffix, content
        std::string input;
        expect_fn expect;  // live, .1, .2, .3 ("-" for absent)
        rlim_t descriptors = 0;  // RLIMIT_NOFILE of the program, when not 0
    } rows[] = {
        {"1048575 bytes then 10: one byte fills the file, the other nine start the next",
         {{"", std::string(cap - 1 - start_size.size(), 'a')}}, "0123456789",
         [](const std::string &s) {
             return std::vector<std::string>{"123456789", std::string(cap - 37, 'a') + s.substr(0, 37), "-", "-"};
         }},
        {"a live file already over the cap is rotated whole",
         {{"", std::string(cap + 100, 'b')}}, "x\n",
         [](const std::string &s) { return std::vector<std::string>{s, std::string(cap + 100, 'b'), "-", "-"}; }},
        {"generations shift by one and the oldest is gone",
         {{"", std::string(cap, 'c')}, {".1", "one\n"}, {".2", "two\n"}, {".3", "three\n"}}, "y\n",
         [](const std::string &s) { return std::vector<std::string>{s, std::string(cap, 'c'), "one\n", "two\n"}; }},
        {"five rotations keep the newest three generations, each exactly 1 MiB",
         {{".3", "old\n"}}, numbered, newest_three},
        // A descriptor kept per copy would run out here.
        {"the same with every generation there and at most 10 descriptors open",
         {{".1", "one\n"}, {".2", "two\n"}, {".3", "old\n"}}, numbered, newest_three, 10},
    };
    const char *suffixes[] = {"", ".1", ".2", ".3"};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        writer_run w;
        for (const auto &[suffix, content] : r.seeds) w.seed(suffix, content);
        w.run(r.input, {"4096", "1", "0"}, {}, [limit = r.descriptors] {
            rlimit descriptors{limit, limit};
            if (limit > 0 && setrlimit(RLIMIT_NOFILE, &descriptors) != 0) _exit(125);
        });
        EXPECT_EQ(w.result.status, 0);
        // This run's start line wherever rotation put it (it may have gone;
        // only its length then matters).
        std::string start;
        for (const char *suffix : suffixes) {
            std::string text = w.log(suffix);
            size_t at = text.find("] t started\n");
            if (at != std::string::npos && at >= 24) start = start_line(text.substr(at - 24), "t");
            if (!start.empty()) break;
        }
        std::vector<std::string> expected = r.expect((start.empty() ? start_size : start) + r.input);
        for (size_t g = 0; g < 4; g++) {
            SCOPED_TRACE(suffixes[g]);
            if (expected[g] == "-") {
                EXPECT_FALSE(w.has(suffixes[g]));
                continue;
            }
            std::string got = w.log(suffixes[g]);
            EXPECT_EQ(got.size(), expected[g].size());
            EXPECT_TRUE(got == expected[g]);
        }
        EXPECT_FALSE(w.has(".4"));
    }
}

// The file type at path, or its content when it is a regular file.
std::string what_is(const std::string &path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return "-";
    if (S_ISREG(st.st_mode)) return slurp(path);
    return S_ISLNK(st.st_mode) ? "link" : S_ISFIFO(st.st_mode) ? "fifo" : S_ISDIR(st.st_mode) ? "dir" : "other";
}

// Another account puts a link, hard link, FIFO, directory or file of its
// own in a /var/log of mode 1777 in place of the live file (before the
// start, or between two blocks) or of a generation: nothing is written
// through or waited on, that account's files stay as they were, the program
// runs to its end. So too for a link or hard link of root's own to a file of
// root's (where an owner check alone would let it through). A live file removed, truncated or replaced between
// blocks is made anew, continued from its new size, or followed.
TEST(ServiceLogCapture, FilesPutInPlaceOfTheLog) {
    const std::string kinds[][3] = {{"ln -s /var/log/secret", "link", "65534"},
                                    {"ln /var/log/secret", "secret\n", "65534"},
                                    {"mkfifo", "fifo", "65534"}, {"mkdir", "dir", "65534"},
                                    {"echo theirs >", "theirs\n", "65534"},
                                    {"ln -s /var/log/own", "link", "0"}, {"ln /var/log/own", "own\n", "0"}};
    const std::string full(cap, 'c'), first(500, 'b'), second(500, 'c');
    // Shell commands before the start and after the first block; the live
    // file before; what t.log<at> is after (t.log itself stays full when
    // at names a generation). Were the old size kept after the truncation,
    // the second block would cross the cap.
    struct row { std::string before, during, seed, at, is; };
    std::vector<row> rows = {{"", "rm /var/log/t.log", "old\n", "", second},
                             {"", "truncate -s 0 /var/log/t.log", std::string(cap - 1000, 'a'), "", second},
                             {"", "echo new >/var/log/n && mv /var/log/n /var/log/t.log", "old\n", "", "new\n" + second}};
    for (const auto &[make, is, owner] : kinds) {
        auto put = [&](const std::string &at) {
            return "rm -rf /var/log/t.log" + at + " && " + make + " /var/log/t.log" + at + " && chown -h " + owner + " /var/log/t.log" + at;
        };
        rows.insert(rows.end(), {{put(""), "", "", "", is}, {"", put(""), "old\n", "", is}});
        for (std::string g : {".1", ".2", ".3"}) rows.push_back({put(g), "", full, g, is});
    }
    for (const auto &r : rows) {
        SCOPED_TRACE(r.before + r.during + " at t.log" + r.at);
        writer_run w;
        ASSERT_EQ(chmod(w.log_dir.path.c_str(), 01777), 0);
        sandbox::spit(w.log_dir / "secret", "secret\n");
        ASSERT_EQ(chown((w.log_dir / "secret").c_str(), 65534, 65534), 0);
        sandbox::spit(w.log_dir / "own", "own\n");
        for (const char *g : {"", ".1", ".2", ".3"})
            if (*g ? !r.at.empty() : !r.seed.empty()) w.seed(g, *g ? g : r.seed);
        w.run(first + second, {"500", "1", "0", "then=" + r.during}, {},
              [before = r.before] { if (!before.empty() && system(before.c_str()) != 0) _exit(125); });
        EXPECT_EQ(w.result.status, 0);
        EXPECT_EQ(w.result.out + w.result.err, "");  // captured, or discarded when the start fails
        EXPECT_EQ(slurp(w.log_dir / "secret"), "secret\n");
        EXPECT_EQ(slurp(w.log_dir / "own"), "own\n");
        EXPECT_TRUE(sandbox::same_bytes(what_is(w.log_dir / ("t.log" + r.at)), r.is));
        EXPECT_TRUE(sandbox::same_bytes(what_is(w.log_dir / "t.log"), r.at.empty() ? r.is : full));
    }
}

// Where the kernel will not copy (here to a pipe), reads and writes copy
// the same bytes, from the source's first byte whatever its offset.
TEST(PlatformCopy, FallbackLoop) {
    sandbox::temp_dir dir;
    std::string content(3 * 4096 + 100, 'x');
    sandbox::spit(dir / "from", content);
    int from = open((dir / "from").c_str(), O_RDONLY), ends[2];
    ASSERT_TRUE(from >= 0 && lseek(from, 100, SEEK_SET) == 100 && pipe(ends) == 0);
    EXPECT_EQ(platform_copy_file(from, ends[1]), 0);
    for (int fd : {from, ends[1]}) close(fd);
    EXPECT_EQ(panel::read_until_closed(ends[0], 5000), content);
    close(ends[0]);
}

// Where the kernel has no close_range, the process's own list of its
// descriptors closes them, whatever their number, but the one kept; the
// last row goes through close_range, where there is one.
TEST(PlatformDescriptors, ClosedThroughTheProcessList) {
    const struct {
        int first, keep;
        std::vector<int> left;  // of 0 to 2 (as the test got them) and 5, 300, 1000
        bool listed = true;
    } rows[] = {{3, -1, {0, 1, 2}}, {3, 300, {0, 1, 2, 300}}, {0, 1000, {1000}}, {6, 2, {0, 1, 2, 5}},
                {3, 5, {0, 1, 2, 5}, false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "from " << r.first << " keeping " << r.keep);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int fd = 3; fd <= 1024; fd++) close(fd);  // whatever the runner handed down
            for (int fd : {5, 300, 1000})
                if (dup2(2, fd) != fd) _exit(2);
            if (!r.listed) descriptors_close_from(r.first, r.keep);
            if (r.listed && descriptors_close_listed(r.first, r.keep) != 0) _exit(3);
            std::vector<int> left;
            for (int fd = 0; fd <= 1024; fd++)
                if (fcntl(fd, F_GETFD) >= 0) left.push_back(fd);
            _exit(left == r.left ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

// Where the output goes: into the log under a fresh capture, left on the
// inherited streams when VORNA_LOG_SERVICE already names the service, or
// discarded when /var/log cannot be written.
TEST(ServiceLogCapture, WhereTheWriterOutputGoes) {
    auto close_standard = [] {
        close(1);
        close(2);
    };
    const struct {
        const char *what;
        std::vector<std::string> env;
        std::function<void()> then;  // in the writer's process before exec
        std::string logged;          // after the start line; "-" for no log file
        std::string out, err;
    } rows[] = {
        {"another service's name is replaced by ours", {"VORNA_LOG_SERVICE=dashwick"}, nullptr,
         "hello\nVORNA_LOG_SERVICE=t\n", "", ""},
        {"no name: captured and named", {}, nullptr, "hello\nVORNA_LOG_SERVICE=t\n", "", ""},
        {"our own name: nothing captured, no start line", {"VORNA_LOG_SERVICE=t"}, nullptr, "-", "hello\n",
         "VORNA_LOG_SERVICE=t\n"},
        {"an empty name does not match", {"VORNA_LOG_SERVICE="}, nullptr, "hello\nVORNA_LOG_SERVICE=t\n", "", ""},
        {"/var/log read-only: output discarded, the program runs on", {}, read_only_var_log, "-", "", ""},
        {"started with descriptors 1 and 2 closed: both still reach the log", {}, close_standard,
         "hello\nVORNA_LOG_SERVICE=t\n", "", ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        writer_run w;
        w.run("hello\n", {"4096", "1", "0", "env"}, r.env, r.then);
        EXPECT_EQ(w.result.status, 0);
        EXPECT_EQ(w.result.out, r.out);
        EXPECT_EQ(w.result.err, r.err);
        if (r.logged == "-") {
            EXPECT_FALSE(w.has(""));
            continue;
        }
        std::string log = w.log();
        std::string start = start_line(log, "t");
        ASSERT_NE(start, "") << log;
        EXPECT_EQ(log.substr(start.size()), r.logged);
    }
}

// logrun starts a command as service "t": its output lands filtered in
// the log under a capture of its own (also when the caller runs under the
// same name), nothing else the caller held open reaches it, and a command
// that cannot be started is reported in the log with status 127.
TEST(ServiceLogCapture, LogrunRuns) {
    const std::string script =
        "printf '\\033[1;31mred\\033[0m\\r\\n'; echo err >&2; echo \"$VORNA_LOG_SERVICE\"; "
        "{ echo >&3; } 2>/dev/null && echo fd3 open || echo fd3 closed";
    const struct {
        const char *what;
        std::vector<std::string> args;  // after logrun
        std::vector<std::string> env;
        int status;
        std::string logged;  // after the start line; "-" for no log file
        std::string err;
    } rows[] = {
        {"a command's streams", {"t", "sh", "-c", script}, {}, 0, "red\nerr\nt\nfd3 closed\n", ""},
        {"under the same name already", {"t", "sh", "-c", script}, {"VORNA_LOG_SERVICE=t"}, 0,
         "red\nerr\nt\nfd3 closed\n", ""},
        {"no such command", {"t", "/nonexistent/daemon"}, {}, 127,
         "logrun: /nonexistent/daemon: No such file or directory\n", ""},
        {"no command", {"t"}, {}, 2, "-", "usage: logrun NAME COMMAND [ARG...]\n"},
        {"a name that is a path", {"../t", "true"}, {}, 2, "-", "usage: logrun NAME COMMAND [ARG...]\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        sandbox::box box;
        sandbox::temp_dir log_dir;
        sandbox::options o;
        o.args = {LOGRUN_PATH};
        o.args.insert(o.args.end(), r.args.begin(), r.args.end());
        o.binds = {{log_dir.path, "/var/log"}};
        o.env = r.env;
        o.prepare = wait_for_reader([] { dup2(2, 3); });
        sandbox::result result = box.run(o);
        EXPECT_EQ(result.status, r.status);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, r.err);
        if (r.logged == "-") {
            EXPECT_FALSE(exists(log_dir / "t.log"));
            continue;
        }
        std::string log = slurp(log_dir / "t.log");
        std::string start = start_line(log, "t");
        ASSERT_NE(start, "") << log;
        EXPECT_EQ(log.substr(start.size()), r.logged);
    }
}

// seedcfg as at boot, with a metadata service at the link-local address
// whose user data draws a warning.
struct metadata_service {
    sandbox::netns ns;
    pid_t pid = -1;
    metadata_service() {
        ns.sh("ip addr add 169.254.169.254/32 dev lo");
        auto reply = [](const std::string &request) -> std::optional<std::string> {
            auto asks = [&](const char *name) {
                return request.rfind(std::string("GET /openstack/latest/") + name + " ", 0) == 0;
            };
            if (asks("meta_data.json")) return test_http::ok(R"({"uuid": "uuid-log", "hostname": "node-log"})");
            if (asks("user_data")) return test_http::ok("#cloud-config\nruncmd:\n  - ls\n");
            return std::string("HTTP/1.0 404 Not Found\r\n\r\n");
        };
        pid = ns.spawn([how = test_http::behaviour{reply}] {
            test_http::serve(test_http::listen_tcp("169.254.169.254", 80), how);
        });
    }
    ~metadata_service() { sandbox::stop(pid); }
};

TEST(ServiceLogCapture, SeedcfgRuns) {
    metadata_service service;
    const std::string warning = "[seedcfg] unsupported cloud-config field: runcmd\n";
    const std::string ready = "[seedcfg] http configuration ready for instance uuid-log\n";
    const struct {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::function<void()> then;
        std::string logged;  // after the start line; "-" for no log file
        std::string out, err;
    } rows[] = {
        {"at boot: everything in the log", {}, {}, nullptr, warning + ready, "", ""},
        {"at boot under another service's capture", {}, {"VORNA_LOG_SERVICE=dashwick"}, nullptr,
         warning + ready, "", ""},
        {"at boot under its own capture", {}, {"VORNA_LOG_SERVICE=seedcfg"}, nullptr, "-", ready, warning},
        {"with an argument: the inherited streams", {"--config-only"}, {}, nullptr, "-",
         "[seedcfg] metadata unavailable; keeping local configuration\n", ""},
        {"at boot with /var/log read-only: runs on silently", {}, {}, read_only_var_log, "-", "", ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        sandbox::box box;
        sandbox::temp_dir log_dir, mnt;
        sandbox::options o;
        o.args = {SEEDCFG_PATH};
        o.args.insert(o.args.end(), r.args.begin(), r.args.end());
        o.writable = {"/etc", "/root"};
        o.tmpfs = {"/dev"};
        o.binds = {{log_dir.path, "/var/log"}, {mnt.path, "/mnt"}};
        o.env = r.env;
        o.env.push_back("TZ=America/New_York");
        o.net_of = service.ns.holder;
        auto then = r.then;
        o.prepare = wait_for_reader([then] {
            // An empty /dev: the drive search finds nothing.
            mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3));
            if (then) then();
        });
        sandbox::result result = box.run(o);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, r.out);
        EXPECT_EQ(result.err, r.err);
        if (r.args.empty()) {
            EXPECT_TRUE(exists(box.written("/etc/cloud/status")));
        }
        if (r.logged == "-") {
            EXPECT_FALSE(exists(log_dir / "seedcfg.log"));
            continue;
        }
        std::string log = slurp(log_dir / "seedcfg.log");
        std::string start = start_line(log, "seedcfg");
        ASSERT_NE(start, "") << log;
        EXPECT_EQ(log.substr(start.size()), r.logged);
    }
}

// dashwick starts its capture after listening: the start line reaches the
// log, and with /var/log read-only it serves all the same.
TEST(ServiceLogCapture, DashwickRuns) {
    const struct {
        const char *what;
        std::function<void()> prepare;
        bool logged;
    } rows[] = {
        {"a writable /var/log", nullptr, true},
        {"/var/log read-only", read_only_var_log, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        panel::server server;
        sandbox::temp_dir log_dir;
        server.options.writable = {"/var/lib", "/usr/share"};
        server.options.binds.push_back({log_dir.path, "/var/log"});
        server.options.env = {};
        server.options.prepare = r.prepare;
        ASSERT_TRUE(server.start());
        EXPECT_EQ(server.exchange("GET /nothing HTTP/1.1\r\n\r\n"), panel::reply(404, "Not found\n"));
        if (r.logged) {
            std::string log;
            for (long long end = panel::now_ms() + 5000; panel::now_ms() < end && log.empty(); usleep(10000))
                log = slurp(log_dir / "dashwick.log");
            EXPECT_EQ(start_line(log, "dashwick"), log);  // the start line alone
            EXPECT_NE(log, "");
        } else {
            EXPECT_FALSE(exists(log_dir / "dashwick.log"));
        }
        sandbox::result result = server.stop();
        EXPECT_EQ(result.out + result.err, "");
    }
}

}  // namespace
