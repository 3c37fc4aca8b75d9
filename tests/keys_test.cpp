// Unit tests of the key list (identity, de-duplication, its fixed size, the
// metadata members it is filled from) and of the cloud-config line reader.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "agent/agent.h"
#include "agent/json.h"
#include "agent/keys.h"
#include "agent/userdata.h"

namespace {

void reset_run() {
    failed = 0;
    memset(keys, 0, sizeof keys);
    memset(hostname, 0, sizeof hostname);
    memset(password, 0, sizeof password);
    memset(password_hash, 0, sizeof password_hash);
}

struct KeyList : testing::Test {
    void SetUp() override { reset_run(); }
};

// A key line of exactly `length` bytes, unique by its number.
std::string key_line(int number, size_t length) {
    std::string line = "ssh-rsa K" + std::to_string(number) + "-";
    line.resize(length, 'A');
    return line;
}

TEST(KeyIdentity, RunsThroughTheSecondFieldWithItsExactSeparator) {
    const std::pair<const char *, size_t> lengths[] = {
        {"ssh-rsa AAAA comment here", 12}, {"ssh-rsa \t AAAA", 14},
        {"ssh-rsa AAAA\nssh-rsa BBBBBB", 12}, {"ssh-rsa", 7}, {"", 0},
        {"  ssh-rsa AAAA", 9},  // empty first field: the whitespace and one word
        {"# note one", 6},
    };
    for (auto [line, length] : lengths) EXPECT_EQ(key_identity_length(line), length) << line;

    const char *list = "ssh-rsa AAAA first\nssh-ed25519 BBBB\necdsa-sha2-nistp256 CCCC tail";
    const std::pair<const char *, int> lookups[] = {
        {"ssh-rsa AAAA other comment", 1}, {"ssh-ed25519 BBBB", 1},
        {"ecdsa-sha2-nistp256 CCCC", 1},  // last line, no LF
        {"ssh-rsa AAA", 0}, {"ssh-rsa AAAAA", 0}, {"ssh-rsa  AAAA", 0}, {"SSH-RSA AAAA", 0},
    };
    for (auto [line, found] : lookups) EXPECT_EQ(contains_key(list, line), found) << line;
    EXPECT_EQ(contains_key("", "ssh-rsa AAAA"), 0);
}

TEST_F(KeyList, SupportedTypesFirstLineWinsAndMultiLineValuesAreSplit) {
    for (const char *value : {"ssh-ed25519 E1 e", "ssh-rsa R1", "ecdsa-sha2-nistp256 C1",
                              "ecdsa-sha2-x,command=\"sh\" C2", "ecdsa-sha2-nistp2560 C3",
                              "ecdsa-sha2-nistp384\tC4", "ecdsa-sha2-nistp384 C5", "ecdsa-sha2-nistp521 C6",
                              "ssh-dss D1", " ssh-rsa R2", "ssh-rsa\tR3", "SSH-RSA R4", "ssh-rsa", "",
                              "ssh-rsa R1 second", "ssh-rsa  R1 two blanks"})
        add_key(value);
    add_key("ssh-rsa A1 one\r\n\r\nssh-ed25519 B1\rssh-dss X\n\nssh-rsa A1 again\n");
    EXPECT_STREQ(keys,
                 "ssh-ed25519 E1 e\nssh-rsa R1\necdsa-sha2-nistp256 C1\necdsa-sha2-nistp384 C5\n"
                 "ecdsa-sha2-nistp521 C6\nssh-rsa  R1 two blanks\nssh-rsa A1 one\nssh-ed25519 B1\n");
    EXPECT_EQ(failed, 0);
}

TEST_F(KeyList, Holds32767BytesOfContentAndRefusesOneMore) {
    for (int i = 0; i < 32; i++) add_key(key_line(i, 999).c_str());
    ASSERT_EQ(strlen(keys), 32000u);
    std::string before = keys;
    add_key(key_line(98, 767).c_str());  // 32768 with its LF
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(before, keys);

    failed = 0;
    add_key(key_line(99, 766).c_str());
    EXPECT_EQ(strlen(keys), 32767u);
    add_key(key_line(0, 999).c_str());  // a key already held is no overflow
    EXPECT_EQ(failed, 0);
    add_key("ssh-rsa Z");
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(strlen(keys), 32767u);
}

TEST_F(KeyList, NoMemoryForTheSplitCopyFailsTheRun) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
#else
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string value = "ssh-rsa FIRST\n" + std::string(64u << 20, 'A');
        unsigned long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (!statm || fscanf(statm, "%lu", &pages) != 1) _exit(3);
        fclose(statm);
        rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (8u << 20);
        rlimit rl{limit, limit};
        if (setrlimit(RLIMIT_AS, &rl) != 0) _exit(4);
        add_key(value.c_str());
        _exit(failed == 1 && keys[0] == '\0' ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

// The metadata members "public_keys" and "keys".
std::string collected(const std::string &document) {
    reset_run();
    auto doc = std::make_unique<json_doc>();
    if (json_parse(doc.get(), document.data(), document.size()) != 0) return "unparsable";
    collect_metadata_keys(doc.get());
    return keys;
}

TEST(MetadataKeys, PublicKeysThenKeysSkippingWhatDoesNotFit) {
    EXPECT_EQ(collected(R"({"keys": [{"data": "ssh-rsa K1 k", "type": "ssh"}, 5, {"name": "x"},
                        {"data": 7}, {"data": "ssh-ed25519 K2\r\nssh-rsa K3"}],
               "public_keys": {"b": "ssh-rsa P1 first", "a": "ssh-rsa P1 second",
                               "c": ["ssh-rsa X"], "d": "ssh-ed25519 P2 \u0041"}})"),
              "ssh-rsa P1 first\nssh-ed25519 P2 A\nssh-rsa K1 k\nssh-ed25519 K2\nssh-rsa K3\n");
    EXPECT_EQ(failed, 0);

