// Unit tests of the network step over network_data.json documents, with
// --test-mac and with the stand-in for the platform's interface calls.
#include "agent/network.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "tests/fake_platform.h"

namespace {

using fake_platform::nic;

const nic lo{{0, 0, 0, 0, 0, 0}, false};
const nic nic_a{{0xfa, 0x16, 0x3e, 0x4c, 0x2a, 0x10}, false};
const nic nic_a_fails{{0xfa, 0x16, 0x3e, 0x4c, 0x2a, 0x10}, true};
const nic nic_b{{0xfa, 0x16, 0x3e, 0x77, 0x01, 0x02}, false};
const char *const mac_a = "fa:16:3e:4c:2a:10";

const std::string link_a = R"({"id":"tap-a","ethernet_mac_address":"FA:16:3E:4C:2A:10"})";
const std::string link_b = R"({"id":"tap-b","ethernet_mac_address":"fa:16:3e:77:01:02"})";
const std::string ip24 = R"("ip_address":"192.0.2.10","netmask":"255.255.255.0")";
const std::string none = "[seedcfg] no interface matching network MAC\n";
const std::string only_one = "[seedcfg] only one static IPv4 interface is supported\n";

std::string doc(const std::string &links, const std::string &networks, const std::string &services = "") {
    return R"({"links":[)" + links + R"(],"networks":[)" + networks + R"(],"services":[)" + services + "]}";
}
std::string net(const std::string &members, const std::string &link = "tap-a") {
    return R"({"type":"ipv4","link":")" + link + "\"," + members + "}";
}
std::string one(const std::string &members) { return doc(link_a, net(members)); }
std::string route(const std::string &network, const std::string &mask, const std::string &gateway) {
    return R"({"network":")" + network + R"(","netmask":")" + mask + R"(","gateway":)" + gateway + "}";
}
std::string section(int number, const std::string &gateway, const std::string &ip = "192.0.2.10",
                    const std::string &mask = "255.255.255.0") {
    return "[Network]\nMode = Static\nInterface = " + std::to_string(number) + "\nIP = " + ip +
           "\nSubnet = " + mask + "\nGateway = " + gateway + "\n";
}

struct outcome {
    std::string network, dns, err;
    int failed;
};

// Runs the step over the document with the given --test-mac (or null) and
// platform interfaces.
outcome run(const std::string &document, const char *mac, const std::vector<nic> &nics, long count = -2) {
    failed = 0;
    memset(network, 0, sizeof network);
    memset(dns, 0, sizeof dns);
    test_mac = mac;
    fake_platform::nics = nics;
    fake_platform::count = count == -2 ? static_cast<long>(nics.size()) : count;
    fake_platform::count_calls = fake_platform::address_calls = 0;
    auto parsed = std::make_unique<json_doc>();
    EXPECT_EQ(json_parse(parsed.get(), document.c_str(), document.size()), 0) << document;
    testing::internal::CaptureStderr();
    network_step(parsed.get());
    std::string err = testing::internal::GetCapturedStderr();
    test_mac = nullptr;
    return {network, dns, err, failed};
}

