// "vozi-host publish" off the loopback's defaults: a real mosquitto with a
// TLS listener (a CA and a server certificate made here with openssl), known
// users only (mosquitto_passwd) and an ACL. What works arrives; each thing
// that is wrong fails with its own sentence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "host_process.h"
#include "mqtt_broker.h"
#include "reaping_fixture.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;

constexpr int kExitBroker = 10;

// Runs a shell command line in `folder` (its complaints into tools.log);
// true when it succeeded.
bool Shell(const std::filesystem::path& folder, const std::string& command) {
  return std::system(("cd '" + folder.string() + "' && { " + command + "; } 2>>tools.log").c_str()) == 0;
}

class HostPublishTls : public ReapingHostTest {};

TEST_F(HostPublishTls, CredentialsCertificatesAndTheAclEachSayWhatIsWrong) {
  const auto d = t.Path() / "pki";
  std::filesystem::create_directories(d);
  // A CA that signs the broker's certificate (for the name "localhost"), and
  // another CA that signed nothing of it.
  const std::string req = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 ";
  ASSERT_TRUE(Shell(d, req + "-keyout ca.key -out ca.crt -subj /CN=vozi-test-ca"));
  ASSERT_TRUE(Shell(d, req + "-keyout other.key -out other.crt -subj /CN=vozi-other-ca"));
  ASSERT_TRUE(Shell(d, "openssl req -newkey rsa:2048 -nodes -keyout broker.key -out broker.csr -subj /CN=localhost"));
  std::ofstream(d / "ext") << "subjectAltName=DNS:localhost\n";
  ASSERT_TRUE(Shell(d, "openssl x509 -req -in broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
                       "-extfile ext -out broker.crt"));
  ASSERT_TRUE(Shell(d, "mosquitto_passwd -c -b passwd room3 right-password"));
  ASSERT_TRUE(Shell(d, "mosquitto_passwd -b passwd analyst reader-password"));
  std::ofstream(d / "acl") << "user room3\ntopic readwrite lab/room3/vozi/#\nuser analyst\ntopic read lab/+/vozi/#\n";
  std::ofstream(d / "right") << "right-password\n";
  std::ofstream(d / "wrong") << "wrong-password\n";

  MqttBroker broker(t.Path() / "broker",
                    {"allow_anonymous false\nmax_queued_messages 1000\npassword_file " + (d / "passwd").string() + "\nacl_file " +
                         (d / "acl").string() + "\n",
                     "certfile " + (d / "broker.crt").string() + "\nkeyfile " + (d / "broker.key").string() + "\n"});
  ASSERT_TRUE(broker.Start()) << ReadFile(t.Path() / "broker" / "mosquitto.log");
  const std::string port = std::to_string(broker.Port());
  const std::string url = "mqtts://localhost:" + port;

  const struct {
    std::string url, caFile, password, prefix;
    int exitCode;
    std::string said;
  } cases[] = {
      {url, "ca.crt", "right", "lab/room3/vozi", 0, "published to " + url + " under lab/room3/vozi/42: "},
      {url, "ca.crt", "wrong", "lab/room3/vozi", kExitBroker, "the broker refused the user room3 with this password"},
      {url, "other.crt", "right", "lab/room3/vozi", kExitBroker,
       "the broker's certificate is not signed by the CA in " + (d / "other.crt").string()},
      {"mqtts://127.0.0.1:" + port, "ca.crt", "right", "lab/room3/vozi", kExitBroker,
       "the broker's certificate does not name the host 127.0.0.1"},
      {url, "ca.crt", "right", "lab/room4/vozi", kExitBroker, "the broker refused lab/room4/vozi/42/info: Not authorized"},
  };
  for (const auto& c : cases) {
    const HostRun run = RunHost({"--simulate", "publish", "--broker", c.url, "--ca-file", (d / c.caFile).string(),
                                 "--username", "room3", "--password-file", (d / c.password).string(), "--prefix",
                                 c.prefix, "--samples", "300"},
                                t.Path(), {{"TMPDIR", tmp().string()}});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE((run.err + run.out).find(c.said), std::string::npos) << c.said << "\n" << run.err << run.out;
    if (c.exitCode == 0) {
      EXPECT_EQ(run.out.find(" batches;"), std::string::npos) << "not all taken: " << run.out;
    }
  }
  // A subscriber as a lab's analysis machine would be (TLS, its own user)
  // reads what the run that worked left: its retained status.
  ASSERT_TRUE(Shell(t.Path(), "timeout 30 mosquitto_sub -h localhost -p " + port + " --cafile pki/ca.crt -u analyst "
                              "-P reader-password -t lab/+/vozi/+/status -v -C 1 -W 20 > received.txt"));
  EXPECT_EQ(ReadFile(t.Path() / "received.txt"), "lab/room3/vozi/42/status offline\n");
}

}  // namespace
}  // namespace hosttest
