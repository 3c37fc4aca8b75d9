// seedcfg as it runs at boot: root's key files and password hash over one
// or more runs, with /etc/cloud and /root bound to temporary directories.
#include <crypt.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/sandbox.h"

using sandbox::exists;
using sandbox::mode_of;
using sandbox::slurp;
using sandbox::spit;

namespace {

const std::string key_a = "ssh-ed25519 AAAAC3NzaKeyA alice@laptop";
const std::string key_b = "ssh-rsa AAAAB3NzaKeyB bob@desk";
const std::string key_u = "ssh-rsa AAAAB3NzaKeyU admin@console";
const std::string ready = "[seedcfg] config-drive configuration ready for instance i-42\n";
const std::string only_host = "[System]\nHostname = node-1\n";
constexpr size_t document_limit = 262144;

struct KeysSystem : testing::Test {
    sandbox::box box;
    sandbox::temp_dir meta, cloud, root;

    void SetUp() override { sandbox::make_dirs(meta / "openstack/latest", 0700); }

    // meta_data.json with the given keys as "public_keys" members.
    void metadata(const std::vector<std::string> &public_keys, const std::string &extra = "") {
        std::string members;
        for (size_t i = 0; i < public_keys.size(); i++)
            members += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": \"" + public_keys[i] + "\"";
        spit(meta / "openstack/latest/meta_data.json",
             R"({"uuid": "i-42", "hostname": "node-1", "public_keys": {)" + members + "}" + extra + "}");
    }
    void user_data(const std::string &text) { spit(meta / "openstack/latest/user_data", text); }
    void keys_file(const std::string &text, unsigned mode = 0600) {
        sandbox::make_dirs(root / ".ssh", 0700);
        spit(root / ".ssh/authorized_keys", text, mode);
    }

    sandbox::result run(std::function<void()> prepare = {}) {
        sandbox::options o;
        o.args = {SEEDCFG_PATH, "--config-only", "--source", meta.path};
        o.writable = {"/etc"};
        o.binds = {{cloud.path, "/etc/cloud"}, {root.path, "/root"}};
        o.private_net = true;
        o.prepare = std::move(prepare);
        return box.run(o);
    }
    // A run that must succeed with the given warnings.
    void run_ready(const std::string &err = "") {
        auto r = run();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, ready);
        EXPECT_EQ(r.err, err);
    }

    std::string authorized() const { return slurp(root / ".ssh/authorized_keys"); }
    std::string managed() const { return slurp(cloud / "authorized_keys.managed"); }
    std::string settings() const { return slurp(cloud / "settings.ini"); }
    std::string stored_hash() const { return slurp(cloud / "password.hash"); }
};

bool verifies(const std::string &password, const std::string &hash) {
    const char *again = crypt(password.c_str(), hash.c_str());
    return again && hash == again;
}

// Runs the program without the capabilities that let root read any file.
void without_dac_override() {
    for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) == 0) {
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) data[0].inheritable &= ~(1u << cap);
        syscall(SYS_capset, &header, data);
    }
}

// ---------------------------------------------------------------------------
// Key files

TEST_F(KeysSystem, MergeDropsKeysTheMetadataNoLongerListsAndKeepsTheAdministrators) {
    // CR LF lines come back with LF. "# admin two" has the identity of
    // "# admin note" (the "#" is a field), and B's line that of the key.
    keys_file("# admin note\r\n\r\n# admin two\r\n" + key_u + "\r\n" + key_b + " other\r\n");
    metadata({key_a, key_b});
    run_ready();
    EXPECT_EQ(authorized(), key_a + "\n" + key_b + "\n# admin note\n" + key_u + "\n");
    EXPECT_EQ(managed(), key_a + "\n" + key_b + "\n");
    EXPECT_EQ(mode_of(root / ".ssh/authorized_keys"), 0600u);
    EXPECT_EQ(mode_of(cloud / "authorized_keys.managed"), 0600u);
    EXPECT_EQ(settings(), only_host + "[SSH]\nEnabled = 1\nLogin = root\nPassword = \nPasswordHash = \n");

    metadata({}, R"(, "keys": [{"data": ")" + key_a + R"(", "type": "ssh"}])");
    run_ready();
    EXPECT_EQ(authorized(), key_a + "\n# admin note\n" + key_u + "\n");
    EXPECT_EQ(managed(), key_a + "\n");

    metadata({});
    run_ready();
    EXPECT_EQ(authorized(), "# admin note\n" + key_u + "\n");
    EXPECT_EQ(managed(), "");
    EXPECT_EQ(settings(), only_host);
}

