// The agent's run sequence on the real binary: command line, outcomes,
// messages, exit statuses, and what is (and is not) left on disk.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/sandbox.h"

using sandbox::exists;
using sandbox::mode_of;
using sandbox::slurp;

namespace {

const std::string seedcfg = SEEDCFG_PATH;
const std::string unavailable = "[seedcfg] metadata unavailable; keeping local configuration\n";
const std::string invalid = "[seedcfg] invalid metadata; keeping local configuration\n";
const std::string rejected = "[seedcfg] configuration rejected\n";

// One guest: a metadata tree and a sandbox whose /etc and /root are private.
struct guest {
    sandbox::box box;
    sandbox::temp_dir meta;

    void document(const std::string &name, const std::string &content,
                  const std::string &version = "latest") {
        sandbox::make_dirs(meta / ("openstack/" + version));
        sandbox::spit(meta / ("openstack/" + version + "/" + name), content, 0644);
    }
    sandbox::result run(std::vector<std::string> args, std::function<void()> prepare = {}) {
        args.insert(args.begin(), seedcfg);
        sandbox::options o;
        o.args = args;
        o.writable = {"/etc", "/root"};
        o.tmpfs = {"/mnt", "/dev"};  // no drive or mounted tree to find
        o.private_net = true;         // and no metadata service
        o.prepare = std::move(prepare);
        return box.run(o);
    }
    sandbox::result provision(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--source", meta.path, "--config-only"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }
    std::string out(const std::string &name) const { return slurp(box.written("/etc/cloud/" + name)); }
    bool wrote(const std::string &name) const { return exists(box.written("/etc/cloud/" + name)); }
    // Earlier output that every refusal must leave byte for byte.
    void previous() const {
        box.seed("/etc/cloud/settings.ini", "[System]\nHostname = before\n");
        box.seed("/etc/cloud/status", "source=http\ninstance=before\nexperimental=true\n");
    }
    // Nothing at all was written below /etc or /root.
    bool untouched() const {
        for (const char *dir : {"/etc", "/root"}) {
            std::string upper = box.written(dir);
            if (exists(upper) && !std::filesystem::is_empty(upper)) return false;
        }
        return true;
    }
    void expect_previous() const {
        EXPECT_EQ(out("settings.ini"), "[System]\nHostname = before\n");
        EXPECT_EQ(out("status"), "source=http\ninstance=before\nexperimental=true\n");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(box.written("/etc/cloud")),
                                std::filesystem::directory_iterator()), 2);
    }
};

TEST(SeedcfgCommandLine, BadLinesExitTwoSilently) {
    const std::vector<std::vector<std::string>> bad = {
        {"--source"},
        {"--config-only", "--keys-file"},
        {"--bogus", "value"},
        {"positional"},
        {"--source", std::string(256, 's')},               // no room in the 256-byte field
        {"--output", "/" + std::string(487, 'o')},          // paths under it would not fit
        {"--keys-file", "/" + std::string(512, 'k')},
    };
    for (const auto &args : bad) {
        guest g;
        g.document("meta_data.json", R"({"uuid":"i-1","hostname":"h"})");
        auto r = g.run(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(g.untouched()) << args[0];
    }
}

TEST(SeedcfgCommandLine, LongestValuesThatFitAreTaken) {
    guest g;
    g.document("meta_data.json", R"({"uuid":"i-1"})");
    // 486 bytes leave room for "/authorized_keys.managed" in 512.
    std::string parent = "/etc";
    for (int i = 0; i < 4; i++) parent += "/" + std::string(100, 'a' + i);
    std::string out = parent + "/" + std::string(486 - parent.size() - 1, 'o');
    ASSERT_EQ(out.size(), 486u);
    sandbox::make_dirs(g.box.written(parent));
    auto r = g.run({"--source", g.meta.path, "--config-only", "--output", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(g.box.written(out + "/status")), "source=config-drive\ninstance=i-1\nexperimental=true\n");
}

TEST(SeedcfgCommandLine, ValueMayLookLikeAnOption) {
    guest g;
    g.document("meta_data.json", R"({"uuid":"i-1","hostname":"h"})");
    sandbox::temp_dir work;
    // "--config-only" is the output directory here, not the flag.
    auto r = g.run({"--source", g.meta.path, "--output", "--config-only"},
                   [&] {
                       if (chdir(work.path.c_str()) != 0) _exit(126);
                   });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(work / "--config-only/settings.ini"), "[System]\nHostname = h\n");
    // Repeated options: the last one counts.
    sandbox::temp_dir other;
    auto r2 = g.run({"--source", "/nonexistent", "--source", g.meta.path, "--config-only",
                     "--output", "/etc/cloud", "--output", other.path});
    EXPECT_EQ(r2.status, 0) << r2.err;
    EXPECT_TRUE(exists(other / "status"));
}

TEST(SeedcfgRun, MetadataUnavailableKeepsEverything) {
    guest g;
    g.previous();
    auto r = g.provision();  // empty source tree, config-only
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, unavailable);
    EXPECT_EQ(r.err, "");
    g.expect_previous();
    // An older version directory is found when "latest" is missing.
    g.document("meta_data.json", R"({"uuid":"i-old"})", "2017-02-22");
    r = g.provision();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[seedcfg] config-drive configuration ready for instance i-old\n");
}

