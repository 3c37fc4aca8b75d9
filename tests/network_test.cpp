// Unit tests of the network step over network_data.json documents, with
// --test-mac and with a table-driven stand-in for the interface calls.
#include "agent/network.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "agent/agent.h"
#include "tests/fake_platform.h"

namespace {

struct outcome {
    std::string network;
    std::string dns;
    std::string err;
    int failed;
};

class NetworkStep : public ::testing::Test {
protected:
    void SetUp() override {
        failed = 0;
        memset(network, 0, sizeof network);
        memset(dns, 0, sizeof dns);
        test_mac = nullptr;
        fake_platform::reset();
    }
    void TearDown() override { test_mac = nullptr; }

    // Parses the document and runs the step on it.
    outcome run(const std::string &document) {
        auto doc = std::make_unique<json_doc>();
        EXPECT_EQ(json_parse(doc.get(), document.c_str(), document.size()), 0) << document;
        testing::internal::CaptureStderr();
        network_step(doc.get());
        outcome o;
        o.err = testing::internal::GetCapturedStderr();
        o.network = network;
        o.dns = dns;
        o.failed = failed;
        return o;
    }

    static void interface(size_t index, const unsigned char (&address)[6], bool fails = false) {
        memcpy(fake_platform::interfaces[index].address, address, 6);
        fake_platform::interfaces[index].fails = fails;
        if (static_cast<long>(index) >= fake_platform::count) fake_platform::count = static_cast<long>(index) + 1;
    }
};

constexpr unsigned char loopback[6] = {0, 0, 0, 0, 0, 0};
constexpr unsigned char nic_a[6] = {0xfa, 0x16, 0x3e, 0x4c, 0x2a, 0x10};
constexpr unsigned char nic_b[6] = {0xfa, 0x16, 0x3e, 0x77, 0x01, 0x02};

const std::string link_a = R"({"id":"tap-a","type":"ovs","ethernet_mac_address":"FA:16:3E:4C:2A:10"})";
const std::string link_b = R"({"id":"tap-b","type":"ovs","ethernet_mac_address":"fa:16:3e:77:01:02"})";

std::string section(int number, const std::string &ip, const std::string &mask, const std::string &gateway) {
    return "[Network]\nMode = Static\nInterface = " + std::to_string(number) + "\nIP = " + ip +
           "\nSubnet = " + mask + "\nGateway = " + gateway + "\n";
}

// A document with link_a and one IPv4 network on it; extra members go inside
// the network object.
std::string one_network(const std::string &members) {
    return R"({"links":[)" + link_a + R"(],"networks":[{"type":"ipv4","link":"tap-a",)" + members + "}]}";
}

TEST_F(NetworkStep, TestMacMatchesInAnyCaseWithoutPlatformCalls) {
    test_mac = "fA:16:3e:4C:2a:10";
    interface(1, nic_a);
    auto o = run(one_network(R"("ip_address":"192.0.2.10","netmask":"255.255.255.0","gateway":"192.0.2.1")"));
    EXPECT_EQ(o.network, section(0, "192.0.2.10", "255.255.255.0", "192.0.2.1"));
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.failed, 0);
    EXPECT_EQ(fake_platform::count_calls, 0);
    EXPECT_EQ(fake_platform::address_calls, 0);

    SetUp();
    test_mac = "fa:16:3e:4c:2a:11";
    o = run(one_network(R"("ip_address":"192.0.2.10","netmask":"255.255.255.0")"));
    EXPECT_EQ(o.network, "");
    EXPECT_EQ(o.err, "[seedcfg] no interface matching network MAC\n");
    EXPECT_EQ(o.failed, 0);
    EXPECT_EQ(fake_platform::count_calls, 0);
}

TEST_F(NetworkStep, UpperCaseDocumentAddressNamesThePlatformIndex) {
    interface(0, loopback);
    interface(1, nic_b);
    interface(2, nic_a);
    auto o = run(one_network(R"("ip_address":"192.0.2.10","netmask":"255.255.255.0")"));
    EXPECT_EQ(o.network, section(2, "192.0.2.10", "255.255.255.0", "0.0.0.0"));
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(fake_platform::count_calls, 1);
}

