#include "tests/sandbox.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sandbox {

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

namespace {

[[noreturn]] void die(const char *what) {
    dprintf(2, "sandbox: %s: %s\n", what, strerror(errno));
    _exit(125);
}

void lo_up() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) die("socket");
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &ifr) < 0) die("SIOCGIFFLAGS");
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(s, SIOCSIFFLAGS, &ifr) < 0) die("SIOCSIFFLAGS");
    close(s);
}

void join_net(pid_t holder) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/ns/net", static_cast<int>(holder));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) < 0) die("setns");
    close(fd);
}

void mkdirs_child(const std::string &path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
}

// Everything below runs in the forked child.
void enter(const box &b, const options &o) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (o.net_of >= 0) {
        join_net(o.net_of);
    } else if (o.private_net) {
        if (unshare(CLONE_NEWNET) < 0) die("unshare net");
        lo_up();
    }
    if (unshare(CLONE_NEWNS) < 0) die("unshare mount");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) die("private /");
    int n = 0;
    for (const auto &dir : o.writable) {
        std::string upper = b.upper() + dir;
        std::string work = b.root.path + "/work/" + std::to_string(n++);
        mkdirs_child(upper);
        mkdirs_child(work);
        std::string data = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
        if (mount("overlay", dir.c_str(), "overlay", 0, data.c_str()) < 0) die(("overlay " + dir).c_str());
    }
    for (const auto &dir : o.tmpfs) {
        mkdirs_child(dir);
        if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") < 0) die(("tmpfs " + dir).c_str());
    }
    for (const auto &[source, target] : o.binds) {
        struct stat st{};
        if (stat(target.c_str(), &st) < 0) {
            if (stat(source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                mkdirs_child(target);
            } else {
                mkdirs_child(std::filesystem::path(target).parent_path());
                int fd = open(target.c_str(), O_WRONLY | O_CREAT, 0600);
                if (fd >= 0) close(fd);
            }
        }
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) < 0)
            die(("bind " + target).c_str());
    }
    if (o.prepare) o.prepare();
}

}  // namespace

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/vorna-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path = tmpl;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void box::seed(const std::string &absolute, const std::string &content, unsigned mode) const {
    std::string p = written(absolute);
    make_dirs(std::filesystem::path(p).parent_path());
    spit(p, content, mode);
}

box::process box::start(const options &o) const {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        enter(*this, o);
        std::vector<char *> argv;
        for (const auto &a : o.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (o.clear_env) clearenv();
        for (const auto &e : o.env) putenv(const_cast<char *>(e.c_str()));
        signal(SIGPIPE, SIG_DFL);
        execv(argv.empty() ? "/nonexistent" : argv[0], argv.data());
        die("execv");
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!o.input.empty()) {
        signal(SIGPIPE, SIG_IGN);
        ssize_t w = write(in[1], o.input.data(), o.input.size());
        (void)w;
    }
    close(in[1]);
    process p;
    p.pid = pid;
    p.out = out[0];
    p.err = err[0];
    return p;
}

result finish(box::process &p, int timeout_ms) {
    result r;
    long long deadline = now_ms() + timeout_ms;
    int fds[2] = {p.out, p.err};
    std::string *sinks[2] = {&r.out, &r.err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        long long left = deadline - now_ms();
        if (left <= 0) {
            r.timed_out = true;
            kill(p.pid, SIGKILL);
            break;
        }
        pollfd pf[2];
        for (int i = 0; i < 2; i++) pf[i] = {fds[i], POLLIN, 0};
        int n = poll(pf, 2, static_cast<int>(left));
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i] < 0 || !(pf[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            ssize_t got = read(fds[i], buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    for (int fd : fds)
        if (fd >= 0) close(fd);
    // The program's own descendants may hold the pipes; the program itself
    // is bounded by the same deadline.
    int status = 0;
    for (;;) {
        pid_t w = waitpid(p.pid, &status, WNOHANG);
        if (w == p.pid) break;
        if (w < 0) { status = -1; break; }
        if (now_ms() >= deadline) {
            r.timed_out = true;
            kill(p.pid, SIGKILL);
            waitpid(p.pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) r.status = 128 + WTERMSIG(status);
    p.pid = -1;
    p.out = p.err = -1;
    return r;
}

result box::run(const options &o) const {
    process p = start(o);
    return finish(p, o.timeout_ms);
}

netns::netns() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0) throw std::runtime_error("pipe");
    holder = fork();
    if (holder < 0) throw std::runtime_error("fork");
    if (holder == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        if (unshare(CLONE_NEWNET) < 0) die("unshare net");
        lo_up();
        char c = 1;
        if (write(ready[1], &c, 1) != 1) _exit(125);
        for (;;) pause();
    }
    close(ready[1]);
    char c = 0;
    ssize_t got = read(ready[0], &c, 1);
    close(ready[0]);
    if (got != 1) {
        stop(holder);
        holder = -1;
        throw std::runtime_error("network namespace");
    }
}

netns::~netns() {
    if (holder > 0) stop(holder);
}

pid_t netns::spawn(const std::function<void()> &body) const {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        join_net(holder);
        body();
        _exit(0);
    }
    return pid;
}

int netns::sh(const std::string &command) const {
    pid_t pid = spawn([&] {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    });
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

::testing::AssertionResult same_bytes(const std::string &got, const std::string &expected) {
    if (got == expected) return ::testing::AssertionSuccess();
    constexpr size_t shown = 4096;  // longest text printed whole
    if (got.size() <= shown && expected.size() <= shown)
        return ::testing::AssertionFailure() << "got " << ::testing::PrintToString(got)
                                             << "\nexpected " << ::testing::PrintToString(expected);
    size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) at++;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, expected "
                                         << expected.size() << "; first difference at byte " << at;
}

bool exists(const std::string &path) {
    struct stat st{};
    return lstat(path.c_str(), &st) == 0;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string &path, const std::string &content, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), mode);
}

unsigned mode_of(const std::string &path) {
    struct stat st{};
    if (stat(path.c_str(), &st) < 0) return ~0u;
    return st.st_mode & 07777;
}

void make_dirs(const std::string &path, unsigned mode) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    chmod(path.c_str(), mode);
}

}  // namespace sandbox