TEST(SeedcfgRun, InvalidMetadataWritesNothing) {
    const std::vector<std::string> documents = {
        "", "   ", "{", "[]", R"(["uuid","i-1"])", "\"i-1\"",
        R"({"hostname":"h"})",                           // no uuid
        R"({"uuid":""})",
        R"({"uuid":42})",
        R"({"uuid":"a=b"})",
        R"({"uuid":"a;b"})",
        R"({"uuid":"i-1","uuid":"i-2"})",                // a doubled member is absent
        R"({"uuid":"i-1"} x)",
        R"({"uuid":"i-1","public_keys":{"k":"ssh-ed25519 AAAA k"},"uuid2":[1,]})",
    };
    for (const auto &doc : documents) {
        guest g;
        g.previous();
        g.document("meta_data.json", doc);
        auto r = g.provision();
        EXPECT_EQ(r.status, 1) << doc;
        EXPECT_EQ(r.err, invalid) << doc;
        EXPECT_EQ(r.out, "");
        g.expect_previous();
        EXPECT_FALSE(exists(g.box.written("/root/.ssh"))) << doc;
    }
}

TEST(SeedcfgRun, WritesSettingsAndStatus) {
    guest g;
    g.document("meta_data.json",
               R"({"uuid":"8d2f6a41-3c7e","hostname":"node-1","name":"ignored","meta":{"a":[1,2]}})");
    auto r = g.provision();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[seedcfg] config-drive configuration ready for instance 8d2f6a41-3c7e\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(g.out("settings.ini"), "[System]\nHostname = node-1\n");
    EXPECT_EQ(g.out("status"), "source=config-drive\ninstance=8d2f6a41-3c7e\nexperimental=true\n");
    EXPECT_EQ(mode_of(g.box.written("/etc/cloud")), 0700u);
    EXPECT_EQ(mode_of(g.box.written("/etc/cloud/settings.ini")), 0600u);
    EXPECT_EQ(mode_of(g.box.written("/etc/cloud/status")), 0600u);
    // No password and no keys: no hash file, no key files, no /root/.ssh.
    EXPECT_FALSE(g.wrote("password.hash"));
    EXPECT_FALSE(g.wrote("authorized_keys.managed"));
    EXPECT_FALSE(exists(g.box.written("/root/.ssh")));
    // Only the files themselves: no temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(g.box.written("/etc/cloud")),
                            std::filesystem::directory_iterator()), 2);
}

TEST(SeedcfgRun, RewritesLooserFilesAndEmptySettings) {
    guest g;
    g.box.seed("/etc/cloud/settings.ini", "[System]\nHostname = old\n[DNS]\n1 = 192.0.2.1\n", 0644);
    // Host name that cannot stand in the settings file: left out, no error.
    g.document("meta_data.json", R"({"uuid":"i-1","hostname":"bad;name"})");
    auto r = g.provision();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(g.out("settings.ini"), "");
    EXPECT_EQ(mode_of(g.box.written("/etc/cloud/settings.ini")), 0600u);
}

TEST(SeedcfgRun, LongFieldsAreCutToTheirBuffers) {
    guest g;
    std::string uuid(300, 'u');
    std::string host(300, 'h');
    g.document("meta_data.json", R"({"uuid":")" + uuid + R"(","hostname":")" + host + "\"}");
    auto r = g.provision();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[seedcfg] config-drive configuration ready for instance " + uuid.substr(0, 255) + "\n");
    EXPECT_EQ(g.out("status"), "source=config-drive\ninstance=" + uuid.substr(0, 255) + "\nexperimental=true\n");
    EXPECT_EQ(g.out("settings.ini"), "[System]\nHostname = " + host.substr(0, 255) + "\n");
}

TEST(SeedcfgRun, DocumentsComeFromTheirOwnVersions) {
    guest g;
    g.document("meta_data.json", R"({"uuid":"i-1","hostname":"h"})");
    g.document("user_data", "#!/bin/sh\necho hi\n", "2016-10-06");
    auto r = g.provision();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "[seedcfg] user-data scripts are not supported\n");
    EXPECT_EQ(g.out("settings.ini"), "[System]\nHostname = h\n");
    // Empty user data is no script.
    guest quiet;
    quiet.document("meta_data.json", R"({"uuid":"i-1"})");
    quiet.document("user_data", "");
    r = quiet.provision();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(SeedcfgRun, UnparsableNetworkDocumentRefusesEverything) {
    guest g;
    g.previous();
    g.box.seed("/root/.ssh/authorized_keys", "ssh-ed25519 AAAAhand admin\n");
    g.document("meta_data.json",
               R"({"uuid":"i-1","hostname":"h","public_keys":{"a":"ssh-ed25519 AAAAkey a"}})");
    g.document("network_data.json", R"({"links": [)");
    g.document("user_data", "echo script\n");
    auto r = g.provision();
    EXPECT_EQ(r.status, 1);
    // The user-data warning still comes, before the refusal.
    EXPECT_EQ(r.err, "[seedcfg] user-data scripts are not supported\n" + rejected);
    EXPECT_EQ(r.out, "");
    g.expect_previous();
    EXPECT_EQ(slurp(g.box.written("/root/.ssh/authorized_keys")), "ssh-ed25519 AAAAhand admin\n");
}

