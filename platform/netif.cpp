// Interface enumeration through our kernel's own calls. Where the kernel does
// not know them (ENOSYS: a Linux host, for development and testing) the same
// answers come from the kernel's interface list: platform index i is the
// interface with the i-th lowest kernel interface index, so index 0 is
// normally loopback.
#include "platform/netif.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Entries of an if_nameindex list up to its terminating zero entry.
long list_length(const struct if_nameindex *list) {
    long n = 0;
    while (list[n].if_index != 0 && list[n].if_name) n++;
    return n;
}

long linux_interface_count() {
    struct if_nameindex *list = if_nameindex();
    if (!list) return -1;
    long n = list_length(list);
    if_freenameindex(list);
    return n;
}

// The list's entry whose kernel index has exactly `rank` lower ones, or -1.
// The list is not sorted by index; kernel indexes are unique.
long entry_of_rank(const struct if_nameindex *list, long n, long rank) {
    for (long e = 0; e < n; e++) {
        long lower = 0;
        for (long k = 0; k < n; k++)
            if (list[k].if_index < list[e].if_index) lower++;
        if (lower == rank) return e;
    }
    return -1;
}

long linux_interface_address(long index, unsigned char *address, size_t length) {
    if (index < 0 || !address || length < hardware_address_size) {
        errno = EINVAL;
        return -1;
    }
    struct if_nameindex *list = if_nameindex();
    if (!list) return -1;
    long entry = entry_of_rank(list, list_length(list), index);
    ifreq request{};
    bool named = entry >= 0 && strlen(list[entry].if_name) < sizeof request.ifr_name;
    if (named) memcpy(request.ifr_name, list[entry].if_name, strlen(list[entry].if_name));
    if_freenameindex(list);
    if (!named) {
        errno = ENODEV;
        return -1;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int got = ioctl(s, SIOCGIFHWADDR, &request);
    close(s);
    if (got < 0) return -1;
    // Tunnels and the like carry no 6-byte hardware address; their field
    // would hold something else (an IPv4 address, or nothing).
    sa_family_t type = request.ifr_hwaddr.sa_family;
    if (type != ARPHRD_ETHER && type != ARPHRD_LOOPBACK) {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    memcpy(address, request.ifr_hwaddr.sa_data, hardware_address_size);
    return 0;
}

}  // namespace

long interface_count() {
    long n = syscall(interface_count_call);
    if (n < 0 && errno == ENOSYS) return linux_interface_count();
    return n;
}

long interface_address(long index, unsigned char *address, size_t length) {
    long r = syscall(interface_address_call, index, address, length);
    if (r < 0 && errno == ENOSYS) return linux_interface_address(index, address, length);
    return r;
}