    std::string fits = key_line(1, 8191);  // the 8192-byte buffer holds 8191 and the NUL
    EXPECT_EQ(collected(R"({"public_keys": {"a": ")" + key_line(2, 8192) + R"(", "b": ")" + fits +
                        R"("}, "keys": [{"data": ")" + key_line(3, 8192) + R"("}]})"),
              fits + "\n");

    EXPECT_EQ(collected(R"({"public_keys": ["ssh-rsa A"], "keys": {"data": "ssh-rsa B"}})"), "");
    EXPECT_EQ(collected(R"({"public_keys": {"a": "ssh-rsa A"}, "public_keys": {"b": "ssh-rsa B"},
                            "keys": [{"data": "ssh-rsa C"}], "keys": []})"),
              "");
}

// The cloud-config reader: each document is read after a fresh start.
struct reader_case {
    const char *name;
    std::string document;
    // What the run-wide fields, standard error and `failed` hold afterwards.
    std::string hostname = "", keys = "", password = "", hash = "", err = "";
    int failed = 0;
};

const std::string scripts = "[seedcfg] user-data scripts are not supported\n";
const std::string only_root = "[seedcfg] only the root account is supported\n";

const reader_case reader_cases[] = {
    {"script", "#!/bin/sh\nhostname: script\n", "", "", "", "", scripts},
    {"blank line before the mark", "\n#cloud-config\nhostname: late\n", "", "", "", "", scripts},
    {"mark in other case", "#Cloud-Config\nhostname: upper\n", "", "", "", "", scripts},
    {"empty user data", ""},
    {"words after the mark", "#cloud-config with trailing words\nhostname: marked\n", "marked"},
    {"host names passed over",
     "#cloud-config\nhostname: 'single'\nhostname : spaced\nhostname: a=b\nhostname: a;b\n"
     "hostname:\nhostname: " + std::string(256, 'h') + "\nhostname: a\x7f\n",
     "single"},
    {"longest host name", "#cloud-config\nhostname: \"x\"\nhostname: " + std::string(255, 'h'),
     std::string(255, 'h')},
    {"CR LF lines and a colon in the value", "#cloud-config\r\nhostname: a: b\r\n", "a: b"},
    {"key list flag",
     "#cloud-config\nssh_authorized_keys:\n  - ssh-rsa K1 one\n# a comment keeps the list open\n\n"
     "- \"ssh-ed25519 K2\"\n  other: indented keeps it open\n  -   ssh-rsa K3   \r\n"
     "hostname: ends-list\n- ssh-rsa K4\n  - ssh-rsa K5\n"
     "users:\n  - name: root\n    ssh_authorized_keys:\n      - ssh-rsa K6\n"
     "ssh_authorized_keys: [ssh-rsa inline]\n- ssh-rsa K7\nplainword\n- ssh-rsa K8\n",
     "ends-list", "ssh-rsa K1 one\nssh-ed25519 K2\nssh-rsa K3\nssh-rsa K6\nssh-rsa K7\n"},
    {"root, bare words and inline users",
     "#cloud-config\nusers:\n  - name: root\n  - bob\n  - default\nusers: [alice]\n"
     "  - name: 'root'\n  -name: bob\n"},
    {"another account after root's key list",
     "#cloud-config\nusers:\n  - name: root\n    ssh_authorized_keys:\n      - ssh-rsa K1\n"
     "  - name: bob\n",
     "", "ssh-rsa K1\n", "", "", only_root, 1},
    {"any blanks after the hyphen",
     "#cloud-config\nusers:\n  -   name: bob\n  -\tname: root # admin\n", "", "", "", "", only_root, 1},
    {"another account", "#cloud-config\nusers:\n  - name: bob\n", "", "", "", "", only_root, 1},
    {"empty account name", "#cloud-config\nusers:\n  - name:\n", "", "", "", "", only_root, 1},
    {"names beyond root", "#cloud-config\n- names: x\n- name: root\n- name : bob\n",
     "", "", "", "", only_root + only_root, 1},
    {"plain passwords",
     "#cloud-config\npassword: first\npassword: \"second\"\npassword:\npassword: ''\npassword: " +
         std::string(256, 'p') + "\n",
     "", "", "second"},
    {"other hash forms are plain text or passed over",
     "#cloud-config\npasswd: plain\npasswd: $5$abc$def\npassword: $5$xyz\n", "", "", "$5$xyz"},
    {"hashes",
     "#cloud-config\npasswd: $6$salt$hash\npassword: $6$other$hash\nchpasswd:\n  root: plain\npasswd: $6$" +
         std::string(253, 'x') + "\n",
     "", "", "plain", "$6$other$hash"},
    {"a hash holding a CR is passed over",
     "#cloud-config\npasswd: $6$good$h\npasswd: $6$x\r[System]\npassword: $6$y\rHostname = z\n"
     "chpasswd:\n  root: $6$z\r\n",
     "", "", "", "$6$z"},
    {"chpasswd list",
     "#cloud-config\nchpasswd:\n  list: |\n    root:s3cret:x\n    bob:other\n  expire: False\n",
     "", "", "s3cret:x"},
    {"root's line only in chpasswd's list, taken as written",
     "#cloud-config\nchpasswd:\n  list: |\n    root:pass #1\n  expire: False\nroot: outside\n", "", "",
     "pass #1"},
    {"comments end values", "#cloud-config\nhostname: web-1 # the web tier\npassword: \"s3cret\" # set by ops\n"
     "ssh_authorized_keys:\n  - 'ssh-rsa K1' # from ops\n",
     "web-1", "ssh-rsa K1\n", "s3cret"},
    {"a quoted '#' is no comment", "#cloud-config\npassword: 'it''s # one' # c\n", "", "", "it''s # one"},
    {"a '#' inside a word is no comment", "#cloud-config\npassword: pa#ss # c\n", "", "", "pa#ss"},
    {"block scalars are no value",
     "#cloud-config\npassword: >-\n  s3cret\nhostname: |\n  web-1\npasswd: |2+\n  $6$s$h\n"
     "password: >\n  password: inner\nchpasswd:\n  root: |-\n    pw\npassword: '>-'\n",
     "", "", ">-", "",
     "[seedcfg] unsupported cloud-config field: password\n[seedcfg] unsupported cloud-config field: hostname\n"
     "[seedcfg] unsupported cloud-config field: passwd\n[seedcfg] unsupported cloud-config field: password\n"
     "[seedcfg] unsupported cloud-config field: root\n"},
    {"a hash of crypt's characters only",
     "#cloud-config\npasswd: $6$rounds=5000$salt$h./Z9\npasswd: $6$s$h:0:0\npassword: $6$s$h h\n"
     "passwd: $6$rounds=$s$h\n",
     "", "", "", "$6$rounds=5000$salt$h./Z9"},
    {"unsupported fields warn",
     "#cloud-config\nruncmd:\n  - [ls, -l]\n  - echo hi: there\nwrite_files:\npackages: [vim]\n"
     "runcmd : spaced\nhostname: still-read\n",
     "still-read", "", "", "",
     "[seedcfg] unsupported cloud-config field: runcmd\n"
     "[seedcfg] unsupported cloud-config field: write_files\n"
     "[seedcfg] unsupported cloud-config field: packages\n"},
    {"the text of unsupported blocks is passed over",
     "#cloud-config\nwrite_files:\n- path: /etc/aliases\n  content: |\n    root: admin@example.com\n"
     "    password: x\n- name: bob\nbootcmd:\n  - |\n    password: y\nhostname: h\n",
     "h", "", "", "", "[seedcfg] unsupported cloud-config field: write_files\n"},
};

TEST(CloudConfig, LineRules) {
    for (const reader_case &c : reader_cases) {
        SCOPED_TRACE(c.name);
        reset_run();
        std::string text = c.document;
        testing::internal::CaptureStderr();
        user_data_step(text.data());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(hostname, c.hostname);
        EXPECT_EQ(keys, c.keys);
        EXPECT_EQ(password, c.password);
        EXPECT_EQ(password_hash, c.hash);
        EXPECT_EQ(failed, c.failed);
    }
    reset_run();
    user_data_step(nullptr);
    EXPECT_EQ(failed, 0);
}

}  // namespace
