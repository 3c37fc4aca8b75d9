// Unit tests of the key list (identity, de-duplication, its fixed size, the
// metadata members it is filled from) and of the cloud-config line reader.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "agent/agent.h"
#include "agent/json.h"
#include "agent/keys.h"
#include "agent/userdata.h"
#include "tests/sandbox.h"

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

// The merge tells a missing keys file from one it must not replace.
TEST(KeyFileRead, ErrnoTellsMissingFromOversized) {
    sandbox::temp_dir dir;
    sandbox::spit(dir / "over", std::string(document_limit + 1, '\n'));
    errno = 0;
    EXPECT_EQ(read_file((dir / "missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(read_file((dir / "over").c_str()), nullptr);
    EXPECT_EQ(errno, EFBIG);
    errno = 0;
    EXPECT_EQ(read_file(dir.path.c_str()), nullptr);
    EXPECT_EQ(errno, EISDIR);
}

TEST(KeyIdentity, RunsThroughTheSecondField) {
    EXPECT_EQ(key_identity_length("ssh-rsa AAAA comment here"), 12u);
    EXPECT_EQ(key_identity_length("ssh-rsa \t AAAA"), 14u);  // exact separator counts
    EXPECT_EQ(key_identity_length("ssh-rsa AAAA\nssh-rsa BBBBBB"), 12u);
    EXPECT_EQ(key_identity_length("ssh-rsa"), 7u);
    EXPECT_EQ(key_identity_length(""), 0u);
    // Leading whitespace: an empty first field, then the first word.
    EXPECT_EQ(key_identity_length("  ssh-rsa AAAA"), 9u);
    EXPECT_EQ(key_identity_length("# note one"), 6u);
}

TEST(KeyIdentity, ContainsComparesWholeIdentities) {
    const char *list = "ssh-rsa AAAA first\nssh-ed25519 BBBB\necdsa-sha2-nistp256 CCCC tail";
    EXPECT_EQ(contains_key(list, "ssh-rsa AAAA other comment"), 1);
    EXPECT_EQ(contains_key(list, "ssh-ed25519 BBBB"), 1);
    EXPECT_EQ(contains_key(list, "ecdsa-sha2-nistp256 CCCC"), 1);  // last line, no LF
    EXPECT_EQ(contains_key(list, "ssh-rsa AAA"), 0);   // a prefix is not the key
    EXPECT_EQ(contains_key(list, "ssh-rsa AAAAA"), 0);
    EXPECT_EQ(contains_key(list, "ssh-rsa  AAAA"), 0);  // other separator
    EXPECT_EQ(contains_key(list, "SSH-RSA AAAA"), 0);
    EXPECT_EQ(contains_key("", "ssh-rsa AAAA"), 0);
}

TEST_F(KeyList, AcceptsOnlyTheSupportedTypesAtTheFirstByte) {
    add_key("ssh-ed25519 E1 e");
    add_key("ssh-rsa R1");
    add_key("ecdsa-sha2-anything-goes");
    add_key("ssh-dss D1");
    add_key(" ssh-rsa R2");
    add_key("ssh-rsa\tR3");
    add_key("SSH-RSA R4");
    add_key("ssh-rsa");
    add_key("");
    EXPECT_STREQ(keys, "ssh-ed25519 E1 e\nssh-rsa R1\necdsa-sha2-anything-goes\n");
    EXPECT_EQ(failed, 0);
}

TEST_F(KeyList, FirstLineOfAKeyWinsAndSeparatorsDistinguish) {
    add_key("ssh-rsa AAAA first");
    add_key("ssh-rsa AAAA second");
    add_key("ssh-rsa  AAAA two blanks");
    add_key("ssh-rsa AAAA");
    EXPECT_STREQ(keys, "ssh-rsa AAAA first\nssh-rsa  AAAA two blanks\n");
}

TEST_F(KeyList, MultiLineValuesAreSplitAtRunsOfLineEnds) {
    add_key("ssh-rsa A1 one\r\n\r\nssh-ed25519 B1\rssh-dss X\n\nssh-rsa A1 again\n");
    EXPECT_STREQ(keys, "ssh-rsa A1 one\nssh-ed25519 B1\n");
    EXPECT_EQ(failed, 0);
}

TEST_F(KeyList, HoldsExactly32767BytesOfContent) {
    for (int i = 0; i < 32; i++) add_key(key_line(i, 999).c_str());
    ASSERT_EQ(strlen(keys), 32000u);
    add_key(key_line(99, 766).c_str());
    EXPECT_EQ(strlen(keys), 32767u);
    EXPECT_EQ(failed, 0);
    // A duplicate of a key already held is ignored, not an overflow.
    add_key(key_line(0, 999).c_str());
    EXPECT_EQ(failed, 0);
    add_key("ssh-rsa Z");
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(strlen(keys), 32767u);
}

TEST_F(KeyList, OneByteTooManyIsRefusedAndLeavesTheList) {
    for (int i = 0; i < 32; i++) add_key(key_line(i, 999).c_str());
    std::string before = keys;
    add_key(key_line(99, 767).c_str());
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(before, keys);
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
struct MetadataKeys : KeyList {
    std::string text;
    std::unique_ptr<json_doc> doc = std::make_unique<json_doc>();
    void collect(const std::string &document) {
        text = document;
        ASSERT_EQ(json_parse(doc.get(), text.data(), text.size()), 0) << document;
        collect_metadata_keys(doc.get());
    }
};

TEST_F(MetadataKeys, PublicKeysThenKeysInDocumentOrder) {
    collect(R"({"keys": [{"data": "ssh-rsa K1 k", "type": "ssh"}, 5, {"name": "x"},
                        {"data": 7}, {"data": "ssh-ed25519 K2\r\nssh-rsa K3"}],
               "public_keys": {"b": "ssh-rsa P1 first", "a": "ssh-rsa P1 second",
                               "c": ["ssh-rsa X"], "d": "ssh-ed25519 P2 \u0041"}})");
    EXPECT_STREQ(keys, "ssh-rsa P1 first\nssh-ed25519 P2 A\nssh-rsa K1 k\nssh-ed25519 K2\nssh-rsa K3\n");
    EXPECT_EQ(failed, 0);
}

TEST_F(MetadataKeys, ValuesThatDoNotFitTheDecodeBufferAreSkipped) {
    std::string fits = key_line(1, 8191);
    std::string too_long = key_line(2, 8192);
    collect(R"({"public_keys": {"a": ")" + too_long + R"(", "b": ")" + fits + R"("}})");
    EXPECT_EQ(std::string(keys), fits + "\n");
}

TEST_F(MetadataKeys, WrongShapesAndDoubledMembersGiveNothing) {
    collect(R"({"public_keys": ["ssh-rsa A"], "keys": {"data": "ssh-rsa B"}})");
    collect(R"({"public_keys": {"a": "ssh-rsa A"}, "public_keys": {"b": "ssh-rsa B"}})");
    EXPECT_STREQ(keys, "");
}

// The cloud-config reader.
struct CloudConfig : KeyList {
    std::string err;
    void read(const std::string &document) {
        std::string copy = document;
        testing::internal::CaptureStderr();
        user_data_step(copy.data());
        err = testing::internal::GetCapturedStderr();
    }
};

TEST_F(CloudConfig, OnlyADocumentMarkedAtTheFirstByteIsRead) {
    read("#!/bin/sh\nhostname: script\n");
    EXPECT_EQ(err, "[seedcfg] user-data scripts are not supported\n");
    read("\n#cloud-config\nhostname: late\n");
    EXPECT_EQ(err, "[seedcfg] user-data scripts are not supported\n");
    read("#Cloud-Config\nhostname: upper\n");
    EXPECT_EQ(err, "[seedcfg] user-data scripts are not supported\n");
    read("");
    EXPECT_EQ(err, "");
    user_data_step(nullptr);
    EXPECT_STREQ(hostname, "");
    read("#cloud-config with trailing words\nhostname: marked\n");
    EXPECT_STREQ(hostname, "marked");
    EXPECT_EQ(err, "");
    EXPECT_EQ(failed, 0);
}

TEST_F(CloudConfig, HostName) {
    read("#cloud-config\nhostname: \"quoted-host\"\n");
    EXPECT_STREQ(hostname, "quoted-host");
    read("#cloud-config\nhostname: 'single'\nhostname : spaced\nhostname: a=b\n"
         "hostname: a;b\nhostname:\n");
    EXPECT_STREQ(hostname, "single");
    read("#cloud-config\nhostname: " + std::string(256, 'h') + "\n");
    EXPECT_STREQ(hostname, "single");
    read("#cloud-config\nhostname: " + std::string(255, 'h') + "\n");
    EXPECT_EQ(std::string(hostname), std::string(255, 'h'));
    read("#cloud-config\r\nhostname: crlf-host\r\n");
    EXPECT_STREQ(hostname, "crlf-host");
    read("#cloud-config\nhostname: host: with colon\n");
    EXPECT_STREQ(hostname, "host: with colon");
    EXPECT_EQ(failed, 0);
}

TEST_F(CloudConfig, KeyListFlag) {
    read("#cloud-config\n"
         "ssh_authorized_keys:\n"
         "  - ssh-rsa K1 one\n"
         "# a comment keeps the list open\n"
         "\n"
         "- \"ssh-ed25519 K2\"\n"
         "  other: indented keeps it open\n"
         "  -   ssh-rsa K3   \r\n"
         "hostname: ends-list\n"
         "- ssh-rsa K4\n"
         "  - ssh-rsa K5\n"
         "users:\n"
         "  - name: root\n"
         "    ssh_authorized_keys:\n"
         "      - ssh-rsa K6\n"
         "ssh_authorized_keys: [ssh-rsa inline]\n"
         "- ssh-rsa K7\n"
         "plainword\n"
         "- ssh-rsa K8\n");
    EXPECT_STREQ(keys, "ssh-rsa K1 one\nssh-ed25519 K2\nssh-rsa K3\nssh-rsa K6\nssh-rsa K7\n");
    EXPECT_STREQ(hostname, "ends-list");
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(err, "");
}

TEST_F(CloudConfig, OnlyRootMayBeNamed) {
    read("#cloud-config\nusers:\n  - name: root\n  - bob\n  - default\nusers: [alice]\n");
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(err, "");

    read("#cloud-config\nusers:\n  - name: root\n    ssh_authorized_keys:\n"
         "      - ssh-rsa K1\n  - name: bob\n");
    EXPECT_EQ(failed, 0) << "taken as a key while the key list is open";
    EXPECT_STREQ(keys, "ssh-rsa K1\n");

    read("#cloud-config\nusers:\n  - name: bob\n");
    EXPECT_EQ(err, "[seedcfg] only the root account is supported\n");
    EXPECT_EQ(failed, 1);

    reset_run();
    read("#cloud-config\nusers:\n  - name:\n");
    EXPECT_EQ(err, "[seedcfg] only the root account is supported\n");
    EXPECT_EQ(failed, 1);

    reset_run();
    read("#cloud-config\nusers:\n  - name: 'root'\n  -  name: bob\n  -name: bob\n");
    EXPECT_EQ(failed, 0);
}

TEST_F(CloudConfig, PasswordsAndHashes) {
    read("#cloud-config\npassword: first\npassword: \"second\"\n");
    EXPECT_STREQ(password, "second");
    EXPECT_STREQ(password_hash, "");

    read("#cloud-config\npasswd: plain\npasswd: $5$abc$def\npassword: $5$xyz\n");
    EXPECT_STREQ(password, "$5$xyz");
    EXPECT_STREQ(password_hash, "");

    read("#cloud-config\npassword:\npassword: ''\npassword: " + std::string(256, 'p') + "\n");
    EXPECT_STREQ(password, "$5$xyz");

    read("#cloud-config\npasswd: $6$salt$hash\n");
    EXPECT_STREQ(password_hash, "$6$salt$hash");
    read("#cloud-config\npassword: $6$other$hash\n");
    EXPECT_STREQ(password_hash, "$6$other$hash");
    EXPECT_STREQ(password, "$5$xyz");
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(err, "");
}

TEST_F(CloudConfig, ChpasswdListForm) {
    read("#cloud-config\nchpasswd:\n  list: |\n    root:s3cret:x\n    bob:other\n  expire: False\n");
    EXPECT_STREQ(password, "s3cret:x");
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(err, "");
}

TEST_F(CloudConfig, UnsupportedFieldsWarnOnce) {
    read("#cloud-config\nruncmd:\n  - [ls, -l]\n  - echo hi: there\nwrite_files:\n"
         "packages: [vim]\nruncmd : spaced\nhostname: still-read\n");
    EXPECT_EQ(err,
              "[seedcfg] unsupported cloud-config field: runcmd\n"
              "[seedcfg] unsupported cloud-config field: write_files\n"
              "[seedcfg] unsupported cloud-config field: packages\n");
    EXPECT_STREQ(hostname, "still-read");
    EXPECT_EQ(failed, 0);
}

}  // namespace