TEST(NetworkStep, Cases) {
    const std::string gw = R"("gateway":"192.0.2.254",)";
    const std::string default1 = route("0.0.0.0", "0.0.0.0", "\"192.0.2.1\"");
    const std::string no_address = R"({"id":"tap-a"})";
    const struct {
        std::string document;
        const char *mac;  // --test-mac, or null for the platform's interfaces
        std::vector<nic> nics;
        std::string network, err;
        int failed;
        std::string dns = "";
        int count_calls = -1;  // checked when not -1; never a call with --test-mac
    } cases[] = {
        // --test-mac matches in any letter case, as interface 0
        {one(ip24 + R"(,"gateway":"192.0.2.1")"), "fA:16:3e:4C:2a:10", {lo, nic_a}, section(0, "192.0.2.1"), "", 0},
        {one(ip24), "fa:16:3e:4c:2a:11", {nic_a}, "", none, 0},
        // the platform's interfaces: the document's upper-case address names the
        // platform index; a failed query is passed over and keeps later indexes
        {one(ip24), nullptr, {lo, nic_b, nic_a}, section(2, "0.0.0.0"), "", 0, "", 1},
        {one(ip24), nullptr, {lo, nic_a_fails, nic_b, nic_a}, section(3, "0.0.0.0"), "", 0},
        {one(ip24), nullptr, {lo, nic_a_fails}, "", none, 0},
        // no link entry, links not an array, no address: an empty address
        // matches nothing, not even an empty --test-mac
        {doc("", net(ip24)), nullptr, {lo, nic_a}, "", none, 0},
        {doc(no_address, net(ip24)), nullptr, {lo, nic_a}, "", none, 0},
        {doc(no_address, net(ip24)), "", {}, "", none, 0},
        {R"({"links":{"id":"tap-a"},"networks":[)" + net(ip24) + "]}", "", {}, "", none, 0},
        // the link is found by its id; of entries with the same id, a later
        // readable address wins
        {doc(link_a + "," + link_b, net(ip24)), mac_a, {}, section(0, "0.0.0.0"), "", 0},
        {doc(link_a, net(ip24, "tap-x")), mac_a, {}, "", none, 0},
        {doc(link_a + R"(,{"id":"tap-a","ethernet_mac_address":"fa:16:3e:77:01:02"})", net(ip24)),
         "fa:16:3e:77:01:02", {}, section(0, "0.0.0.0"), "", 0},
        {doc(link_a + "," + no_address, net(ip24)), mac_a, {}, section(0, "0.0.0.0"), "", 0},
        {doc(link_a + R"(,{"id":"tap-a","ethernet_mac_address":17})", net(ip24)), mac_a, {},
         section(0, "0.0.0.0"), "", 0},
        {doc(link_a + R"(,{"id":"tap-a","ethernet_mac_address":")" + std::string(40, 'f') + "\"}", net(ip24)),
         mac_a, {}, section(0, "0.0.0.0"), "", 0},
        // the gateway: the last default route with a readable gateway, else the
        // network's own, else 0.0.0.0; "0" is no default netmask
        {one(gw + R"("routes":[)" + default1 + "]," + ip24), mac_a, {}, section(0, "192.0.2.1"), "", 0},
        {one(R"("routes":[)" + default1 + "," + route("198.51.100.0", "255.255.255.0", "\"192.0.2.7\"") + "," +
             route("0.0.0.0", "0.0.0.0", "\"192.0.2.2\"") + "]," + ip24),
         mac_a, {}, section(0, "192.0.2.2"), "", 0},
        {one(gw + R"("routes":[)" + route("0.0.0.0", "0", "\"192.0.2.1\"") + "]," + ip24), mac_a, {},
         section(0, "192.0.2.254"), "", 0},
        {one(R"("routes":[)" + default1 + "," + route("0.0.0.0", "0.0.0.0", "null") + "," +
             route("0.0.0.0", "0.0.0.0", "\"" + std::string(70, '1') + "\"") + "]," + ip24),
         mac_a, {}, section(0, "192.0.2.1"), "", 0},
        {one(R"("routes":{},"gateway":")" + std::string(64, '9') + "\"," + ip24), mac_a, {},
         section(0, "0.0.0.0"), "", 0},
        // addresses that are not dotted IPv4 refuse, silently
        {one(R"("ip_address":"192.0.2.10","netmask":"24")"), mac_a, {}, "", "", 1},
        {one(R"("ip_address":"192.0.2.10/24","netmask":"255.255.255.0")"), mac_a, {}, "", "", 1},
        {one(R"("ip_address":"2001:db8::10","netmask":"255.255.255.0")"), mac_a, {}, "", "", 1},
        {one(ip24 + R"(,"gateway":"gw.example")"), mac_a, {}, "", "", 1},
        {one(ip24 + R"(,"routes":[)" + route("0.0.0.0", "0.0.0.0", "\"192.0.2.1 \"") + "]"), mac_a, {}, "", "", 1},
        // networks passed over silently; a later one can still be configured
        {doc(link_a, R"({"type":"IPV4","link":"tap-a",)" + ip24 + "}"), mac_a, {}, "", "", 0},
        {doc(link_a, R"({"type":"ipv4_dhcp","link":"tap-a"})"), mac_a, {}, "", "", 0},
        {doc(link_a, R"({"link":"tap-a",)" + ip24 + "}"), mac_a, {}, "", "", 0},
        {doc(link_a, R"({"type":"ipv4",)" + ip24 + "}"), mac_a, {}, "", "", 0},
        {doc(link_a, net(ip24, std::string(128, 'x'))), mac_a, {}, "", "", 0},
        {doc(link_a, R"("ipv4",[])"), mac_a, {}, "", "", 0},
        {doc(link_a, net(R"("ip_address":"192.0.2.10","netmask":24)") + "," +
                         net(R"("ip_address":"192.0.2.11","netmask":"255.255.0.0")")),
         mac_a, {}, section(0, "0.0.0.0", "192.0.2.11", "255.255.0.0"), "", 0},
        {doc(link_a, net(R"("netmask":"255.255.255.0")")), mac_a, {}, "", "", 0},
        // two matching networks: the first, and one warning; asked afresh each time
        {doc(link_a + "," + link_b, net(R"("ip_address":"198.51.100.5","netmask":"255.255.255.0")", "tap-b") +
                                        "," + net(ip24)),
         nullptr, {lo, nic_a, nic_b}, section(2, "0.0.0.0", "198.51.100.5"), only_one, 0, "", 2},
        // name servers: IPv4 "dns" services only, numbered as accepted, also
        // when no network matched
        {doc(link_a, net(ip24),
             R"({"type":"dns","address":"192.0.2.53"},{"type":"dns","address":"2001:db8::53"},)"
             R"({"type":"DNS","address":"192.0.2.99"},{"type":"ntp","address":"192.0.2.123"},)"
             R"({"type":"dns","address":"192.0.2.054"},{"type":"dns"},{"type":"dns","address":"198.51.100.53"})"),
         nullptr, {lo}, "", none, 0, "1 = 192.0.2.53\n2 = 198.51.100.53\n"},
        // documents of another shape do nothing
        {R"({"links":[)" + link_a + R"(],"networks":)" + net(ip24) + "}", mac_a, {}, "", "", 0},
        {"[" + doc(link_a, net(ip24), R"({"type":"dns","address":"192.0.2.53"})") + "]", mac_a, {}, "", "", 0},
        {R"({"services":{"type":"dns","address":"192.0.2.53"}})", mac_a, {}, "", "", 0},
        {"{}", mac_a, {}, "", "", 0},
        {"null", nullptr, {nic_a}, "", "", 0, "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.document);
        outcome o = run(c.document, c.mac, c.nics);
        EXPECT_EQ(o.network, c.network);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.failed, c.failed);
        EXPECT_EQ(o.dns, c.dns);
        if (c.mac) {
            EXPECT_EQ(fake_platform::count_calls + fake_platform::address_calls, 0);
        } else if (c.count_calls >= 0) {
            EXPECT_EQ(fake_platform::count_calls, c.count_calls);
        }
    }
}

TEST(NetworkStep, NegativeInterfaceCountMeansNone) {
    outcome o = run(one(ip24), nullptr, {nic_a}, -1);
    EXPECT_EQ(o.network, "");
    EXPECT_EQ(o.err, none);
    EXPECT_EQ(fake_platform::address_calls, 0);
}

TEST(NetworkStep, NameServerOverflowRefusesAndDropsTheLine) {
    std::string services;
    for (int i = 0; i < 100; i++)  // 5 tokens each: within the 512 slots
        services += std::string(i ? "," : "") + R"({"type":"dns","address":"255.255.255.)" +
                    std::to_string(100 + i) + "\"}";
    outcome o = run(doc("", "", services), mac_a, {});
    EXPECT_EQ(o.failed, 1);
    ASSERT_GT(o.dns.size(), dns_size - 24);  // full up to less than one line
    EXPECT_LT(o.dns.size(), dns_size);
    EXPECT_EQ(o.dns.substr(0, 20), "1 = 255.255.255.100\n");
    EXPECT_EQ(o.dns.back(), '\n');
}

}  // namespace
