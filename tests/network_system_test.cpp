// System tests of the network step: the real seedcfg inside private network
// namespaces whose veth interfaces carry chosen hardware addresses, and the
// platform's interface calls answered by the Linux stand-in there.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "platform/netif.h"
#include "tests/sandbox.h"

namespace {

const std::string data_dir = std::string(SOURCE_DIR) + "/tests/data/network";
const std::string example = sandbox::slurp(data_dir + "/settings.ini");
const std::string realistic = sandbox::slurp(data_dir + "/openstack/latest/network_data.json");

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// One interface as `ip -o link` lists it.
struct listed {
    int kernel_index;
    std::string name, kind, address;  // kind: "ether", "loopback", "sit", ...
};

// The namespace's interfaces in kernel index order: position i is the
// stand-in's platform index i.
std::vector<listed> interfaces_of(const sandbox::netns &ns) {
    sandbox::temp_dir scratch;
    EXPECT_EQ(ns.sh("ip -o link show > " + scratch / "links"), 0);
    std::vector<listed> all;
    std::istringstream lines(sandbox::slurp(scratch / "links"));
    for (std::string line; std::getline(lines, line);) {
        listed l{};
        char name[64] = {};
        if (sscanf(line.c_str(), "%d: %63[^:@]", &l.kernel_index, name) != 2) continue;
        l.name = name;
        if (size_t at = line.find("link/"); at != std::string::npos)
            std::istringstream(line.substr(at + 5)) >> l.kind >> l.address;
        all.push_back(l);
    }
    std::sort(all.begin(), all.end(), [](auto &a, auto &b) { return a.kernel_index < b.kernel_index; });
    return all;
}

// Two veth pairs; va carries the realistic document's first link address
// (written there in upper case), vc its second.
void add_interfaces(const sandbox::netns &ns) {
    ASSERT_EQ(ns.sh("ip link add va type veth peer name vb && ip link set va address fa:16:3e:4c:2a:10 && "
                    "ip link set vb address 02:00:00:00:00:0b && "
                    "ip link add vc type veth peer name vd && ip link set vc address fa:16:3e:77:01:02 && "
                    "ip link set vd address 02:00:00:00:00:0d"),
              0);
}

// Runs seedcfg over the realistic meta_data.json and the given network
// document, in the namespace held by net_of (or a private empty one).
sandbox::result seedcfg(const std::string &network_data, pid_t net_of, std::string *settings,
                        const std::vector<std::string> &extra = {}) {
    sandbox::temp_dir tree;
    sandbox::make_dirs(tree / "openstack/latest");
    sandbox::spit(tree / "openstack/latest/meta_data.json",
                  sandbox::slurp(data_dir + "/openstack/latest/meta_data.json"));
    sandbox::spit(tree / "openstack/latest/network_data.json", network_data);
    sandbox::box b;
    sandbox::options o;
    o.args = {SEEDCFG_PATH, "--source", tree.path, "--output", b.root / "cloud", "--keys-file", b.root / "keys"};
    o.args.insert(o.args.end(), extra.begin(), extra.end());
    o.writable = {"/etc", "/root"};
    o.net_of = net_of;
    o.private_net = net_of < 0;
    o.timeout_ms = 30000;
    sandbox::result r = b.run(o);
    *settings = sandbox::slurp(b.root / "cloud/settings.ini");
    return r;
}

TEST(NetworkSystem, SettingsExampleWithTestMac) {
    std::string settings;
    auto r = seedcfg(realistic, -1, &settings, {"--test-mac", "fa:16:3e:4c:2a:10"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "[seedcfg] config-drive configuration ready for instance d8e02d56-2648-49a3-bf97-6be8f1204f38\n");
    EXPECT_EQ(settings, example);
}

TEST(NetworkSystem, NamespaceInterfaces) {
    sandbox::netns ns;
    add_interfaces(ns);
    auto all = interfaces_of(ns);
    int va = -1;
    for (size_t i = 0; i < all.size(); i++)
        if (all[i].name == "va") va = static_cast<int>(i);
    // Neither the first (loopback) nor the last: a match is no accident of
    // the loop's ends.
    ASSERT_GT(va, 0);
    ASSERT_LT(va, static_cast<int>(all.size()) - 1);

    // The document's upper-case address matches va; the section names va's
    // platform index.
    std::string settings;
    auto r = seedcfg(realistic, ns.holder, &settings);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(settings, replaced(example, "Interface = 0", "Interface = " + std::to_string(va)));

    // Platform index 0 is loopback here, the only interface a namespace
    // cannot renumber: addressed by its MAC, the section is the example's own.
    r = seedcfg(replaced(realistic, "FA:16:3E:4C:2A:10", "00:00:00:00:00:00"), ns.holder, &settings);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(settings, example);

    // Both links carry an IPv4 network: the first is configured, one warning.
    r = seedcfg(replaced(realistic, R"("type": "ipv4_dhcp",)",
                         R"("type": "ipv4", "ip_address": "203.0.113.9", "netmask": "255.255.255.0",)"),
                ns.holder, &settings);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "[seedcfg] only one static IPv4 interface is supported\n");
    EXPECT_EQ(settings, replaced(example, "Interface = 0", "Interface = " + std::to_string(va)));

    // No interface has the address: the warning, and the name servers only.
    r = seedcfg(replaced(realistic, "FA:16:3E:4C:2A:10", "02:00:00:00:00:0a"), ns.holder, &settings);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "[seedcfg] no interface matching network MAC\n");
    EXPECT_EQ(settings, "[System]\nHostname = node-1\n[DNS]\n1 = 192.0.2.53\n"
                        "[SSH]\nEnabled = 1\nLogin = root\nPassword = \nPasswordHash = \n");
}

TEST(NetworkPlatform, StandInListsInterfacesInKernelIndexOrder) {
    sandbox::netns ns;
    // Sparse kernel indexes: the platform index is the rank, not the index.
    // A tun device (where the machine offers them) has no hardware address.
    ASSERT_EQ(ns.sh("ip link add ve index 257 type veth peer name vf index 200 && "
                    "ip link set ve address 02:00:00:00:01:01 && (ip tuntap add mode tun name tn0 || true)"),
              0);
    add_interfaces(ns);
    auto all = interfaces_of(ns);
    ASSERT_GE(all.size(), 7u);
    EXPECT_EQ(all.front().name, "lo");
    EXPECT_EQ(all.back().name, "ve");

    // The calls as the agent makes them, from inside the namespace.
    sandbox::temp_dir scratch;
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
        _exit(fclose(f) == 0 ? 0 : 1);
    });
    int status = -1;
    for (int tries = 0; tries < 2500 && waitpid(child, &status, WNOHANG) == 0; tries++) usleep(2000);
    if (!WIFEXITED(status)) sandbox::stop(child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::string expected = std::to_string(all.size()) + "\n";
    for (const auto &l : all)  // addresses of Ethernet and loopback devices only
        expected += (l.kind == "ether" || l.kind == "loopback") ? l.address + "\n" : "-\n";
    expected += "-\n-1\n";  // one past the last index; a buffer too short
    EXPECT_EQ(sandbox::slurp(report), expected);
}

}  // namespace