TEST_F(NetworkStep, FailedAddressQueryKeepsLaterIndexes) {
    interface(0, loopback);
    interface(1, nic_a, true);  // would match, but its query fails
    interface(2, nic_b);
    interface(3, nic_a);
    auto o = run(one_network(R"("ip_address":"192.0.2.10","netmask":"255.255.255.0")"));
    EXPECT_EQ(o.network, section(3, "192.0.2.10", "255.255.255.0", "0.0.0.0"));
    EXPECT_EQ(fake_platform::address_calls, 4);

    // With the only carrier of the address failing, nothing matches.
    SetUp();
    interface(0, loopback);
    interface(1, nic_a, true);
    o = run(one_network(R"("ip_address":"192.0.2.10","netmask":"255.255.255.0")"));
    EXPECT_EQ(o.network, "");
    EXPECT_EQ(o.err, "[seedcfg] no interface matching network MAC\n");
    EXPECT_EQ(o.failed, 0);
}

TEST_F(NetworkStep, NoUsableInterfaceOrLinkAddress) {
    const std::string members = R"("ip_address":"192.0.2.10","netmask":"255.255.255.0")";
    // A negative count means no interfaces.
    memcpy(fake_platform::interfaces[0].address, nic_a, 6);
    fake_platform::count = -1;
    auto o = run(one_network(members));
    EXPECT_EQ(o.network, "");
    EXPECT_EQ(o.err, "[seedcfg] no interface matching network MAC\n");
    EXPECT_EQ(fake_platform::address_calls, 0);

    // The link has no entry, the links are not an array, or the entry has no
    // address: no match, whatever the interfaces are. An empty address never
    // matches, not even an empty --test-mac.
    const std::string bodies[] = {
        R"({"links":[],"networks":[{"type":"ipv4","link":"tap-a",)" + members + "}]}",
        R"({"links":{"id":"tap-a"},"networks":[{"type":"ipv4","link":"tap-a",)" + members + "}]}",
        R"({"links":[{"id":"tap-a"}],"networks":[{"type":"ipv4","link":"tap-a",)" + members + "}]}",
    };
    for (const auto &body : bodies) {
        SetUp();
        interface(0, loopback);
        o = run(body);
        EXPECT_EQ(o.network, "") << body;
        EXPECT_EQ(o.err, "[seedcfg] no interface matching network MAC\n") << body;
        SetUp();
        test_mac = "";
        o = run(body);
        EXPECT_EQ(o.network, "") << body;
        EXPECT_EQ(o.err, "[seedcfg] no interface matching network MAC\n") << body;
        EXPECT_EQ(o.failed, 0);
    }
}

TEST_F(NetworkStep, LinkEntriesWithTheSameIdLaterReadableAddressWins) {
    test_mac = "fa:16:3e:77:01:02";
    const std::string tail =
        R"(],"networks":[{"type":"ipv4","link":"tap-a","ip_address":"192.0.2.10","netmask":"255.255.255.0"}]})";
    auto o = run(R"({"links":[)" + link_a + R"(,{"id":"tap-a","ethernet_mac_address":"fa:16:3e:77:01:02"})" + tail);
    EXPECT_EQ(o.network, section(0, "192.0.2.10", "255.255.255.0", "0.0.0.0"));

    // A later entry whose address is missing, not a string or too long for
    // its 32-byte buffer keeps the earlier address.
    const std::string unreadable[] = {
        R"({"id":"tap-a"})",
        R"({"id":"tap-a","ethernet_mac_address":17})",
        R"({"id":"tap-a","ethernet_mac_address":")" + std::string(40, 'f') + R"("})",
    };
    for (const auto &entry : unreadable) {
        SetUp();
        test_mac = "fa:16:3e:4c:2a:10";
        o = run(R"({"links":[)" + link_a + "," + entry + tail);
        EXPECT_EQ(o.network, section(0, "192.0.2.10", "255.255.255.0", "0.0.0.0")) << entry;
    }
}

