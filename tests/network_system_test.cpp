// System tests of the network step: the real seedcfg inside private network
// namespaces whose veth interfaces carry chosen hardware addresses, and the
// platform's interface calls answered by the Linux stand-in there.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/netif.h"
#include "tests/sandbox.h"

namespace {

const std::string data_dir = std::string(SOURCE_DIR) + "/tests/data/network";
const std::string instance_id = "d8e02d56-2648-49a3-bf97-6be8f1204f38";

std::string example_settings() { return sandbox::slurp(data_dir + "/settings.ini"); }
std::string realistic_network() { return sandbox::slurp(data_dir + "/openstack/latest/network_data.json"); }

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// One interface as `ip -o link` lists it.
struct listed {
    int kernel_index;
    std::string name;
    std::string kind;     // "ether", "loopback", "sit", ...
    std::string address;  // as ip prints it
};

// The namespace's interfaces in kernel index order: position i is the
// platform index i of the stand-in.
std::vector<listed> interfaces_of(const sandbox::netns &ns, const sandbox::temp_dir &scratch) {
    std::string file = scratch / "links";
    EXPECT_EQ(ns.sh("ip -o link show > " + file), 0);
    std::vector<listed> all;
    std::istringstream lines(sandbox::slurp(file));
    std::string line;
    while (std::getline(lines, line)) {
        listed l{};
        char name[64] = {};
        if (sscanf(line.c_str(), "%d: %63[^:@]", &l.kernel_index, name) != 2) continue;
        l.name = name;
        size_t at = line.find("link/");
        if (at != std::string::npos) {
            std::istringstream rest(line.substr(at + 5));
            rest >> l.kind >> l.address;
        }
        all.push_back(l);
    }
    std::sort(all.begin(), all.end(), [](const listed &a, const listed &b) { return a.kernel_index < b.kernel_index; });
    return all;
}

int platform_index(const std::vector<listed> &all, const std::string &name) {
    for (size_t i = 0; i < all.size(); i++)
        if (all[i].name == name) return static_cast<int>(i);
    return -1;
}

// A metadata tree: the realistic meta_data.json and the given network document.
void write_metadata(const sandbox::temp_dir &tree, const std::string &network_data) {
    sandbox::make_dirs(tree / "openstack/latest");
    sandbox::spit(tree / "openstack/latest/meta_data.json",
                  sandbox::slurp(data_dir + "/openstack/latest/meta_data.json"));
    sandbox::spit(tree / "openstack/latest/network_data.json", network_data);
}

struct run_result {
    sandbox::result r;
    std::string settings;
};

// Runs seedcfg over a metadata directory, in the namespace held by net_of
// (or a private empty one), with its output in the box.
run_result seedcfg(const std::string &source, pid_t net_of, const std::vector<std::string> &extra = {}) {
    sandbox::box b;
    sandbox::options o;
    std::string out = b.root / "cloud";
    o.args = {SEEDCFG_PATH, "--source", source, "--output", out, "--keys-file", b.root / "authorized_keys"};
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    o.writable = {"/etc", "/root"};
    o.net_of = net_of;
    o.private_net = net_of < 0;
    o.timeout_ms = 30000;
    run_result rr;
    rr.r = b.run(o);
    rr.settings = sandbox::slurp(out + "/settings.ini");
    return rr;
}

// Two veth pairs with chosen addresses; the realistic document's first link
// is "FA:16:3E:4C:2A:10", its second "fa:16:3e:77:01:02".
void add_interfaces(const sandbox::netns &ns) {
    ASSERT_EQ(ns.sh("ip link add va type veth peer name vb && "
                    "ip link set va address fa:16:3e:4c:2a:10 && "
                    "ip link set vb address 02:00:00:00:00:0b && "
                    "ip link add vc type veth peer name vd && "
                    "ip link set vc address fa:16:3e:77:01:02 && "
                    "ip link set vd address 02:00:00:00:00:0d"),
              0);
}

TEST(NetworkSystem, SettingsExampleWithTestMac) {
    auto rr = seedcfg(data_dir, -1, {"--test-mac", "fa:16:3e:4c:2a:10"});
    EXPECT_EQ(rr.r.status, 0) << rr.r.err;
    EXPECT_EQ(rr.r.err, "");
    EXPECT_EQ(rr.r.out, "[seedcfg] config-drive configuration ready for instance " + instance_id + "\n");
    EXPECT_EQ(rr.settings, example_settings());
}

TEST(NetworkSystem, SettingsExampleThroughNamespaceInterfaces) {
    sandbox::netns ns;
    sandbox::temp_dir scratch;
    add_interfaces(ns);
    auto all = interfaces_of(ns, scratch);
    int va = platform_index(all, "va");
    ASSERT_GT(va, 0);  // loopback comes first

    // The document's upper-case address matches va's lower-case one; the
    // section names va's platform index.
    auto rr = seedcfg(data_dir, ns.holder);
    EXPECT_EQ(rr.r.status, 0) << rr.r.err;
    EXPECT_EQ(rr.r.err, "");
    EXPECT_EQ(rr.settings,
              replace_all(example_settings(), "Interface = 0", "Interface = " + std::to_string(va)));

    // Platform index 0 is loopback, whose address is all zeros: a link with
    // that address gives the example exactly.
    sandbox::temp_dir tree;
    write_metadata(tree, replace_all(realistic_network(), "FA:16:3E:4C:2A:10", "00:00:00:00:00:00"));
    rr = seedcfg(tree.path, ns.holder);
    EXPECT_EQ(rr.r.status, 0) << rr.r.err;
    EXPECT_EQ(rr.settings, example_settings());
}

TEST(NetworkSystem, UpperCaseAddressNamesThatInterfacesIndex) {
    sandbox::netns ns;
    sandbox::temp_dir scratch;
    add_interfaces(ns);
    auto all = interfaces_of(ns, scratch);
    // Neither the first nor the last interface: a match must not be an accident
    // of the loop's ends.
    int va = platform_index(all, "va");
    ASSERT_GT(va, 0);
    ASSERT_LT(va, static_cast<int>(all.size()) - 1);

    sandbox::temp_dir tree;
    write_metadata(tree, R"({"links":[{"id":"l1","ethernet_mac_address":"FA:16:3E:4C:2A:10"}],
        "networks":[{"type":"ipv4","link":"l1","ip_address":"198.51.100.7","netmask":"255.255.255.128",
                     "gateway":"198.51.100.1"}]})");
    auto rr = seedcfg(tree.path, ns.holder);
    EXPECT_EQ(rr.r.status, 0) << rr.r.err;
    EXPECT_EQ(rr.r.err, "");
    EXPECT_EQ(rr.settings, "[System]\nHostname = node-1\n[Network]\nMode = Static\nInterface = " +
                               std::to_string(va) +
                               "\nIP = 198.51.100.7\nSubnet = 255.255.255.128\nGateway = 198.51.100.1\n"
                               "[SSH]\nEnabled = 1\nLogin = root\nPassword = \nPasswordHash = \n");
}