// A run that replaced key A with B, cut after none, one, two or all three
// of its key writes (the managed list naming both runs' keys, the keys file,
// the new list); the next run, with B revoked for C, drops both, keeps U.
TEST_F(KeysSystem, CutBetweenTheKeyWritesMendsAtTheNextRun) {
    const std::string a = key_a + "\n", b = key_b + "\n", u = key_u + "\n", c = "ssh-rsa KeyC\n";
    const std::pair<std::string, std::string> left[] = {  // managed list, keys file
        {a, a + u}, {b + a, a + u}, {b + a, b + u}, {b, b + u}};
    metadata({"ssh-rsa KeyC"});
    for (const auto &[managed_list, keys] : left) {
        spit(cloud / "authorized_keys.managed", managed_list);
        keys_file(keys);
        run_ready();
        EXPECT_EQ(authorized(), c + u) << managed_list << keys;
        EXPECT_EQ(managed(), c);
    }
}

TEST_F(KeysSystem, KeyFilesAndTheirDirectoryComeOnlyWithSomethingToWrite) {
    metadata({});
    run_ready();
    EXPECT_FALSE(exists(root / ".ssh"));
    EXPECT_FALSE(exists(cloud / "authorized_keys.managed"));
    EXPECT_EQ(settings(), only_host);

    metadata({key_a});
    run_ready();
    EXPECT_EQ(mode_of(root / ".ssh"), 0700u);
    EXPECT_EQ(authorized(), key_a + "\n");

    // Lines an earlier run placed go, leaving empty files.
    chmod((root / ".ssh/authorized_keys").c_str(), 0644);
    metadata({});
    run_ready();
    EXPECT_EQ(authorized(), "");
    EXPECT_EQ(managed(), "");
    EXPECT_EQ(mode_of(root / ".ssh/authorized_keys"), 0600u);
    EXPECT_EQ(mode_of(cloud / "authorized_keys.managed"), 0600u);
}

TEST_F(KeysSystem, KeyFileThatCannotBeReadWholeIsNeverReplaced) {
    std::string big;
    for (int i = 0; big.size() <= document_limit; i++) big += "# line " + std::to_string(i) + "\n";
    struct {
        std::string content;
        unsigned mode;
        void (*prepare)();
        std::string err;
    } cases[] = {
        {big, 0600, nullptr, "File too large"},
        {key_u + "\n", 0, without_dac_override, "Permission denied"},
        // The lines behind a NUL byte would be lost.
        {key_u + "\n" + std::string(1, '\0') + "# after NUL\n", 0600, nullptr,
         "Invalid or incomplete multibyte or wide character"},
    };
    metadata({key_a});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        keys_file(c.content, c.mode);
        auto r = run(c.prepare);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "[seedcfg] keys: " + c.err + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(authorized() == c.content);
        EXPECT_EQ(mode_of(root / ".ssh/authorized_keys"), c.mode);
        EXPECT_FALSE(exists(cloud / "authorized_keys.managed"));
    }

    // The same for the managed file; the keys file stays as it was.
    keys_file(key_b + "\n" + key_u + "\n");
    spit(cloud / "authorized_keys.managed", big);
    auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[seedcfg] keys: File too large\n");
    EXPECT_EQ(authorized(), key_b + "\n" + key_u + "\n");
    EXPECT_TRUE(managed() == big);

    // Readable again: the administrator's lines are merged as usual.
    spit(cloud / "authorized_keys.managed", key_b + "\n");
    run_ready();
    EXPECT_EQ(authorized(), key_a + "\n" + key_u + "\n");
}

TEST_F(KeysSystem, KeyListOverflowLeavesBothKeyFiles) {
    // The administrator's lines and the managed key do not fit the list
    // together: the merge fails silently after the settings file.
    std::string lines;
    for (int i = 0; i < 40; i++) lines += "#admin-" + std::to_string(i) + std::string(990, 'x') + "\n";
    keys_file(lines);
    metadata({key_a});
    auto r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(authorized() == lines);
    EXPECT_FALSE(exists(cloud / "authorized_keys.managed"));
    EXPECT_TRUE(exists(cloud / "settings.ini"));

    // Too many managed keys refuse the configuration before anything is written.
    std::string many = "#cloud-config\nssh_authorized_keys:\n";
    for (int i = 0; i < 40; i++) many += "  - ssh-rsa K" + std::to_string(i) + std::string(990, 'k') + "\n";
    user_data(many);
    spit(cloud / "settings.ini", "old\n");
    r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[seedcfg] configuration rejected\n");
    EXPECT_EQ(settings(), "old\n");
    EXPECT_TRUE(authorized() == lines);
}

// ---------------------------------------------------------------------------
// Password hash