TEST_F(NetworkStep, GatewayChoice) {
    test_mac = "fa:16:3e:4c:2a:10";
    const std::string base = R"("ip_address":"192.0.2.10","netmask":"255.255.255.0",)";
    struct {
        std::string members;
        std::string gateway;
    } cases[] = {
        {R"("ip_address":"192.0.2.10","netmask":"255.255.255.0")", "0.0.0.0"},
        {base + R"("gateway":"192.0.2.254","routes":[{"network":"0.0.0.0","netmask":"0.0.0.0","gateway":"192.0.2.1"}])",
         "192.0.2.1"},
        {base + R"("routes":[{"network":"0.0.0.0","netmask":"0.0.0.0","gateway":"192.0.2.1"},)"
                R"({"network":"198.51.100.0","netmask":"255.255.255.0","gateway":"192.0.2.7"},)"
                R"({"network":"0.0.0.0","netmask":"0.0.0.0","gateway":"192.0.2.2"}])",
         "192.0.2.2"},
        // Netmask "0" is not a default route.
        {base + R"("gateway":"192.0.2.254","routes":[{"network":"0.0.0.0","netmask":"0","gateway":"192.0.2.1"}])",
         "192.0.2.254"},
        // A later default route without a readable gateway leaves the earlier one.
        {base + R"("routes":[{"network":"0.0.0.0","netmask":"0.0.0.0","gateway":"192.0.2.1"},)"
                R"({"network":"0.0.0.0","netmask":"0.0.0.0","gateway":null},)"
                R"({"network":"0.0.0.0","netmask":"0.0.0.0","gateway":")" + std::string(70, '1') + R"("}])",
         "192.0.2.1"},
        // An overlong own gateway counts as missing.
        {base + R"("routes":{},"gateway":")" + std::string(64, '9') + R"(")", "0.0.0.0"},
    };
    for (const auto &c : cases) {
        SetUp();
        test_mac = "fa:16:3e:4c:2a:10";
        auto o = run(one_network(c.members));
        EXPECT_EQ(o.network, section(0, "192.0.2.10", "255.255.255.0", c.gateway)) << c.members;
        EXPECT_EQ(o.failed, 0) << c.members;
        EXPECT_EQ(o.err, "") << c.members;
    }
}

TEST_F(NetworkStep, AddressesThatAreNotDottedIpv4RefuseSilently) {
    const std::string cases[] = {
        R"("ip_address":"192.0.2.10","netmask":"24")",
        R"("ip_address":"192.0.2.10/24","netmask":"255.255.255.0")",
        R"("ip_address":"2001:db8::10","netmask":"255.255.255.0")",
        R"("ip_address":"192.0.2.10","netmask":"255.255.255.0","gateway":"gw.example")",
        R"("ip_address":"192.0.2.10","netmask":"255.255.255.0","routes":[{"network":"0.0.0.0","netmask":"0.0.0.0","gateway":"192.0.2.1 "}])",
    };
    for (const auto &members : cases) {
        SetUp();
        test_mac = "fa:16:3e:4c:2a:10";
        auto o = run(one_network(members));
        EXPECT_EQ(o.failed, 1) << members;
        EXPECT_EQ(o.network, "") << members;
        EXPECT_EQ(o.err, "") << members;
    }
}

TEST_F(NetworkStep, UnreadableMembersPassTheNetworkOverSilently) {
    test_mac = "fa:16:3e:4c:2a:10";
    const std::string skipped[] = {
        R"({"type":"IPV4","link":"tap-a","ip_address":"192.0.2.10","netmask":"255.255.255.0"})",
        R"({"type":"ipv4_dhcp","link":"tap-a"})",
        R"({"type":"ipv6","link":"tap-a","ip_address":"2001:db8::10","netmask":"ffff:ffff::"})",
        R"({"link":"tap-a","ip_address":"192.0.2.10","netmask":"255.255.255.0"})",
        R"({"type":"ipv4","link":")" + std::string(128, 'x') + R"(","ip_address":"192.0.2.10","netmask":"255.255.255.0"})",
        R"({"type":"ipv4","link":"tap-a","netmask":"255.255.255.0"})",
        R"({"type":"ipv4","link":"tap-a","ip_address":"192.0.2.10","netmask":24})",
        R"("ipv4")",
    };
    for (const auto &element : skipped) {
        SetUp();
        test_mac = "fa:16:3e:4c:2a:10";
        auto o = run(R"({"links":[)" + link_a + R"(],"networks":[)" + element + "]}");
        EXPECT_EQ(o.network, "") << element;
        EXPECT_EQ(o.err, "") << element;
        EXPECT_EQ(o.failed, 0) << element;
    }

    // A matching network without an address leaves room for the next one.
    SetUp();
    test_mac = "fa:16:3e:4c:2a:10";
    auto o = run(R"({"links":[)" + link_a + R"(],"networks":[)" + skipped[5] +
                 R"(,{"type":"ipv4","link":"tap-a","ip_address":"192.0.2.11","netmask":"255.255.0.0"}]})");
    EXPECT_EQ(o.network, section(0, "192.0.2.11", "255.255.0.0", "0.0.0.0"));
    EXPECT_EQ(o.err, "");
}

