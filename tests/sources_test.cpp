// The metadata search on the real binary: mounted file systems under /mnt,
// configuration drives (device nodes made by the test, mount(2) answered by
// the preloaded fake_mount library), and the metadata service at its
// default address inside a private network namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "agent/http.h"
#include "tests/http_server.h"
#include "tests/sandbox.h"

using sandbox::exists;
using sandbox::slurp;

namespace {

const std::string seedcfg = SEEDCFG_PATH;
const std::string fake_mount = FAKE_MOUNT_PATH;
const std::string unavailable = "[seedcfg] metadata unavailable; keeping local configuration\n";
const std::string service_address = "169.254.169.254";

std::string status_text(const std::string &label, const std::string &uuid) {
    return "source=" + label + "\ninstance=" + uuid + "\nexperimental=true\n";
}

// A metadata tree under dir whose instance is uuid.
void write_tree(const std::string &dir, const std::string &uuid, const std::string &version = "latest") {
    std::string base = dir + "/openstack/" + version + "/";
    sandbox::make_dirs(base);
    sandbox::spit(base + "meta_data.json",
                  "{\"uuid\": \"" + uuid + "\", \"hostname\": \"node-7\",\n"
                  " \"public_keys\": {\"ops\": \"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIOps ops@bastion\"}}\n",
                  0644);
    sandbox::spit(base + "network_data.json",
                  "{\"links\": [{\"id\": \"tap0\", \"ethernet_mac_address\": \"fa:16:3e:00:00:01\"}],\n"
                  " \"networks\": [{\"id\": \"n0\", \"type\": \"ipv4\", \"link\": \"tap0\",\n"
                  "   \"ip_address\": \"192.0.2.10\", \"netmask\": \"255.255.255.0\",\n"
                  "   \"routes\": [{\"network\": \"0.0.0.0\", \"netmask\": \"0.0.0.0\", \"gateway\": \"192.0.2.1\"}]}],\n"
                  " \"services\": [{\"type\": \"dns\", \"address\": \"192.0.2.53\"}]}\n",
                  0644);
    sandbox::spit(base + "user_data",
                  "#cloud-config\nssh_authorized_keys:\n"
                  "  - ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIAdmin admin@laptop\n",
                  0644);
}

// A path below /dev that the test makes inside the sandbox.
struct device {
    std::string path;
    char kind;              // 'b' block device, 'c' character device, 'f' regular file
    std::string holds;      // Linux type of the file system on it ("iso9660", "vfat"), or ""
    std::string uuid = {};  // instance of the metadata on it, or "" for none
};

// ASan insists on coming first among the loaded libraries; the preload
// comes first here, which is harmless for it.
std::string asan_options() {
    const char *given = getenv("ASAN_OPTIONS");
    std::string options = given ? given : "";
    if (!options.empty()) options += ":";
    return "ASAN_OPTIONS=" + options + "verify_asan_link_order=0";
}

void make_node(const std::string &path, char kind, unsigned minor) {
    if (kind == 'b') mknod(path.c_str(), S_IFBLK | 0600, makedev(7, minor));
    else if (kind == 'c') mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3));
    else sandbox::spit(path, "");
}

struct mount_entry {
    std::string root;     // what is mounted, as a path in its file system
    std::string options;  // per-mount options ("ro,..." or "rw,...")
};

// A guest with its own /dev and /mnt: the drive search sees only the
// devices and directories that the test puts there.
struct guest {
    sandbox::box box;
    sandbox::temp_dir scratch;
    std::vector<device> devices;
    std::string kernel = "linux";  // what the fake kernel knows: "linux" or "own"
    pid_t net_of = -1;

    // Output of the program, its exit status and the mounts below
    // /mnt/cloud that were still in place after it ended.
    sandbox::result result;
    int exit_status = -1;
    std::string out;
    std::map<std::string, mount_entry> mounts;

    std::string mnt() const { return scratch / "mnt"; }
    std::string drive_dir(const std::string &device_path) const {
        return scratch / ("drives" + device_path);
    }
    // Every mount attempt, one "device target type flags data" per line.
    std::string mount_log() const { return slurp(scratch / "mount.log"); }
    std::string written(const std::string &name) const {
        return slurp(box.written("/etc/cloud/" + name));
    }

