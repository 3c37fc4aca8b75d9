// The metadata search on the real binary: file systems under /mnt,
// configuration drives (device nodes made by the test, mount(2) answered by
// the preloaded fake_mount library), and the metadata service at its
// default address inside a private network namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "agent/http.h"
#include "tests/http_server.h"
#include "tests/sandbox.h"

using sandbox::exists;
using sandbox::slurp;

namespace {

const std::string unavailable = "[seedcfg] metadata unavailable; keeping local configuration\n";
const std::string service_address = "169.254.169.254";

std::string ready(const std::string &label, const std::string &uuid) {
    return "[seedcfg] " + label + " configuration ready for instance " + uuid + "\n";
}

std::string status_text(const std::string &label, const std::string &uuid) {
    return "source=" + label + "\ninstance=" + uuid + "\nexperimental=true\n";
}

// A metadata tree under dir whose instance is uuid.
void write_tree(const std::string &dir, const std::string &uuid, const std::string &version = "latest") {
    std::string base = dir + "/openstack/" + version + "/";
    sandbox::make_dirs(base);
    sandbox::spit(base + "meta_data.json", "{\"uuid\": \"" + uuid + "\", \"hostname\": \"node-7\", \"public_keys\":"
                  " {\"ops\": \"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOps ops@bastion\"}}\n");
    sandbox::spit(base + "network_data.json",
                  R"({"links": [{"id": "l0", "ethernet_mac_address": "fa:16:3e:00:00:01"}],
                      "networks": [{"type": "ipv4", "link": "l0", "ip_address": "192.0.2.10",
                        "netmask": "255.255.255.0", "routes": [{"network": "0.0.0.0",
                          "netmask": "0.0.0.0", "gateway": "192.0.2.1"}]}],
                      "services": [{"type": "dns", "address": "192.0.2.53"}]})");
    sandbox::spit(base + "user_data", "#cloud-config\nssh_authorized_keys:\n"
                  "  - ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAdmin admin@laptop\n");
}

void make_node(const std::string &path, char kind, unsigned minor) {
    if (kind == 'b') mknod(path.c_str(), S_IFBLK | 0600, makedev(7, minor));
    else if (kind == 'c') mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3));
    else sandbox::spit(path, "");
}

// A metadata service at the default address in a namespace of its own:
// mode "tree" serves the tree under scratch/tree, "silent" accepts and
// never answers, "missing" answers 404 to everything.
struct service {
    sandbox::netns ns;
    sandbox::temp_dir scratch;
    pid_t pid = -1;

    explicit service(const std::string &mode, int delay_ms = 0) {
        ns.sh("ip addr add " + service_address + "/32 dev lo");
        auto reply = [mode, tree = scratch / "tree"](const std::string &request) -> std::optional<std::string> {
            if (mode == "silent") return std::nullopt;
            std::string path = request.rfind("GET /", 0) == 0 ? request.substr(4, request.find(' ', 4) - 4) : "/-";
            if (mode == "tree" && exists(tree + path)) return test_http::ok(slurp(tree + path));
            return std::string("HTTP/1.0 404 Not Found\r\n\r\n");
        };
        pid = ns.spawn([how = test_http::behaviour{reply, scratch / "requests"}, delay_ms] {
            usleep(static_cast<useconds_t>(delay_ms) * 1000);
            test_http::serve(test_http::listen_tcp(service_address.c_str(), 80), how);
        });
    }
    ~service() { sandbox::stop(pid); }
    std::string requests() const { return slurp(scratch / "requests"); }
    int asked() const {
        std::string all = requests(), text = "GET /openstack/latest/meta_data.json ";
        int n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) n++;
        return n;
    }
};

std::string request_for(const std::string &name) {
    return "GET /openstack/latest/" + name + " HTTP/1.0\r\nHost: " + service_address +
           "\r\nConnection: close\r\n\r\n";
}

// A path below /dev that the test makes inside the sandbox.
struct device {
    std::string path;
    char kind;          // 'b' block device, 'c' character device, 'f' regular file
    std::string holds;  // type of the file system on it for the mount stand-in, or ""
    std::string uuid;   // instance of the metadata on it, or "" for none
};

// A guest with its own /dev and /mnt: the search sees only what the test
// puts there.
struct guest {
    sandbox::box box;
    sandbox::temp_dir scratch;
    std::vector<device> devices;
    std::string kernel = "linux";  // what the mount stand-in knows: "linux" or "own"
    pid_t net_of = -1;