TEST(NetworkSystem, TwoMatchingNetworksGiveTheFirstAndOneWarning) {
    sandbox::netns ns;
    add_interfaces(ns);

    // Both links of the realistic document carry an IPv4 network here.
    sandbox::temp_dir tree;
    write_metadata(tree, replace_all(realistic_network(), R"("type": "ipv4_dhcp",)",
                                     R"("type": "ipv4", "ip_address": "203.0.113.9", "netmask": "255.255.255.0",)"));
    auto rr = seedcfg(tree.path, ns.holder);
    EXPECT_EQ(rr.r.status, 0) << rr.r.err;
    EXPECT_EQ(rr.r.err, "[seedcfg] only one static IPv4 interface is supported\n");
    EXPECT_NE(rr.settings.find("IP = 192.0.2.10\n"), std::string::npos) << rr.settings;
    EXPECT_EQ(rr.settings.find("203.0.113.9"), std::string::npos) << rr.settings;
    EXPECT_EQ(occurrences(rr.settings, "[Network]"), 1u);
}

TEST(NetworkSystem, NoMatchingInterfaceLeavesTheNameServersOnly) {
    sandbox::netns ns;
    ASSERT_EQ(ns.sh("ip link add va type veth peer name vb && ip link set va address 02:00:00:00:00:0a"), 0);
    auto rr = seedcfg(data_dir, ns.holder);
    EXPECT_EQ(rr.r.status, 0) << rr.r.err;
    EXPECT_EQ(rr.r.err, "[seedcfg] no interface matching network MAC\n");
    EXPECT_EQ(rr.settings, "[System]\nHostname = node-1\n[DNS]\n1 = 192.0.2.53\n"
                           "[SSH]\nEnabled = 1\nLogin = root\nPassword = \nPasswordHash = \n");
}

// Waits for a child of this test by its pid, within a bounded time.
int wait_child(pid_t pid) {
    for (int tries = 0; tries < 2500; tries++) {
        int status = 0;
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (w < 0) return -1;
        usleep(2000);
    }
    sandbox::stop(pid);
    return -1;
}

TEST(NetworkPlatform, StandInListsInterfacesInKernelIndexOrder) {
    sandbox::netns ns;
    sandbox::temp_dir scratch;
    // Sparse kernel indexes: the platform index is the rank, not the index.
    ASSERT_EQ(ns.sh("ip link add ve index 257 type veth peer name vf index 200 && "
                    "ip link set ve address 02:00:00:00:01:01"),
              0);
    add_interfaces(ns);
    auto all = interfaces_of(ns, scratch);
    ASSERT_GE(all.size(), 7u);
    EXPECT_EQ(all.back().name, "ve");

    // The calls as the agent makes them, from inside the namespace.
    std::string report = scratch / "report";
    pid_t child = ns.spawn([&] {
        FILE *f = fopen(report.c_str(), "w");
        if (!f) _exit(1);
        long n = interface_count();
        fprintf(f, "%ld\n", n);
        for (long i = 0; i <= n; i++) {
            unsigned char a[hardware_address_size] = {};
            if (interface_address(i, a, sizeof a) < 0)
                fprintf(f, "-\n");
            else
                fprintf(f, "%02x:%02x:%02x:%02x:%02x:%02x\n", a[0], a[1], a[2], a[3], a[4], a[5]);
        }
        unsigned char short_buffer[4] = {};
        fprintf(f, "%ld\n", interface_address(0, short_buffer, sizeof short_buffer));
        fclose(f);
        _exit(0);
    });
    ASSERT_EQ(wait_child(child), 0);

    std::string expected = std::to_string(all.size()) + "\n";
    for (const auto &l : all)
        expected += (l.kind == "ether" || l.kind == "loopback") ? l.address + "\n" : "-\n";
    expected += "-\n-1\n";  // one past the last index; a buffer too short
    EXPECT_EQ(sandbox::slurp(report), expected);
    EXPECT_EQ(all[0].name, "lo");
    EXPECT_EQ(all[0].address, "00:00:00:00:00:00");
}

}  // namespace