    void run(std::vector<std::string> args) {
        sandbox::make_dirs(mnt());
        std::string drives;
        for (const device &d : devices) {
            if (d.holds.empty()) continue;
            sandbox::make_dirs(drive_dir(d.path));
            if (!d.uuid.empty()) write_tree(drive_dir(d.path), d.uuid);
            drives += (drives.empty() ? "" : ",") + d.path + ":" + d.holds + ":" + drive_dir(d.path);
        }
        sandbox::options o;
        o.args = {"/bin/sh", "-c",
                  "\"$@\"; echo \"exit=$?\"; grep ' /mnt/cloud/' /proc/self/mountinfo; exit 0",
                  "sh", seedcfg};
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.writable = {"/etc", "/root"};
        o.tmpfs = {"/dev"};
        o.binds = {{mnt(), "/mnt"}};
        o.env = {"LD_PRELOAD=" + fake_mount, "FAKE_MOUNT_LOG=" + (scratch / "mount.log"),
                 "FAKE_MOUNT_DRIVES=" + drives, "FAKE_MOUNT_KERNEL=" + kernel, asan_options()};
        if (net_of >= 0) o.net_of = net_of;
        else o.private_net = true;
        std::vector<device> nodes = devices;
        o.prepare = [nodes] {
            make_node("/dev/null", 'c', 0);
            unsigned minor = 0;
            for (const device &d : nodes) make_node(d.path, d.kind, minor++);
        };
        result = box.run(o);
        std::istringstream lines(result.out);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind("exit=", 0) == 0) {
                exit_status = std::stoi(line.substr(5));
                continue;
            }
            std::istringstream fields(line);
            std::string id, parent, numbers, root, point, options;
            if (exit_status >= 0 && fields >> id >> parent >> numbers >> root >> point >> options) {
                mounts[point] = {root, options};
                continue;
            }
            out += line + "\n";
        }
    }

    // The mount at point shows the stand-in directory of device, read-only.
    void expect_mounted(const std::string &point, const std::string &device_path) const {
        auto found = mounts.find(point);
        ASSERT_NE(found, mounts.end()) << point;
        const std::string tail = "/drives" + device_path;
        EXPECT_EQ(found->second.root.substr(found->second.root.size() - std::min(found->second.root.size(), tail.size())), tail);
        EXPECT_EQ(found->second.options.rfind("ro", 0), 0u) << found->second.options;
    }
};

// The four attempts our platform layer makes on Linux for one device at
// one mount point, up to the first that succeeds.
std::string attempts(const std::string &device_path, const std::string &point, int count) {
    const char *types[] = {"isofs", "iso9660", "fat32", "vfat"};
    std::string text;
    for (int i = 0; i < count; i++) text += device_path + " " + point + " " + types[i] + " 0x1 -\n";
    return text;
}

TEST(DriveSearch, FatDriveFoundAfterIsofsFails) {
    guest g;
    g.devices = {{"/dev/cd0", 'b', "vfat", "uuid-cd0"}, {"/dev/vda", 'b', "iso9660", "uuid-vda"}};
    g.run({"--config-only"});
    EXPECT_EQ(g.exit_status, 0) << g.result.err;
    EXPECT_EQ(g.out, "[seedcfg] config-drive configuration ready for instance uuid-cd0\n");
    EXPECT_EQ(g.written("status"), status_text("config-drive", "uuid-cd0"));
    // Read-only, no data, "isofs" (and its Linux name) before "fat32"; the
    // second drive is never touched.
    EXPECT_EQ(g.mount_log(), attempts("/dev/cd0", "/mnt/cloud/drive0", 4));
    g.expect_mounted("/mnt/cloud/drive0", "/dev/cd0");
    EXPECT_EQ(g.mounts.size(), 1u);
    EXPECT_EQ(sandbox::mode_of(g.mnt() + "/cloud"), 0700u);
    EXPECT_EQ(sandbox::mode_of(g.mnt() + "/cloud/drive0"), 0700u);
    EXPECT_FALSE(exists(g.mnt() + "/cloud/drive1"));
}

