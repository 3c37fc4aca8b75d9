// libFuzzer target for the network step over an arbitrary network_data.json,
// with the interface stand-in answering for three interfaces (the second
// one's address query fails) and once more with --test-mac.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "agent/agent.h"
#include "agent/json.h"
#include "agent/network.h"
#include "tests/fake_platform.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool is_ipv4(std::string_view text) {
    char address[64];
    if (text.size() >= sizeof address) return false;
    memcpy(address, text.data(), text.size());
    address[text.size()] = '\0';
    in_addr parsed{};
    return inet_pton(AF_INET, address, &parsed) == 1;
}

// Takes "<name> = <value>\n" off the front of rest; the value.
std::string_view line_value(std::string_view *rest, std::string_view name) {
    check(rest->starts_with(name) && rest->substr(name.size()).starts_with(" = "));
    size_t end = rest->find('\n');
    check(end != std::string_view::npos);
    std::string_view value = rest->substr(name.size() + 3, end - name.size() - 3);
    rest->remove_prefix(end + 1);
    return value;
}

// What the step leaves must be well-formed settings text, whatever it read.
void check_outcome(long interfaces) {
    check(memchr(network, 0, sizeof network) && memchr(dns, 0, sizeof dns));
    std::string_view section = network;
    if (!section.empty()) {
        check(section.starts_with("[Network]\nMode = Static\n"));
        section.remove_prefix(strlen("[Network]\nMode = Static\n"));
        std::string_view number = line_value(&section, "Interface");
        check(number.size() == 1 && number[0] >= '0' && number[0] < '0' + interfaces);
        check(is_ipv4(line_value(&section, "IP")));
        check(is_ipv4(line_value(&section, "Subnet")));
        check(is_ipv4(line_value(&section, "Gateway")));
        check(section.empty());
    }
    std::string_view servers = dns;
    for (int counter = 1; !servers.empty() && !failed; counter++) {
        char name[16];
        snprintf(name, sizeof name, "%d", counter);
        check(is_ipv4(line_value(&servers, name)));
    }
}

void run_step(const json_doc *doc, const char *mac) {
    failed = 0;
    memset(network, 0, sizeof network);
    memset(dns, 0, sizeof dns);
    test_mac = mac;
    network_step(doc);
    check_outcome(mac ? 1 : static_cast<long>(fake_platform::nics.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The step's warnings would drown the fuzzer's own report, which keeps
    // writing to the stream it took at start.
    stderr = fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static json_doc *doc = new json_doc;
    if (fake_platform::nics.empty()) {
        fake_platform::nics = {
            {{0xfa, 0x16, 0x3e, 0x2b, 0x7c, 0x01}, false},
            {{0xfa, 0x16, 0x3e, 0x5d, 0x90, 0x02}, true},
            {{0xfa, 0x16, 0x3e, 0x00, 0x00, 0x03}, false},
        };
        fake_platform::count = 3;
    }
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    memcpy(text.get(), data, size);
    memset(doc, 0, sizeof *doc);
    if (json_parse(doc, text.get(), size) != 0) return 0;
    run_step(doc, nullptr);
    run_step(doc, "FA:16:3E:2B:7C:01");
    return 0;
}