    sandbox::result result;
    // The mounts below /mnt/cloud still in place when the program ended,
    // one "mount-point device ro|rw" line each.
    std::string mounts;

    std::string mnt() const { return scratch / "mnt"; }
    std::string mount_log() const { return slurp(scratch / "mount.log"); }
    std::string written(const std::string &name) const { return slurp(box.written("/etc/cloud/" + name)); }

    // Starts the program with args; finish() collects it.
    sandbox::box::process start(const std::vector<std::string> &args) {
        sandbox::make_dirs(mnt());
        std::string drives;
        for (const device &d : devices) {
            if (d.holds.empty()) continue;
            std::string dir = scratch / ("drives" + d.path);  // its basename is the device's
            sandbox::make_dirs(dir);
            if (!d.uuid.empty()) write_tree(dir, d.uuid);
            drives += d.path + ":" + d.holds + ":" + dir + ",";
        }
        const char *asan = getenv("ASAN_OPTIONS");  // the preload comes before ASan
        sandbox::options o;
        o.args = {"/bin/sh", "-c",
                  "\"$@\"; s=$?; echo '#mounts'; awk '$5 ~ \"^/mnt/cloud/\" "
                  "{ n = split($4, p, \"/\"); print $5, p[n], substr($6, 1, 2) }' /proc/self/mountinfo; "
                  "exit $s",
                  "sh", SEEDCFG_PATH};
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.writable = {"/etc", "/root"};
        o.tmpfs = {"/dev"};
        o.binds = {{mnt(), "/mnt"}};
        o.env = {"LD_PRELOAD=" FAKE_MOUNT_PATH, "FAKE_MOUNT_LOG=" + (scratch / "mount.log"),
                 "FAKE_MOUNT_DRIVES=" + drives, "FAKE_MOUNT_KERNEL=" + kernel,
                 "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0",
                 // Run without arguments, the output stays on the pipes read
                 // here instead of going to a service log.
                 "VORNA_LOG_SERVICE=seedcfg"};
        o.net_of = net_of;
        o.private_net = true;
        o.prepare = [nodes = devices] {
            make_node("/dev/null", 'c', 0);
            unsigned minor = 0;
            for (const device &d : nodes) make_node(d.path, d.kind, minor++);
        };
        return box.start(o);
    }
    void finish(sandbox::box::process &p) {
        result = sandbox::finish(p, 60000);
        size_t split = result.out.find("#mounts\n");
        if (split == std::string::npos) return;
        mounts = result.out.substr(split + 8);
        result.out.resize(split);
    }
    void run(const std::vector<std::string> &args) {
        sandbox::box::process p = start(args);
        finish(p);
    }

    // The mount points under /mnt/cloud, "drive0 drive1 ...", each checked
    // to be a directory of mode 0700 like their parent.
    std::string mount_points() const {
        if (!exists(mnt() + "/cloud")) return "(none)";
        EXPECT_EQ(sandbox::mode_of(mnt() + "/cloud"), 0700u);
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(mnt() + "/cloud")) {
            names.insert(entry.path().filename());
            EXPECT_EQ(sandbox::mode_of(entry.path()), 0700u) << entry.path();
        }
        std::string list;
        for (const std::string &name : names) list += (list.empty() ? "" : " ") + name;
        return list;
    }
};

// The attempts our platform layer makes on Linux for one device at one
// mount point, up to the first that succeeds.
std::string attempts(const std::string &device, int drive, int count) {
    const char *types[] = {"isofs", "iso9660", "fat32", "vfat"};
    std::string text;
    for (int i = 0; i < count; i++)
        text += device + " /mnt/cloud/drive" + std::to_string(drive) + " " + types[i] + " 0x1 -\n";
    return text;
}