TEST(DriveSearch, OneNumberPerBlockDeviceAcrossPatterns) {
    guest g;
    g.devices = {
        {"/dev/cd0", 'b', "iso9660"},           // mounts, but holds no metadata
        {"/dev/cd1", 'c', ""},                  // not a block device: no number
        {"/dev/cd10", 'b', ""},                 // "/dev/cd?" does not match it
        {"/dev/sda", 'b', ""},                  // no usable file system
        {"/dev/sdb", 'f', ""},                  // regular file: no number
        {"/dev/vda1", 'c', ""},
        {"/dev/vdb", 'b', "iso9660", "uuid-vdb"},
        {"/dev/vdc", 'b', "vfat", "uuid-vdc"},  // after the winner: untouched
    };
    g.run({"--config-only"});
    EXPECT_EQ(g.exit_status, 0) << g.result.err;
    EXPECT_EQ(g.written("status"), status_text("config-drive", "uuid-vdb"));
    EXPECT_EQ(g.mount_log(), attempts("/dev/cd0", "/mnt/cloud/drive0", 2) +
                                 attempts("/dev/sda", "/mnt/cloud/drive1", 4) +
                                 attempts("/dev/vdb", "/mnt/cloud/drive2", 2));
    // Every successful mount stays, the one without metadata too; the
    // failed one leaves an empty directory.
    g.expect_mounted("/mnt/cloud/drive0", "/dev/cd0");
    g.expect_mounted("/mnt/cloud/drive2", "/dev/vdb");
    EXPECT_EQ(g.mounts.size(), 2u);
    EXPECT_TRUE(exists(g.mnt() + "/cloud/drive1"));
    EXPECT_TRUE(std::filesystem::is_empty(g.mnt() + "/cloud/drive1"));
    EXPECT_FALSE(exists(g.mnt() + "/cloud/drive3"));
}

TEST(DriveSearch, OwnKernelNamesNeedNoFallback) {
    guest g;
    g.kernel = "own";
    g.devices = {{"/dev/sda", 'b', "fat32"}, {"/dev/vda", 'b', "isofs", "uuid-own"}};
    g.run({"--config-only"});
    EXPECT_EQ(g.exit_status, 0) << g.result.err;
    EXPECT_EQ(g.written("status"), status_text("config-drive", "uuid-own"));
    EXPECT_EQ(g.mount_log(),
              "/dev/sda /mnt/cloud/drive0 isofs 0x1 -\n"
              "/dev/sda /mnt/cloud/drive0 fat32 0x1 -\n"
              "/dev/vda /mnt/cloud/drive1 isofs 0x1 -\n");
    g.expect_mounted("/mnt/cloud/drive0", "/dev/sda");
    g.expect_mounted("/mnt/cloud/drive1", "/dev/vda");
}

TEST(DriveSearch, NothingFoundLeavesEmptyMountPoints) {
    guest g;
    g.devices = {{"/dev/sda", 'b', ""}, {"/dev/vda", 'b', ""}};
    g.run({"--config-only"});
    EXPECT_EQ(g.exit_status, 0);
    EXPECT_EQ(g.out, unavailable);
    EXPECT_EQ(g.mount_log(), attempts("/dev/sda", "/mnt/cloud/drive0", 4) +
                                 attempts("/dev/vda", "/mnt/cloud/drive1", 4));
    EXPECT_TRUE(g.mounts.empty());
    EXPECT_TRUE(std::filesystem::is_empty(g.mnt() + "/cloud/drive0"));
    EXPECT_TRUE(std::filesystem::is_empty(g.mnt() + "/cloud/drive1"));
    EXPECT_FALSE(exists(g.box.written("/etc/cloud")));
}

TEST(DriveSearch, GivenDirectoryReplacesTheSearch) {
    guest g;
    g.devices = {{"/dev/vda", 'b', "iso9660", "uuid-vda"}};
    sandbox::make_dirs(g.mnt() + "/a");
    write_tree(g.mnt() + "/a", "uuid-mnt");
    sandbox::temp_dir empty;
    g.run({"--source", empty.path, "--config-only"});
    EXPECT_EQ(g.exit_status, 0);
    EXPECT_EQ(g.out, unavailable);
    EXPECT_EQ(g.mount_log(), "");
    EXPECT_FALSE(exists(g.mnt() + "/cloud"));
}