// Failures after settings.ini: each leaves what was written before it and
// the previous files after it.
TEST(SeedcfgRun, LaterWriteFailuresStopTheSequenceWhereTheyHappen) {
    const std::string metadata =
        R"({"uuid":"i-new","hostname":"h","public_keys":{"a":"ssh-ed25519 AAAAkey a"}})";
    const std::string user_data = "#cloud-config\npassword: secret\n";
    auto prepare_guest = [&](guest &g) {
        g.previous();
        g.document("meta_data.json", metadata);
        g.document("user_data", user_data);
    };

    // The status record cannot be written: everything before it is.
    {
        guest g;
        prepare_guest(g);
        std::filesystem::remove(g.box.written("/etc/cloud/status"));
        sandbox::make_dirs(g.box.written("/etc/cloud/status"));
        auto r = g.provision();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_NE(g.out("settings.ini").find("PasswordHash = $6$"), std::string::npos);
        EXPECT_EQ(g.out("password.hash").rfind("$6$", 0), 0u);
        EXPECT_EQ(slurp(g.box.written("/root/.ssh/authorized_keys")), "ssh-ed25519 AAAAkey a\n");
        EXPECT_TRUE(std::filesystem::is_directory(g.box.written("/etc/cloud/status")));
    }
    // The password hash cannot be written: no status record either.
    {
        guest g;
        prepare_guest(g);
        sandbox::make_dirs(g.box.written("/etc/cloud/password.hash"));
        auto r = g.provision();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_NE(g.out("settings.ini").find("PasswordHash = $6$"), std::string::npos);
        EXPECT_EQ(g.out("authorized_keys.managed"), "ssh-ed25519 AAAAkey a\n");
        EXPECT_EQ(g.out("status"), "source=http\ninstance=before\nexperimental=true\n");
    }
    // The keys file cannot be written: reported; the administrator's file,
    // the hash and the status record stay as they were. The managed list,
    // written first, already names the earlier run's key and this one's.
    {
        guest g;
        prepare_guest(g);
        const std::string keys = "ssh-ed25519 AAAAold old\nssh-ed25519 AAAAhand admin\n";
        g.box.seed("/root/.ssh/authorized_keys", keys);
        g.box.seed("/etc/cloud/authorized_keys.managed", "ssh-ed25519 AAAAold old\n");
        auto r = g.run({"--source", g.meta.path, "--config-only"}, [] {
            mount("/root/.ssh", "/root/.ssh", nullptr, MS_BIND, nullptr);
            mount(nullptr, "/root/.ssh", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "[seedcfg] keys: Read-only file system\n");
        EXPECT_NE(g.out("settings.ini").find("[SSH]"), std::string::npos);
        EXPECT_EQ(slurp(g.box.written("/root/.ssh/authorized_keys")), keys);
        EXPECT_EQ(g.out("authorized_keys.managed"), "ssh-ed25519 AAAAkey a\nssh-ed25519 AAAAold old\n");
        EXPECT_FALSE(g.wrote("password.hash"));
        EXPECT_EQ(g.out("status"), "source=http\ninstance=before\nexperimental=true\n");
    }
}

// A full disk while the settings file is written: the previous file stays
// whole and no temporary file is left.
TEST(SeedcfgRun, WriteFailureKeepsPreviousFile) {
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    sandbox::temp_dir small;
    ASSERT_EQ(mount("tmpfs", small.path.c_str(), "tmpfs", 0, "size=64k,mode=0700"), 0);
    const std::string old_settings = "[System]\nHostname = before\n";
    sandbox::spit(small / "settings.ini", old_settings);
    sandbox::spit(small / "status", "source=http\ninstance=before\nexperimental=true\n");
    {
        FILE *filler = fopen((small / "filler").c_str(), "w");
        ASSERT_TRUE(filler);
        std::string block(4096, 'f');
        for (int i = 0; i < 64 && fwrite(block.data(), 1, block.size(), filler) == block.size(); i++)
            fflush(filler);
        fclose(filler);
    }
    guest g;
    g.document("meta_data.json", R"({"uuid":"i-1","hostname":")" + std::string(200, 'n') + "\"}");
    auto r = g.provision({"--output", small.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[seedcfg] settings: No space left on device\n");
    EXPECT_EQ(slurp(small / "settings.ini"), old_settings);
    EXPECT_EQ(slurp(small / "status"), "source=http\ninstance=before\nexperimental=true\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(small.path),
                            std::filesystem::directory_iterator()), 3);
    umount2(small.path.c_str(), MNT_DETACH);
}

}  // namespace
