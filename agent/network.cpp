// The network step: the first static IPv4 network of network_data.json whose
// link belongs to a local interface becomes the "[Network]" section, and the
// IPv4 name servers become the resolver lines. Data that cannot be accepted
// sets failed; the run sequence reports the refusal.
#include "agent/network.h"

#include <arpa/inet.h>
#include <strings.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "agent/agent.h"
#include "platform/netif.h"

namespace {

constexpr size_t type_size = 32;
constexpr size_t link_size = 128;
constexpr size_t mac_size = 32;
constexpr size_t address_size = 64;
constexpr size_t mac_text_size = 18;  // "xx:xx:xx:xx:xx:xx" and its NUL
constexpr size_t dns_line_size = 32 + address_size;

constexpr std::string_view default_gateway = "0.0.0.0";

// A "type" member that reads and equals want.
int has_type(const json_doc *doc, int element, std::string_view want) {
    char type[type_size] = {};
    if (json_string(doc, json_get(doc, element, "type"), type, sizeof type) < 0) return 0;
    return want == type;
}

// Reads member key into dest (size bytes) only when the whole value fits: a
// value that does not fit counts as missing and leaves dest as it was.
int read_whole(const json_doc *doc, int object, const char *key, char *dest, size_t size) {
    char value[link_size] = {};
    if (size > sizeof value) return -1;
    if (text(doc, object, key, value, size) != 0) return -1;
    memcpy(dest, value, size);
    return 0;
}

int is_ipv4(const char *address) {
    in_addr parsed{};
    return inet_pton(AF_INET, address, &parsed) == 1;
}

// The hardware address of the link named link_id; a later entry with a
// readable address overrides an earlier one with the same id.
void find_link_mac(const json_doc *doc, int links, const char *link_id, char (&mac)[mac_size]) {
    if (!json_is_array(doc, links)) return;
    for (int entry = json_first(doc, links); entry >= 0; entry = json_next(doc, links, entry)) {
        char id[link_size] = {};
        if (text(doc, entry, "id", id, sizeof id) != 0 || strcmp(id, link_id) != 0) continue;
        read_whole(doc, entry, "ethernet_mac_address", mac, sizeof mac);
    }
}

// The interface number whose hardware address is mac, or -1. An empty
// address (no link, or no address for it) matches nothing.
int find_interface(const char *mac) {
    if (!mac[0]) return -1;
    if (test_mac) return strcasecmp(mac, test_mac) == 0 ? 0 : -1;
    long count = interface_count();
    if (count > INT_MAX) count = INT_MAX;
    for (long i = 0; i < count; i++) {
        unsigned char bytes[hardware_address_size] = {};
        if (interface_address(i, bytes, sizeof bytes) < 0) continue;
        char formatted[mac_text_size];
        snprintf(formatted, sizeof formatted, "%02x:%02x:%02x:%02x:%02x:%02x",
                 bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5]);
        if (strcasecmp(formatted, mac) == 0) return static_cast<int>(i);
    }
    return -1;
}

// The gateway of the last default route (network and netmask "0.0.0.0")
// with a readable gateway, else the network's own gateway, else 0.0.0.0.
void choose_gateway(const json_doc *doc, int element, char (&gateway)[address_size]) {
    int routes = json_get(doc, element, "routes");
    if (json_is_array(doc, routes)) {
        for (int route = json_first(doc, routes); route >= 0;
             route = json_next(doc, routes, route)) {
            char destination[address_size] = {};
            char mask[address_size] = {};
            if (text(doc, route, "network", destination, sizeof destination) != 0 ||
                text(doc, route, "netmask", mask, sizeof mask) != 0)
                continue;
            if (default_gateway != destination || default_gateway != mask) continue;
            read_whole(doc, route, "gateway", gateway, sizeof gateway);
        }
    }
    if (!gateway[0]) read_whole(doc, element, "gateway", gateway, sizeof gateway);
    if (!gateway[0]) memcpy(gateway, default_gateway.data(), default_gateway.size() + 1);
}

void configure_network(const json_doc *doc, int links, int element) {
    char mac[mac_size] = {};
    char gateway[address_size] = {};
    if (!has_type(doc, element, "ipv4")) return;
    char link_id[link_size] = {};
    if (text(doc, element, "link", link_id, sizeof link_id) != 0) return;

    find_link_mac(doc, links, link_id, mac);
    int number = find_interface(mac);
    if (number < 0) {
        fputs("[seedcfg] no interface matching network MAC\n", stderr);
        return;
    }
    if (network[0]) {
        fputs("[seedcfg] only one static IPv4 interface is supported\n", stderr);
        return;
    }

    char ip[address_size] = {};
    char netmask[address_size] = {};
    if (text(doc, element, "ip_address", ip, sizeof ip) != 0 ||
        text(doc, element, "netmask", netmask, sizeof netmask) != 0)
        return;
    choose_gateway(doc, element, gateway);
    if (!is_ipv4(ip) || !is_ipv4(netmask) || !is_ipv4(gateway)) {
        failed = 1;
        return;
    }
    snprintf(network, sizeof network,
             "[Network]\nMode = Static\nInterface = %d\nIP = %s\nSubnet = %s\nGateway = %s\n",
             number, ip, netmask, gateway);
}

void collect_name_servers(const json_doc *doc, int services) {
    if (!json_is_array(doc, services)) return;
    int counter = 0;
    for (int service = json_first(doc, services); service >= 0;
         service = json_next(doc, services, service)) {
        if (!has_type(doc, service, "dns")) continue;
        char address[address_size] = {};
        if (text(doc, service, "address", address, sizeof address) != 0 || !is_ipv4(address))
            continue;
        char line[dns_line_size];
        snprintf(line, sizeof line, "%d = %s\n", ++counter, address);
        append(dns, sizeof dns, line);
    }
}

}  // namespace

static_assert(network_size > 256 + 3 * address_size, "a whole section fits the network text");

void network_step(const json_doc *doc) {
    if (!doc || doc->count <= 0) return;
    int links = json_get(doc, 0, "links");
    int networks = json_get(doc, 0, "networks");
    int services = json_get(doc, 0, "services");
    if (json_is_array(doc, networks)) {
        for (int element = json_first(doc, networks); element >= 0;
             element = json_next(doc, networks, element))
            configure_network(doc, links, element);
    }
    collect_name_servers(doc, services);
}