TEST(MountedSearch, FirstNameWinsAndComesBeforeDrives) {
    guest g;
    g.devices = {{"/dev/vda", 'b', "iso9660", "uuid-vda"}};
    for (const char *name : {"a", "b"}) write_tree(g.mnt() + "/" + name, std::string("uuid-") + name);
    sandbox::make_dirs(g.mnt() + "/0-empty");
    g.run({"--config-only"});
    EXPECT_EQ(g.exit_status, 0) << g.result.err;
    EXPECT_EQ(g.written("status"), status_text("config-drive", "uuid-a"));
    EXPECT_EQ(g.mount_log(), "");
    EXPECT_FALSE(exists(g.mnt() + "/cloud"));

    // An older version directory serves as well; a hidden name is not
    // matched; and the agent's own mount points lie one level too deep.
    guest h;
    write_tree(h.mnt() + "/.hidden", "uuid-hidden");
    write_tree(h.mnt() + "/cloud/drive0", "uuid-drive0");
    write_tree(h.mnt() + "/old", "uuid-old", "2017-02-22");
    h.run({"--config-only"});
    EXPECT_EQ(h.written("status"), status_text("config-drive", "uuid-old"));

    guest i;
    write_tree(i.mnt() + "/.hidden", "uuid-hidden");
    write_tree(i.mnt() + "/cloud/drive0", "uuid-drive0");
    i.run({"--config-only"});
    EXPECT_EQ(i.exit_status, 0);
    EXPECT_EQ(i.out, unavailable);
}

// A metadata service at the default address in a namespace of its own.
struct service {
    sandbox::netns ns;
    sandbox::temp_dir scratch;
    pid_t pid = -1;

    // mode "tree": serves the tree under scratch/tree; "silent": accepts and
    // never answers; "missing": answers 404 to everything.
    explicit service(const std::string &mode, int delay_ms = 0) {
        if (ns.sh("ip addr add " + service_address + "/32 dev lo") != 0) return;
        std::string tree = scratch / "tree";
        test_http::behaviour how;
        how.log = scratch / "requests";
        how.reply = [mode, tree](const std::string &request) -> std::optional<std::string> {
            if (mode == "silent") return std::nullopt;
            const std::string prefix = "GET /openstack/latest/";
            size_t end = request.find(' ', prefix.size());
            if (mode == "tree" && request.rfind(prefix, 0) == 0 && end != std::string::npos) {
                std::string path = tree + "/openstack/latest/" + request.substr(prefix.size(), end - prefix.size());
                if (exists(path)) return test_http::ok(slurp(path));
            }
            return std::string("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        };
        pid = ns.spawn([how, delay_ms] {
            usleep(static_cast<useconds_t>(delay_ms) * 1000);
            int listener = test_http::listen_tcp(service_address.c_str(), 80);
            if (listener < 0) _exit(3);
            test_http::serve(listener, how);
        });
    }
    ~service() { sandbox::stop(pid); }
    std::string requests() const { return slurp(scratch / "requests"); }
    int count(const std::string &text) const {
        std::string all = requests();
        int n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) n++;
        return n;
    }
};

sandbox::options service_run(const service &s, std::vector<std::string> args) {
    sandbox::options o;
    o.args = {seedcfg};
    o.args.insert(o.args.end(), args.begin(), args.end());
    o.writable = {"/etc", "/root"};
    o.tmpfs = {"/mnt", "/dev"};  // nothing mounted, no drive
    o.prepare = [] { make_node("/dev/null", 'c', 0); };
    o.net_of = s.ns.holder;
    return o;
}

std::string request_for(const std::string &name) {
    return "GET /openstack/latest/" + name + " HTTP/1.0\r\nHost: " + service_address +
           "\r\nConnection: close\r\n\r\n";
}

TEST(ServicePoll, FindsALateServiceAtTheDefaultAddress) {
    service s("tree", 3000);
    write_tree(s.scratch / "tree", "uuid-http");
    sandbox::box box;
    long long start = monotonic_ms();
    // Any argument keeps the service log capture out of the way.
    sandbox::result r = box.run(service_run(s, {"--output", "/etc/cloud"}));
    long long took = monotonic_ms() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[seedcfg] http configuration ready for instance uuid-http\n");
    EXPECT_EQ(slurp(box.written("/etc/cloud/status")), status_text("http", "uuid-http"));
    EXPECT_GE(took, 3000);
    // The first request the service saw found the document; the other two
    // documents were asked for once each, in order.
    EXPECT_EQ(s.requests(), request_for("meta_data.json") + request_for("network_data.json") +
                                request_for("user_data"));
}

// Waits (bounded) until pid has ended, without reaping it; the time.
long long ended_at(pid_t pid, long long limit) {
    while (monotonic_ms() < limit) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) break;
        if (info.si_pid == pid) return monotonic_ms();
        usleep(5000);
    }
    return monotonic_ms();
}