TEST_F(NetworkStep, OnlyTheFirstMatchingNetworkIsConfigured) {
    interface(0, loopback);
    interface(1, nic_a);
    interface(2, nic_b);
    auto o = run(R"({"links":[)" + link_a + "," + link_b + R"(],"networks":[)"
                 R"({"type":"ipv4","link":"tap-b","ip_address":"198.51.100.5","netmask":"255.255.255.0"},)"
                 R"({"type":"ipv4","link":"tap-a","ip_address":"192.0.2.10","netmask":"255.255.255.0"}]})");
    EXPECT_EQ(o.network, section(2, "198.51.100.5", "255.255.255.0", "0.0.0.0"));
    EXPECT_EQ(o.err, "[seedcfg] only one static IPv4 interface is supported\n");
    EXPECT_EQ(o.failed, 0);
    EXPECT_EQ(fake_platform::count_calls, 2);  // asked afresh for each network
}

TEST_F(NetworkStep, NameServers) {
    auto o = run(R"({"services":[{"type":"dns","address":"192.0.2.53"},)"
                 R"({"type":"dns","address":"2001:db8::53"},)"
                 R"({"type":"DNS","address":"192.0.2.99"},)"
                 R"({"type":"ntp","address":"192.0.2.123"},)"
                 R"({"type":"dns","address":"192.0.2.054"},)"
                 R"({"type":"dns"},)"
                 R"({"type":"dns","address":"198.51.100.53"}],)"
                 R"("links":[)" + link_a + R"(],"networks":[{"type":"ipv4","link":"tap-a",)"
                 R"("ip_address":"192.0.2.10","netmask":"255.255.255.0"}]})");
    // The network matched no interface; the name servers are there anyway.
    EXPECT_EQ(o.network, "");
    EXPECT_EQ(o.err, "[seedcfg] no interface matching network MAC\n");
    EXPECT_EQ(o.dns, "1 = 192.0.2.53\n2 = 198.51.100.53\n");
    EXPECT_EQ(o.failed, 0);
}

TEST_F(NetworkStep, NameServerOverflowRefusesAndDropsTheLine) {
    std::string document = R"({"services":[)";
    constexpr int servers = 100;  // 5 tokens each: within the 512 slots
    for (int i = 0; i < servers; i++)
        document += std::string(i ? "," : "") + R"({"type":"dns","address":"255.255.255.)" +
                    std::to_string(100 + i) + "\"}";
    document += "]}";
    auto o = run(document);
    EXPECT_EQ(o.failed, 1);
    ASSERT_FALSE(o.dns.empty());
    EXPECT_LT(o.dns.size(), dns_size);
    EXPECT_EQ(o.dns.back(), '\n');
    EXPECT_EQ(o.dns.substr(0, 20), "1 = 255.255.255.100\n");
}

TEST_F(NetworkStep, DocumentsWithoutTheExpectedShapeDoNothing) {
    test_mac = "fa:16:3e:4c:2a:10";
    const std::string documents[] = {
        R"({"links":[)" + link_a + R"(],"networks":{"type":"ipv4","link":"tap-a","ip_address":"192.0.2.10","netmask":"255.255.255.0"}})",
        R"([{"links":[)" + link_a + R"(],"networks":[],"services":[{"type":"dns","address":"192.0.2.53"}]}])",
        R"({"services":{"type":"dns","address":"192.0.2.53"}})",
        R"({"networks":[],"services":[]})",
        "{}",
        "null",
    };
    for (const auto &document : documents) {
        SetUp();
        test_mac = "fa:16:3e:4c:2a:10";
        auto o = run(document);
        EXPECT_EQ(o.network, "") << document;
        EXPECT_EQ(o.dns, "") << document;
        EXPECT_EQ(o.err, "") << document;
        EXPECT_EQ(o.failed, 0) << document;
    }
}

}  // namespace
