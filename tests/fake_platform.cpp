#include "tests/fake_platform.h"

#include <cstring>

#include "platform/netif.h"

namespace fake_platform {

long count;
interface_entry interfaces[interface_slots];
int count_calls;
int address_calls;

void reset() {
    count = 0;
    memset(interfaces, 0, sizeof interfaces);
    count_calls = 0;
    address_calls = 0;
}

}  // namespace fake_platform

long interface_count() {
    fake_platform::count_calls++;
    return fake_platform::count;
}

long interface_address(long index, unsigned char *address, size_t length) {
    fake_platform::address_calls++;
    if (index < 0 || static_cast<size_t>(index) >= fake_platform::interface_slots ||
        index >= fake_platform::count || length < hardware_address_size)
        return -1;
    const auto &entry = fake_platform::interfaces[index];
    if (entry.fails) return -1;
    memcpy(address, entry.address, hardware_address_size);
    return 0;
}