TEST(MetadataSearch, GivenDirectoryThenMntThenDrivesThenService) {
    // A service at the default address answers every run that asks it.
    service s("tree");
    write_tree(s.scratch / "tree", "uuid-http");
    sandbox::temp_dir empty;
    const std::vector<device> vda = {{"/dev/vda", 'b', "iso9660", "uuid-vda"}};
    const struct {
        const char *what;
        std::vector<std::string> trees;  // below /mnt: "name" or "name@version" ("@none": empty)
        std::vector<device> devices;
        std::string found;  // ready line, or "" for "metadata unavailable"
        std::string log;    // mount attempts
        std::string mounts, points;
        const char *kernel = "linux";
        std::vector<std::string> args = {"--config-only"};
    } cases[] = {
        {"/mnt/a before /mnt/b and any drive", {"0-empty@none", "a", "b"}, vda,
         ready("config-drive", "uuid-a"), "", "", "(none)"},
        {"an older version serves", {"old@2017-02-22"}, vda, ready("config-drive", "uuid-old"), "", "",
         "(none)"},
        // Hidden names do not match, and the mount points of an earlier run
        // lie one level too deep: the drive is mounted again at drive0.
        {"hidden and too deep", {".hidden", "cloud/drive0"}, vda, ready("config-drive", "uuid-vda"),
         attempts("/dev/vda", 0, 2), "/mnt/cloud/drive0 vda ro\n", "drive0"},
        {"a given directory replaces the search", {"a"}, vda, "", "", "", "(none)", "linux",
         {"--source", empty.path, "--config-only"}},
        {"a given directory, then the service (Host without the port)", {"a"}, vda,
         ready("http", "uuid-http"), "", "", "(none)", "linux",
         {"--source", empty.path, "--metadata-url", "http://" + service_address + ":80"}},
        {"a FAT drive after the isofs attempts; the second drive untouched", {},
         {{"/dev/cd0", 'b', "vfat", "uuid-cd0"}, {"/dev/vda", 'b', "iso9660", "uuid-vda"}},
         ready("config-drive", "uuid-cd0"), attempts("/dev/cd0", 0, 4), "/mnt/cloud/drive0 cd0 ro\n",
         "drive0"},
        {"one number per block device across the patterns", {},
         {{"/dev/cd0", 'b', "iso9660", ""},   // mounts, but holds no metadata
          {"/dev/cd1", 'c', "", ""},          // not a block device: no number
          {"/dev/cd10", 'b', "", ""},         // "/dev/cd?" does not match it
          {"/dev/sda", 'b', "", ""},          // no usable file system
          {"/dev/sdb", 'f', "", ""},          // regular file: no number
          {"/dev/vda1", 'c', "", ""},
          {"/dev/vdb", 'b', "iso9660", "uuid-vdb"},
          {"/dev/vdc", 'b', "vfat", "uuid-vdc"}},  // after the winner: untouched
         ready("config-drive", "uuid-vdb"),
         attempts("/dev/cd0", 0, 2) + attempts("/dev/sda", 1, 4) + attempts("/dev/vdb", 2, 2),
         "/mnt/cloud/drive0 cd0 ro\n/mnt/cloud/drive2 vdb ro\n", "drive0 drive1 drive2"},
        {"our own kernel's type names need no second try", {},
         {{"/dev/sda", 'b', "fat32", ""}, {"/dev/vda", 'b', "isofs", "uuid-own"}},
         ready("config-drive", "uuid-own"),
         "/dev/sda /mnt/cloud/drive0 isofs 0x1 -\n/dev/sda /mnt/cloud/drive0 fat32 0x1 -\n"
         "/dev/vda /mnt/cloud/drive1 isofs 0x1 -\n",
         "/mnt/cloud/drive0 sda ro\n/mnt/cloud/drive1 vda ro\n", "drive0 drive1", "own"},
        {"nothing found", {}, {{"/dev/sda", 'b', "", ""}, {"/dev/vda", 'b', "", ""}}, "",
         attempts("/dev/sda", 0, 4) + attempts("/dev/vda", 1, 4), "", "drive0 drive1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        guest g;
        g.net_of = s.ns.holder;
        g.kernel = c.kernel;
        g.devices = c.devices;
        for (const std::string &tree : c.trees) {
            size_t at = tree.find('@');
            std::string name = tree.substr(0, at), version = at == std::string::npos ? "latest" : tree.substr(at + 1);
            if (version != "none") write_tree(g.mnt() + "/" + name, "uuid-" + name, version);
            // As an earlier run of the agent would have left them.
            for (std::string dir = g.mnt() + "/" + name; dir != g.mnt(); dir.resize(dir.rfind('/')))
                sandbox::make_dirs(dir, 0700);
        }
        g.run(c.args);
        EXPECT_EQ(g.result.status, 0) << g.result.err;
        EXPECT_EQ(g.result.out, c.found.empty() ? unavailable : c.found);
        EXPECT_EQ(g.mount_log(), c.log);
        EXPECT_EQ(g.mounts, c.mounts);
        EXPECT_EQ(g.mount_points(), c.points);
        EXPECT_EQ(exists(g.box.written("/etc/cloud/status")), !c.found.empty());
    }
    // Only the run without --config-only asked the service, once for each
    // document.
    EXPECT_EQ(s.requests(), request_for("meta_data.json") + request_for("network_data.json") +
                                request_for("user_data"));
}

TEST(ServicePoll, FindsALateServiceOrGivesUpAfterEightSeconds) {
    // Side by side, with nothing under /mnt and no drive: a service that
    // starts only after 3 s, one that never answers, one that answers 404,
    // and a base address that the client refuses (trailing "/"). The late
    // service's 3 s run from its own start, before the agents start.
    long long late_start = monotonic_ms();
    service late("tree", 3000), silent("silent"), missing("missing"), good("tree");
    write_tree(late.scratch / "tree", "uuid-late");
    write_tree(good.scratch / "tree", "uuid-never");
    const struct {
        const service &s;
        long long at_least;
        std::string out;
        std::vector<std::string> args = {"--output", "/etc/cloud"};
    } cases[] = {{late, 3000, ready("http", "uuid-late")}, {silent, 8000, unavailable},
                 {missing, 8000, unavailable},
                 {good, 8000, unavailable, {"--metadata-url", "http://" + service_address + "/"}}};
    guest g[4];
    sandbox::box::process p[4];
    long long start[4], took[4] = {}, limit = monotonic_ms() + 60000;
    for (int i = 0; i < 4; i++) {
        g[i].net_of = cases[i].s.ns.holder;
        start[i] = monotonic_ms();
        p[i] = g[i].start(cases[i].args);
    }
    // When each one ended, seen without reaping it.
    for (int left = 4; left > 0 && monotonic_ms() < limit; usleep(5000)) {
        for (int i = 0; i < 4; i++) {
            siginfo_t info{};
            if (!took[i] && waitid(P_PID, static_cast<id_t>(p[i].pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == p[i].pid) {
                took[i] = monotonic_ms() - start[i];
                left--;
            }
        }
    }
    for (int i = 0; i < 4; i++) {
        EXPECT_GE(took[i] + (i == 0 ? start[0] - late_start : 0), cases[i].at_least) << i;
        g[i].finish(p[i]);
        EXPECT_EQ(g[i].result.status, 0) << i << g[i].result.err;
        EXPECT_EQ(g[i].result.out, cases[i].out) << i;
        EXPECT_EQ(g[i].written("status"), i ? "" : status_text("http", "uuid-late")) << i;
    }
    // The first request that reached the late service found the document.
    // Each silent request held for its 2.5 s; the 404s came no faster than
    // one per 200 ms pause.
    EXPECT_EQ(late.asked(), 1);
    EXPECT_GE(silent.asked(), 3);
    EXPECT_GE(missing.asked(), 2);
    EXPECT_LE(missing.asked(), 8000 / 200 + 1);
    EXPECT_EQ(good.requests(), "");
}

TEST(MetadataSearch, EverySourceGivesTheSameConfiguration) {
    // One tree given on the command line, mounted under /mnt, on a drive
    // and at the service. All runs share one network namespace, so the
    // network step sees the same interfaces; --test-mac names the
    // network's interface.
    service s("tree");
    write_tree(s.scratch / "tree", "uuid-same");
    const std::vector<std::string> mac = {"--test-mac", "fa:16:3e:00:00:01"};
    guest g[4];
    write_tree(g[1].mnt() + "/config", "uuid-same");
    g[2].devices = {{"/dev/vda", 'b', "iso9660", "uuid-same"}};
    for (int i = 0; i < 4; i++) {
        g[i].net_of = s.ns.holder;
        g[i].run(i ? mac : std::vector<std::string>{"--source", s.scratch / "tree", mac[0], mac[1]});
    }
    const std::string settings = g[0].written("settings.ini");
    EXPECT_NE(settings.find("Hostname = node-7\n[Network]\n"), std::string::npos) << settings;
    for (int i = 0; i < 4; i++) {
        const char *label = i == 3 ? "http" : "config-drive";
        EXPECT_EQ(g[i].result.out, ready(label, "uuid-same")) << g[i].result.err;
        EXPECT_EQ(g[i].written("settings.ini"), settings) << i;
        EXPECT_EQ(g[i].written("status"), status_text(label, "uuid-same")) << i;
        EXPECT_EQ(slurp(g[i].box.written("/root/.ssh/authorized_keys")),
                  "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOps ops@bastion\n"
                  "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAdmin admin@laptop\n") << i;
    }
}

}  // namespace