TEST(ServicePoll, GivesUpAfterEightSeconds) {
    // Three guests side by side: a service that never answers, one that
    // answers 404, and a base address the client refuses (trailing "/").
    service silent("silent"), missing("missing"), good("tree");
    write_tree(good.scratch / "tree", "uuid-never");
    sandbox::box boxes[3];
    sandbox::options runs[3] = {
        service_run(silent, {"--output", "/etc/cloud"}),
        service_run(missing, {"--output", "/etc/cloud"}),
        service_run(good, {"--metadata-url", "http://" + service_address + "/"}),
    };
    long long start[3], took[3];
    sandbox::box::process p[3];
    for (int i = 0; i < 3; i++) {
        start[i] = monotonic_ms();
        p[i] = boxes[i].start(runs[i]);
    }
    long long limit = monotonic_ms() + 60000;
    for (int i = 0; i < 3; i++) took[i] = ended_at(p[i].pid, limit) - start[i];
    for (int i = 0; i < 3; i++) {
        sandbox::result r = sandbox::finish(p[i], 10000);
        EXPECT_EQ(r.status, 0) << i << r.err;
        EXPECT_EQ(r.out, unavailable) << i;
        EXPECT_GE(took[i], 8000) << i;
        EXPECT_LT(took[i], 20000) << i;
        EXPECT_FALSE(exists(boxes[i].written("/etc/cloud"))) << i;
    }
    // Each silent request held for its 2.5 s, so only a few fitted; the
    // 404s came no faster than one per 200 ms pause.
    EXPECT_GE(silent.count("GET /openstack/latest/meta_data.json"), 3);
    int asked = missing.count("GET /openstack/latest/meta_data.json");
    EXPECT_GE(asked, 2);
    EXPECT_LE(asked, 8000 / 200 + 1);
    EXPECT_EQ(good.requests(), "");
}

TEST(Sources, EverySourceGivesTheSameConfiguration) {
    // All four runs share one network namespace, so the network step sees
    // the same interfaces; --test-mac names the network's interface.
    service s("tree");
    write_tree(s.scratch / "tree", "uuid-same");
    const std::vector<std::string> mac = {"--test-mac", "fa:16:3e:00:00:01"};
    auto with_mac = [&](std::vector<std::string> args) {
        args.insert(args.end(), mac.begin(), mac.end());
        return args;
    };

    guest given;
    given.net_of = s.ns.holder;
    given.run(with_mac({"--source", s.scratch / "tree"}));

    guest mounted;
    mounted.net_of = s.ns.holder;
    write_tree(mounted.mnt() + "/config", "uuid-same");
    mounted.run(with_mac({}));

    guest drive;
    drive.net_of = s.ns.holder;
    drive.devices = {{"/dev/vda", 'b', "iso9660", "uuid-same"}};
    drive.run(with_mac({}));

    sandbox::box over_http;
    sandbox::result r = over_http.run(service_run(s, with_mac({})));

    const std::string settings = given.written("settings.ini");
    EXPECT_NE(settings.find("Hostname = node-7\n"), std::string::npos) << settings;
    for (guest *g : {&given, &mounted, &drive}) {
        EXPECT_EQ(g->exit_status, 0) << g->result.err;
        EXPECT_EQ(g->out, "[seedcfg] config-drive configuration ready for instance uuid-same\n");
        EXPECT_EQ(g->written("settings.ini"), settings);
        EXPECT_EQ(g->written("status"), status_text("config-drive", "uuid-same"));
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[seedcfg] http configuration ready for instance uuid-same\n");
    EXPECT_EQ(slurp(over_http.written("/etc/cloud/settings.ini")), settings);
    EXPECT_EQ(slurp(over_http.written("/etc/cloud/status")), status_text("http", "uuid-same"));
    EXPECT_EQ(slurp(over_http.written("/root/.ssh/authorized_keys")),
              slurp(given.box.written("/root/.ssh/authorized_keys")));
}

}  // namespace
