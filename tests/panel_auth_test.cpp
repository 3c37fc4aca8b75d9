// Basic credentials, the shadow check and the request token.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "panel/auth.h"
#include "tests/panel_sandbox.h"

using namespace std::string_literals;

namespace {

std::string decode(const std::string &text, size_t capacity = credentials_size) {
    std::vector<char> out(capacity + 1, 'z');
    int count = base64_decode(text.c_str(), out.data(), capacity);
    if (count < 0) return "<fail>";
    EXPECT_EQ(out[static_cast<size_t>(count)], 0);
    return std::string(out.data(), static_cast<size_t>(count));
}

std::string password_of(const std::string &authorization_value) {
    std::string headers = "Host: x\r\nAuthorization: " + authorization_value;
    char credentials[credentials_size];
    const char *password = root_password(headers.c_str(), credentials);
    return password ? password : "<refused>";
}

std::string with_basic(const std::string &user_password) {
    return "Basic " + panel::base64(user_password);
}

// Runs password_matches over the candidates in a child with its own mount
// namespace, where shadow_text is bound over /etc/shadow; "1"/"0" each.
std::string matches(const std::string &shadow_text, const std::vector<std::string> &candidates) {
    sandbox::temp_dir dir;
    std::string shadow = dir / "shadow";
    sandbox::spit(shadow, shadow_text);
    int results[2];
    if (pipe(results) != 0) return "<pipe>";
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(results[0]);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(shadow.c_str(), "/etc/shadow", nullptr, MS_BIND, nullptr) != 0)
            _exit(125);
        std::string out;
        for (const auto &c : candidates) out += password_matches(c.c_str()) ? '1' : '0';
        if (write(results[1], out.data(), out.size()) != static_cast<ssize_t>(out.size()))
            _exit(125);
        _exit(0);
    }
    close(results[1]);
    std::string out;
    char buf[256];
    ssize_t got;
    while ((got = read(results[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(got));
    close(results[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
    return out;
}

}  // namespace

TEST(PanelBase64, Decoding) {
    EXPECT_EQ(decode("cm9vdDpwdw=="), "root:pw");
    EXPECT_EQ(decode("cm9vdDpwdw"), "root:pw");
    EXPECT_EQ(decode("cm9vdDpwdw=!! anything"), "root:pw");
    EXPECT_EQ(decode("cm9vdDpwd"), "root:p");  // left-over bits dropped
    EXPECT_EQ(decode("+/+/"), "\xfb\xff\xbf");
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("=cm9v"), "");
    for (const char *bad : {"cm9v dDpw", "cm9v\ndDpw", "cm9v-dDpw", "cm9v_dDpw", " cm9v"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(decode(bad), "<fail>");
    }
}

TEST(PanelBase64, OutputLimit) {
    std::string fits(511, 'q');
    EXPECT_EQ(decode(panel::base64(fits)), fits);
    EXPECT_EQ(decode(panel::base64(fits + "q")), "<fail>");
    EXPECT_EQ(decode("cm9vdDpwdw", 7), "<fail>");
    EXPECT_EQ(decode("cm9vdDpwdw", 8), "root:pw");
}

TEST(PanelCredentials, BasicHeaderForRoot) {
    EXPECT_EQ(password_of(with_basic("root:secret")), "secret");
    EXPECT_EQ(password_of(with_basic("root:a:b: c")), "a:b: c");  // compared whole
    EXPECT_EQ(password_of(with_basic("root:")), "");
    EXPECT_EQ(password_of("Basic cm9vdDpwdw"), "pw");
    EXPECT_EQ(password_of(with_basic("Root:secret")), "<refused>");
    EXPECT_EQ(password_of(with_basic("root")), "<refused>");
    EXPECT_EQ(password_of(with_basic("rootx:secret")), "<refused>");
    EXPECT_EQ(password_of("basic " + panel::base64("root:secret")), "<refused>");
    EXPECT_EQ(password_of("Basic  " + panel::base64("root:secret")), "<refused>");
    EXPECT_EQ(password_of("Basic "), "<refused>");
    EXPECT_EQ(password_of("Basic ="), "<refused>");
    // A zero byte inside the decoded text.
    EXPECT_EQ(password_of(with_basic("root:se\0cret"s)), "<refused>");
    // Decoded text of 511 bytes passes, 512 does not.
    std::string long_password(506, 'p');
    EXPECT_EQ(password_of(with_basic("root:" + long_password)), long_password);
    EXPECT_EQ(password_of(with_basic("root:" + long_password + "p")), "<refused>");
    // The header value must stay below 1024 characters.
    std::string value = with_basic("root:x") + "=";
    EXPECT_EQ(password_of(value + std::string(1023 - value.size(), '.')), "x");
    EXPECT_EQ(password_of(value + std::string(1024 - value.size(), '.')), "<refused>");
    // No header, or one written with a blank before the colon.
    char credentials[credentials_size];
    EXPECT_EQ(root_password("", credentials), nullptr);
    std::string spaced = "Authorization : " + with_basic("root:x");
    EXPECT_EQ(root_password(spaced.c_str(), credentials), nullptr);
}

TEST(PanelCredentials, ShadowHashCheck) {
    const std::string hash = panel::sha512_crypt("right:pass");
    EXPECT_EQ(matches(panel::shadow_entry(hash),
                      {"right:pass", "right", "right:pass ", "", hash, "Right:pass"}),
              "100000");
    // A locked account, or one without a password, admits nobody.
    EXPECT_EQ(matches(panel::shadow_entry("!" + hash), {"right:pass", "", hash}), "000");
    EXPECT_EQ(matches(panel::shadow_entry("*"), {"", "*"}), "00");
    EXPECT_EQ(matches(panel::shadow_entry(""), {"", "x"}), "00");
    EXPECT_EQ(matches("daemon:" + hash + ":19700:0:99999:7:::\n", {"right:pass"}), "0");
    // A setting crypt cannot use never matches.
    EXPECT_EQ(matches(panel::shadow_entry("$6$"), {"", "$6$"}), "00");
}

TEST(PanelToken, Format) {
    unsigned char bytes[token_bytes];
    for (size_t i = 0; i < token_bytes; i++) bytes[i] = static_cast<unsigned char>(i * 8 + 7);
    format_token(bytes);
    EXPECT_STREQ(csrf, "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
}

TEST(PanelToken, Check) {
    unsigned char bytes[token_bytes];
    for (size_t i = 0; i < token_bytes; i++) bytes[i] = static_cast<unsigned char>(0xa5 ^ i);
    format_token(bytes);
    const std::string token = csrf;
    ASSERT_EQ(token.size(), 64u);
    std::string upper = token;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    auto accepted = [](const std::string &headers) { return token_accepted(headers.c_str()); };
    EXPECT_EQ(accepted("X-Dashwick-Token: " + token), 1);
    EXPECT_EQ(accepted("Host: x\r\nx-dashwick-token:\t" + token + "\r\nA: b"), 1);
    EXPECT_EQ(accepted("X-Dashwick-Token: " + upper), 0);
    EXPECT_EQ(accepted("X-Dashwick-Token: " + token.substr(1)), 0);
    EXPECT_EQ(accepted("X-Dashwick-Token: " + token + "0"), 0);
    EXPECT_EQ(accepted("X-Dashwick-Token: " + token + " "), 0);
    EXPECT_EQ(accepted("X-Dashwick-Token: " + token.substr(0, 63) + "x"), 0);
    EXPECT_EQ(accepted("X-Dashwick-Token: "), 0);
    EXPECT_EQ(accepted(""), 0);
}
