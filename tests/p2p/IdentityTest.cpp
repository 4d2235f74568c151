// The device's key file and fingerprint, and the desk's known-devices file.
// Sessions that pin and refuse keys run in TransportTest.
#include "p2p/KnownDevices.h"
#include "p2p/TlsLayer.h"
#include "tests/support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Command(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, pipe) != nullptr)
            out += buf;
        pclose(pipe);
    }
    return out;
}

const std::string kFp1 = "SHA256:" + std::string(43, 'A');
const std::string kFp2 = "SHA256:" + std::string(42, 'B') + "/";

} // namespace

// The key file is made once (owner only), kept, and read back to the same
// key; what is no key is refused and left alone. The fingerprint is the one
// ssh-keygen prints for the same public key.
TEST(IdentityTest, KeyFileAndFingerprint) {
    TempDir dir;
    const std::string path = (dir.path() / "id.pem").string();
    std::string error;
    auto made = TlsLayer::Identity::LoadOrCreate(path, error);
    ASSERT_TRUE(made) << error;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto loaded = TlsLayer::Identity::LoadOrCreate(path, error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_EQ(loaded->Fingerprint(), made->Fingerprint());
    EXPECT_NE(TlsLayer::Identity::Generate()->Fingerprint(), made->Fingerprint());
    EXPECT_TRUE(KnownDevices::IsFingerprint(made->Fingerprint())) << made->Fingerprint();

    const std::string junk = (dir.path() / "junk.pem").string();
    WriteFile(junk, {'n', 'o', '\n'});
    EXPECT_FALSE(TlsLayer::Identity::LoadOrCreate(junk, error));
    EXPECT_NE(error.find("junk.pem"), std::string::npos) << error;
    EXPECT_EQ(ReadText(junk), "no\n");
    EXPECT_FALSE(TlsLayer::Identity::LoadOrCreate((dir.path() / "none/id.pem").string(), error));

    if (Command("command -v ssh-keygen").empty())
        GTEST_SKIP() << "ssh-keygen is not installed (openssh-client); fingerprint format not compared";
    const std::filesystem::path pub = dir.path() / "id.pub";
    std::ofstream(pub) << made->SshPublicKey() << " test\n";
    const std::string printed = Command("ssh-keygen -lf " + pub.string());
    EXPECT_NE(printed.find(" " + made->Fingerprint() + " test (ED25519)"), std::string::npos)
        << printed << " vs " << made->Fingerprint();
}

// Comments, blank and bad lines stay as they are; a UID listed twice counts
// by its first line; a new pin is added at the end, with no temporary file left.
TEST(IdentityTest, KnownDevicesFile) {
    TempDir dir;
    const std::filesystem::path path = dir.path() / "known_devices";
    KnownDevices missing(path.string());
    std::string error;
    EXPECT_TRUE(missing.Load(error));
    EXPECT_EQ(missing.Find("CAM1"), "");

    const std::string text = "# desk pins\n"
                             "\n"
                             "CAM1 " +
                             kFp1 +
                             "  # the gate\n"
                             "CAM2 SHA256:tooshort\n"
                             "CAM3\n"
                             "CAM1 " +
                             kFp2 +
                             "\n"
                             "   CAM4\t" +
                             kFp2 + "\r\n";
    std::ofstream(path) << text;
    KnownDevices known(path.string());
    ASSERT_TRUE(known.Load(error)) << error;
    EXPECT_EQ(known.Find("CAM1"), kFp1);
    EXPECT_EQ(known.Find("CAM2"), "");
    EXPECT_EQ(known.Find("CAM3"), "");
    EXPECT_EQ(known.Find("CAM4"), kFp2);
    ASSERT_EQ(known.Problems().size(), 3u);
    EXPECT_EQ(known.Problems()[0].rfind("line 4:", 0), 0u) << known.Problems()[0];
    EXPECT_NE(known.Problems()[2].find("CAM1"), std::string::npos);

    EXPECT_TRUE(known.Add("CAM5", kFp1, error)) << error;
    EXPECT_TRUE(known.Add("CAM1", kFp2, error)); // a pinned UID keeps its key
    EXPECT_FALSE(known.Add("bad uid", kFp1, error));
    std::string expected = text;
    expected.replace(expected.find("\r"), 1, "");
    EXPECT_EQ(ReadText(path), expected + "CAM5 " + kFp1 + "\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    KnownDevices again(path.string());
    ASSERT_TRUE(again.Load(error));
    EXPECT_EQ(again.Find("CAM5"), kFp1);
    EXPECT_EQ(again.Find("CAM1"), kFp1);
}
