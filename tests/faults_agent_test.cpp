// seedcfg against a file system that fills up while it writes, and against
// a metadata service that misbehaves on the wire.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/http_server.h"
#include "tests/sandbox.h"

using sandbox::now_ms;
using sandbox::slurp;

namespace {

const std::string seedcfg = SEEDCFG_PATH;
const std::string unavailable = "[seedcfg] metadata unavailable; keeping local configuration\n";
constexpr size_t page = 4096;  // tmpfs counts its size in pages

std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

// Metadata with count keys: 41 of them make a key list of more than a page.
std::string metadata_with_keys(int count) {
    std::string keys;
    for (int i = 0; i < count; i++)
        keys += (i ? "," : "") + std::string("\"k") + std::to_string(i) + "\":\"ssh-ed25519 AAAA" +
                std::string(80, static_cast<char>('a' + i % 26)) + std::to_string(i) + " k" +
                std::to_string(i) + "\"";
    return R"({"uuid":"i-new","hostname":"h","public_keys":{)" + keys + "}}";
}

// Each file the agent writes after the settings, on a file system with room
// for everything written before it but not for it: the run ends there with
// status 1 and its message, and every file that was there keeps its bytes.
// The files of one case lie on a tmpfs (the output directory, and the keys
// file too when keys_on_disk is set) sized to what was there plus `room`
// pages.
TEST(SeedcfgFaults, FullDiskAtEachLaterFile) {
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    const std::string old_keys = "ssh-ed25519 AAAAhand admin\n", old_managed = "ssh-ed25519 AAAAold old\n",
                      old_hash = "$6$oldsalt$" + std::string(86, 'x'),
                      old_status = "source=http\ninstance=before\nexperimental=true\n";
    const struct {
        const char *fails;
        std::map<std::string, std::string> before;  // files on the disk at the start
        size_t room;                                 // free pages at the start
        std::string err;
        std::set<std::string> after;  // names on the disk at the end
        int keys = 1;                 // keys in the metadata
        bool keys_on_disk = false;
    } cases[] = {
        // The first of the key files, the managed list with the new key
        // added to the old one, finds no room.
        {"the key files", {{"authorized_keys", old_keys}, {"authorized_keys.managed", old_managed},
                           {"status", old_status}},
         1, "[seedcfg] keys: No space left on device\n",
         {"authorized_keys", "authorized_keys.managed", "settings.ini", "status"}, 1, true},
        // A key list of two pages gets one: the write stops part-way.
        {"the managed key list", {{"authorized_keys.managed", old_managed}, {"status", old_status}},
         2, "[seedcfg] keys: No space left on device\n",
         {"authorized_keys.managed", "settings.ini", "status"}, 41},
        // Every key list written takes a page while the one before it is
        // still there: without keys the lists are empty and take none, and
        // the empty old list leaves one page over for the settings.
        {"the password hash",
         {{"authorized_keys.managed", ""}, {"password.hash", old_hash}, {"status", old_status}}, 0, "",
         {"authorized_keys.managed", "password.hash", "settings.ini", "status"}, 0},
        {"the status record", {{"status", old_status}}, 3, "",
         {"authorized_keys.managed", "password.hash", "settings.ini", "status"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fails);
        sandbox::temp_dir meta, disk;
        sandbox::make_dirs(meta / "openstack/latest");
        sandbox::spit(meta / "openstack/latest/meta_data.json", metadata_with_keys(c.keys));
        sandbox::spit(meta / "openstack/latest/user_data", "#cloud-config\npassword: secret\n");
        const std::string size = "size=" + std::to_string((c.before.size() + c.room) * page) + ",mode=0700";
        ASSERT_EQ(mount("tmpfs", disk.path.c_str(), "tmpfs", 0, size.c_str()), 0);
        for (const auto &[name, content] : c.before) sandbox::spit(disk / name, content);

        sandbox::box box;
        box.seed("/root/.ssh/authorized_keys", old_keys);
        sandbox::options o;
        o.args = {seedcfg, "--source", meta.path, "--config-only", "--output", disk.path};
        if (c.keys_on_disk) o.args.insert(o.args.end(), {"--keys-file", disk / "authorized_keys"});
        o.writable = {"/etc", "/root"};
        o.tmpfs = {"/mnt", "/dev"};
        o.private_net = true;
        auto r = box.run(o);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        // What was there stays whole, what came before the failing file was
        // written, and no temporary file is left behind.
        EXPECT_EQ(names_in(disk.path), c.after);
        for (const auto &[name, content] : c.before) EXPECT_EQ(slurp(disk / name), content) << name;
        EXPECT_EQ(slurp(disk / "settings.ini").rfind("[System]\nHostname = h\n[SSH]\n", 0), 0u);
        if (!c.before.count("authorized_keys.managed")) {
            EXPECT_EQ(slurp(disk / "authorized_keys.managed").rfind("ssh-ed25519 AAAAa", 0), 0u);
        }
        if (c.after.count("password.hash") && !c.before.count("password.hash")) {
            EXPECT_EQ(slurp(disk / "password.hash").rfind("$6$", 0), 0u);
        }
        // The keys file and the managed list change together or not at all:
        // a keys file ahead of its list would make the new keys look like
        // the administrator's own at the next run.
        if (!c.keys_on_disk) {
            EXPECT_EQ(slurp(box.written("/root/.ssh/authorized_keys")) == old_keys,
                      c.before.count("authorized_keys.managed") == 1);
        }
        umount2(disk.path.c_str(), MNT_DETACH);
    }
}

// A service at 169.254.169.254 (one port per behaviour) in a namespace of
// its own, and runs of the agent that poll it.
struct misbehaving {
    sandbox::netns ns;
    std::vector<pid_t> servers;
    ~misbehaving() {
        for (pid_t pid : servers) sandbox::stop(pid);
    }
    std::string serve(int port, const test_http::behaviour &how) {
        servers.push_back(ns.spawn([port, how] {
            test_http::serve(test_http::listen_tcp("169.254.169.254", port), how);
        }));
        return "http://169.254.169.254:" + std::to_string(port);
    }
};

int requests_in(const std::string &log) {
    std::string all = slurp(log);
    int n = 0;
    for (size_t at = all.find("GET /openstack/latest/meta_data.json "); at != std::string::npos;
         at = all.find("GET /openstack/latest/meta_data.json ", at + 1))
        n++;
    return n;
}

// Resets, garbage and a trickle each fail one exchange within its 2.5 s;
// the agent keeps polling and gives up after the 8 s poll with at most one
// exchange and one pause over it, writing nothing.
TEST(SeedcfgFaults, MisbehavingServiceEndsThePollInTime) {
    misbehaving m;
    ASSERT_EQ(m.ns.sh("ip addr add 169.254.169.254/32 dev lo"), 0);
    const std::string document = R"({"uuid":"i-1","hostname":"h"})";
    std::string endless(300 * 1024, 'x');
    std::string noise;
    for (int i = 0; i < 2048; i++) noise += static_cast<char>((i * 7919 + 13) % 256);
    auto fixed = [](std::string bytes) {
        return [bytes](const std::string &) -> std::optional<std::string> { return bytes; };
    };
    sandbox::temp_dir logs;
    const struct {
        const char *what;
        test_http::behaviour how;
        int asked_at_least;
        int asked_at_most = 8000 / 200 + 1;  // a failure and a pause each
    } cases[] = {
        {"reset after the request", {fixed(""), "", 0, true}, 3},
        {"reset inside the body", {fixed(test_http::ok(document).substr(0, 50)), "", 0, true}, 3},
        {"bytes that are not HTTP", {fixed(noise)}, 3},
        {"another protocol's greeting", {fixed("SSH-2.0-OpenSSH_9.2\r\n\r\n")}, 3},
        {"a broken chunked body",
         {fixed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n" + document + "\r\n0\r\n\r\n")}, 3},
        {"more than the client holds", {fixed("HTTP/1.0 200 OK\r\n\r\n" + endless)}, 3},
        // Every exchange runs into its 2.5 s: three fit into the poll.
        {"one byte every 100 ms", {fixed(test_http::ok(document)), "", 100}, 3, 4},
    };
    constexpr int n = std::size(cases);
    sandbox::box boxes[n];
    sandbox::box::process p[n];
    long long started[n], took[n] = {};
    for (int i = 0; i < n; i++) {
        test_http::behaviour how = cases[i].how;
        how.log = logs / std::to_string(i);
        std::string url = m.serve(8000 + i, how);
        sandbox::options o;
        o.args = {seedcfg, "--metadata-url", url};
        o.writable = {"/etc", "/root"};
        o.tmpfs = {"/mnt", "/dev"};
        o.net_of = m.ns.holder;
        o.timeout_ms = 30000;
        started[i] = now_ms();
        p[i] = boxes[i].start(o);
    }
    // When each run ended, seen without reaping it.
    for (int left = n, limit = 0; left > 0 && limit < 6000; limit++, usleep(5000)) {
        for (int i = 0; i < n; i++) {
            siginfo_t info{};
            if (!took[i] && waitid(P_PID, static_cast<id_t>(p[i].pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == p[i].pid) {
                took[i] = now_ms() - started[i];
                left--;
            }
        }
    }
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(cases[i].what);
        auto r = sandbox::finish(p[i], 30000);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, unavailable);
        EXPECT_EQ(r.err, "");
        EXPECT_GE(took[i], 8000);
        // 8 s, one exchange of 2.5 s and one pause of 0.2 s; the rest is
        // for starting the sandbox on a busy machine.
        EXPECT_LE(took[i], 8000 + 2500 + 200 + 1000);
        EXPECT_FALSE(sandbox::exists(boxes[i].written("/etc/cloud")));
        int asked = requests_in(logs / std::to_string(i));
        EXPECT_GE(asked, cases[i].asked_at_least);
        EXPECT_LE(asked, cases[i].asked_at_most);
    }
}

// With meta_data.json from the service, a later document that it fails to
// give (an error status, a stall past the exchange's 2.5 s, a body short of
// its Content-Length) refuses the run with the earlier files untouched:
// taken for absent, it would have stripped the guest's keys or network.
// Only a 404 means that the document is absent.
TEST(SeedcfgFaults, LaterDocumentThatFailsRefusesTheRun) {
    misbehaving m;
    ASSERT_EQ(m.ns.sh("ip addr add 169.254.169.254/32 dev lo"), 0);
    const std::string error = "HTTP/1.0 500 Internal Server Error\r\n\r\n", old_keys = "ssh-ed25519 AAAAold o\n";
    const struct {
        std::string document;  // the one that fails; "": both later ones are missing
        std::optional<std::string> reply;  // none: a stall
    } cases[] = {
        {"network_data.json", error}, {"network_data.json", std::nullopt},
        {"network_data.json", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n{}"},
        {"user_data", error}, {"user_data", std::nullopt},
        {"user_data", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n#"},
        {"", "HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nno\n"},
    };
    constexpr int n = std::size(cases);
    sandbox::box boxes[n];
    sandbox::box::process p[n];
    for (int i = 0; i < n; i++) {
        auto reply = [c = cases[i]](const std::string &request) -> std::optional<std::string> {
            if (request.starts_with("GET /openstack/latest/meta_data.json "))
                return test_http::ok(R"({"uuid":"i-new","hostname":"new"})");
            if (c.document.empty() || request.starts_with("GET /openstack/latest/" + c.document + " "))
                return c.reply;
            return test_http::ok(request.find("network_data") != std::string::npos ? "{}" : "");
        };
        std::string url = m.serve(8100 + i, {reply});
        boxes[i].seed("/etc/cloud/settings.ini", "[System]\nHostname = before\n");
        boxes[i].seed("/root/.ssh/authorized_keys", old_keys);
        sandbox::options o;
        o.args = {seedcfg, "--metadata-url", url};
        o.writable = {"/etc", "/root"};
        o.tmpfs = {"/mnt", "/dev"};
        o.net_of = m.ns.holder;
        p[i] = boxes[i].start(o);
    }
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(i);
        auto r = sandbox::finish(p[i], 30000);
        bool absent = cases[i].document.empty();
        EXPECT_EQ(r.status, absent ? 0 : 1);
        EXPECT_EQ(r.err, absent ? "" : "[seedcfg] " + cases[i].document + " could not be fetched\n"
                                       "[seedcfg] configuration rejected\n");
        EXPECT_EQ(slurp(boxes[i].written("/etc/cloud/settings.ini")),
                  absent ? "[System]\nHostname = new\n" : "[System]\nHostname = before\n");
        if (!absent) {
            EXPECT_EQ(names_in(boxes[i].written("/etc/cloud")), std::set<std::string>{"settings.ini"});
        }
        EXPECT_EQ(slurp(boxes[i].written("/root/.ssh/authorized_keys")), old_keys);
    }
}

}  // namespace
