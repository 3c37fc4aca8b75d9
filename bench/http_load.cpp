// Sends GET requests to a server on 127.0.0.1, one connection per request,
// taking the targets in turn, and reports the median time of a request for
// each target. With -c, each request is followed by one crypt() of the
// password with HASH as its setting, the check the panel makes for every
// API request, timed the same way: both see the same machine.
//
//   http_load PORT COUNT [-u USER:PASSWORD [-c HASH]] TARGET...
//
// Output, one line per target: <target> median_us=<n> ok=<n> failed=<n>
// where ok counts replies with status 200; with -c a last line
// crypt median_us=<n> cpu_us=<n> ok=<matching results> failed=<others>
// (cpu_us: the median processor time of one crypt(), which a busy machine
// does not stretch).
#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int reply_timeout_ms = 15000;

long long clock_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long now_ns() {
    return clock_ns(CLOCK_MONOTONIC);
}

long long median(std::vector<long long> v) {
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

std::string base64(const std::string &in) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < in.size() ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? alphabet[v & 63] : '=';
    }
    return out;
}

// One request on a new connection; true when the reply's status is 200.
bool exchange(int port, const std::string &request) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
              send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                  static_cast<ssize_t>(request.size());
    char head[16] = {};
    size_t got = 0;
    char buffer[65536];
    long long deadline = now_ns() + reply_timeout_ms * 1000000LL;
    while (ok) {
        pollfd p{fd, POLLIN, 0};
        int wait_ms = static_cast<int>((deadline - now_ns()) / 1000000);
        if (wait_ms <= 0 || poll(&p, 1, wait_ms) <= 0) {
            ok = false;
            break;
        }
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;  // the server closes after its reply
        for (ssize_t i = 0; i < n && got < sizeof head - 1; i++)
            head[got++] = buffer[i];
    }
    close(fd);
    return ok && std::strncmp(head, "HTTP/1.1 200 ", 13) == 0;
}

struct target {
    std::string path;
    std::string request;
    std::vector<long long> times_ns;
    std::vector<long long> cpu_ns;
    int ok = 0;
    int failed = 0;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: http_load PORT COUNT [-u USER:PASSWORD [-c HASH]] TARGET...\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    long count = std::atol(argv[2]);
    if (port <= 0 || port > 65535 || count < 1 || count > 10000000) {
        std::fprintf(stderr, "http_load: bad port or count\n");
        return 2;
    }
    int first = 3;
    std::string credentials, password;
    const char *hash = nullptr;
    if (std::strcmp(argv[first], "-u") == 0 && argc > first + 2) {
        credentials = "Authorization: Basic " + base64(argv[first + 1]) + "\r\n";
        const char *colon = std::strchr(argv[first + 1], ':');
        password = colon ? colon + 1 : "";
        first += 2;
        if (std::strcmp(argv[first], "-c") == 0 && argc > first + 2) {
            hash = argv[first + 1];
            first += 2;
        }
    }
    std::vector<target> targets;
    target check;
    check.path = "crypt";
    for (int i = first; i < argc; i++) {
        target t;
        t.path = argv[i];
        t.request = std::string("GET ") + argv[i] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                    credentials + "\r\n";
        targets.push_back(t);
    }
    for (long r = 0; r < count; r++) {
        target &t = targets[static_cast<size_t>(r) % targets.size()];
        long long start = now_ns();
        bool ok = exchange(port, t.request);
        t.times_ns.push_back(now_ns() - start);
        ok ? t.ok++ : t.failed++;
        if (hash != nullptr) {
            start = now_ns();
            long long cpu_start = clock_ns(CLOCK_THREAD_CPUTIME_ID);
            const char *result = crypt(password.c_str(), hash);
            check.cpu_ns.push_back(clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu_start);
            check.times_ns.push_back(now_ns() - start);
            result != nullptr && std::strcmp(result, hash) == 0 ? check.ok++ : check.failed++;
        }
    }
    if (hash != nullptr)
        targets.push_back(check);
    for (target &t : targets) {
        std::printf("%s median_us=%.1f", t.path.c_str(), static_cast<double>(median(t.times_ns)) / 1000.0);
        if (!t.cpu_ns.empty())
            std::printf(" cpu_us=%.1f", static_cast<double>(median(t.cpu_ns)) / 1000.0);
        std::printf(" ok=%d failed=%d\n", t.ok, t.failed);
    }
    return 0;
}