TEST_F(KeysSystem, PasswordHashKeepsItsSaltWhileThePasswordStays) {
    metadata({});
    user_data("#cloud-config\npassword: s3cret-one\n");
    run_ready();
    std::string first = stored_hash();
    ASSERT_EQ(first.rfind("$6$", 0), 0u) << first;
    EXPECT_TRUE(verifies("s3cret-one", first));
    // "$6$", 16 of the 32 hexadecimal digits given (no "rounds="), "$".
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef", 3), 19u);
    EXPECT_EQ(first[19], '$');
    EXPECT_EQ(mode_of(cloud / "password.hash"), 0600u);
    EXPECT_EQ(settings(), only_host + "[SSH]\nEnabled = 1\nLogin = root\nPassword = \n"
                                      "PasswordHash = " + first + "\n");
    EXPECT_FALSE(exists(root / ".ssh"));

    run_ready();
    EXPECT_EQ(stored_hash(), first);

    user_data("#cloud-config\npassword: s3cret-two\n");
    run_ready();
    std::string second = stored_hash();
    EXPECT_TRUE(verifies("s3cret-two", second));
    EXPECT_NE(second.substr(0, 20), first.substr(0, 20));
}

TEST_F(KeysSystem, StoredHashStaysInForceOnlyWhileItFits) {
    metadata({});
    spit(cloud / "password.hash", "$6$storedsalt$abcdef\nsecond line\n", 0644);
    run_ready();
    EXPECT_EQ(stored_hash(), "$6$storedsalt$abcdef");
    EXPECT_EQ(mode_of(cloud / "password.hash"), 0600u);
    EXPECT_NE(settings().find("PasswordHash = $6$storedsalt$abcdef\n"), std::string::npos);

    // A hash given in the user data wins over the stored one and the password.
    user_data("#cloud-config\npassword: plain-text\npasswd: $6$given$hash\n");
    run_ready();
    EXPECT_EQ(stored_hash(), "$6$given$hash");

    // A stored hash of another form, or with a character crypt never
    // writes, is ignored and left as it is.
    for (const char *other : {"$1$old$md5hash", "$6$s$h:0:0"}) {
        spit(cloud / "password.hash", other);
        user_data("#cloud-config\npasswd: not-a-hash\n");
        run_ready();
        EXPECT_EQ(stored_hash(), other);
        EXPECT_EQ(settings(), only_host);
    }
}

// ---------------------------------------------------------------------------
// User data

TEST_F(KeysSystem, OnlyTheRootAccountMayBeNamed) {
    keys_file(key_u + "\n");
    metadata({});
    // Another account after root's key list is no key of root's, nor is its
    // hash root's: it is refused as it would be first.
    const std::string after_root_keys = "    ssh_authorized_keys:\n      - " + key_a +
                                        "\n  - name: bob\n    passwd: $6$bobsalt$h\n"
                                        "    ssh_authorized_keys:\n      - " + key_b + "\n";
    for (std::string entry : {"  - name: bob\n", "  - name:\n", "  - name: ''\n", "  -   name: bob\n",
                              after_root_keys.c_str()}) {
        SCOPED_TRACE(entry);
        user_data("#cloud-config\nusers:\n  - name: root\n" + entry);
        auto r = run();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "[seedcfg] only the root account is supported\n"
                         "[seedcfg] configuration rejected\n");
        EXPECT_EQ(authorized(), key_u + "\n");
        EXPECT_FALSE(exists(cloud / "settings.ini"));
        EXPECT_FALSE(exists(cloud / "authorized_keys.managed"));
    }

    // A bare account word refuses nothing.
    user_data("#cloud-config\nusers:\n  - default\n  - name: root\n    ssh_authorized_keys:\n"
              "      - " + key_a + "\n");
    run_ready();
    EXPECT_EQ(authorized(), key_a + "\n" + key_u + "\n");
}

TEST_F(KeysSystem, ScriptsAndLateMarksAreWarnedAboutAndIgnored) {
    metadata({});
    user_data("#!/bin/sh\necho hostname: evil\n");
    run_ready("[seedcfg] user-data scripts are not supported\n");

    user_data("\n#cloud-config\nhostname: from-user-data\npassword: secret\n");
    run_ready("[seedcfg] user-data scripts are not supported\n");
    EXPECT_EQ(settings(), only_host);
    EXPECT_FALSE(exists(cloud / "password.hash"));

    user_data("#cloud-config\nhostname: from-user-data\nruncmd:\n  - reboot\n");
    run_ready("[seedcfg] unsupported cloud-config field: runcmd\n");
    EXPECT_EQ(settings(), "[System]\nHostname = from-user-data\n");
}

TEST_F(KeysSystem, ChpasswdListGivesRootsPassword) {
    metadata({key_a});
    user_data("#cloud-config\r\nchpasswd:\r\n  list: |\r\n    root:l1st-pass\r\n    bob:other\r\n"
              "  expire: False\r\n");
    run_ready();
    EXPECT_TRUE(verifies("l1st-pass", stored_hash()));
    EXPECT_NE(settings().find("PasswordHash = " + stored_hash() + "\n"), std::string::npos);
    EXPECT_EQ(authorized(), key_a + "\n");
}

}  // namespace
