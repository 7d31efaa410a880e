// The configuration check of the real program: every problem a start would
// meet, named by section and key, nothing written; and a fresh instance of
// the program run from the build folder getting the shipped files.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/http_fetch.h"
#include "support/program.h"
#include "support/tls_client.h"

namespace zelkord::testing {
namespace {

struct CheckCase {
  const char* label;
  bool writeSettings;
  SettingsMap settings;
  std::string output;  // "@" stands for the instance folder
  int status;
};

std::string Replaced(std::string text, const std::string& folder) {
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    text.replace(at, 1, folder);
    at += folder.size();
  }
  return text;
}

TEST(Program, CheckConfigNamesEachProblemAndWritesNothing) {
  const TestCertificate first = MakeCertificate(1, "first");
  const TestCertificate second = MakeCertificate(2, "second");
  const std::string number =
      "\" is not a whole number: write decimal digits with an optional sign, between -2147483648"
      " and 2147483647.\n";
  const SettingsMap webOn{{"Web.Send", "Enable"}, {"Web.Port", "0"}};
  const CheckCase cases[] = {
      // The message of the day and the templates are missing here, but a
      // start copies them from beside the program.
      {"good", true, webOn, "configuration OK\n", 0},
      {"numbers",
       true,
       {{"Program.UserMax", "abc"}, {"Position.Top", "1x"}, {"History.Max", "0"}},
       "@zelkord.INI: [Position] Top: \"1x" + number + "@zelkord.INI: [Program] UserMax: \"abc" +
           number +
           "@zelkord.INI: [History] Max: \"0\" is outside 1 to 10000: write the most lines one"
           " history request returns.\n3 problems\n",
       1},
      {"templates",
       true,
       {{"Web.Send", "Enable"}, {"Web.LogForm", "@gone.html"}, {"Server.MotdPath", "@"}},
       "@zelkord.INI: [Server] MotdPath: \"@\" is not a file\n"
       "@zelkord.INI: [Web] LogForm: \"@gone.html\" is missing\n2 problems\n",
       1},
      {"tls pair",
       true,
       {{"Server.TlsPort", "0"},
        {"Server.TlsCertificate", "server.crt"},
        {"Server.TlsKey", "server.key"}},
       "@zelkord.INI: [Server] TlsCertificate, TlsKey: the TLS key @server.key does not belong to"
       " the certificate @server.crt\n1 problem\n",
       1},
      {"no settings file", false, {}, "@zelkord.INI: is missing\n1 problem\n", 1},
  };
  for (const CheckCase& c : cases) {
    TempDir dir;
    (void)dir.Write("server.crt", first.certificatePem);
    (void)dir.Write("server.key", second.keyPem);
    SettingsMap settings;
    for (const auto& [key, value] : c.settings) settings[key] = Replaced(value, dir.Path());
    const std::string ini = TestInstanceIni(settings);
    const std::string config =
        c.writeSettings ? dir.Write("zelkord.INI", ini) : dir.File("zelkord.INI");
    {
      Program check(config, 0, "--check-config");
      ASSERT_TRUE(check.Started()) << c.label;
      ASSERT_TRUE(check.Exited(10000)) << c.label;
      EXPECT_TRUE(check.ExitedWith(c.status)) << c.label << " " << check.Status();
      EXPECT_EQ(check.Stdout(), Replaced(c.output, dir.Path())) << c.label;
      EXPECT_EQ(check.Stderr(), "") << c.label;
    }
    // Only the pair, the settings file and the program's two output files.
    EXPECT_EQ(EntriesIn(dir.Path()), c.writeSettings ? 5 : 4) << c.label;
    EXPECT_EQ(dir.Read("zelkord.INI"), c.writeSettings ? ini : "") << c.label;
    if (c.status != 0) continue;

    // The start the check vouched for: the shipped files are put in place.
    Program program(config);
    const int port = program.WaitForPort();
    ASSERT_GT(port, 0) << program.Stderr();
    const std::string binary = std::getenv("ZELKORD_BINARY");
    const std::string shipped = binary.substr(0, binary.rfind('/') + 1);
    for (const char* name : {"zelkord.MTD", "IndexForm.html", "LogForm.html"}) {
      EXPECT_NE(dir.Read(name), "") << name;
      EXPECT_EQ(dir.Read(name), ReadFile(shipped + name)) << name;
    }
    TestClient client(port);
    client.Send("NICK ann");
    client.Send("USER a b c :d");
    EXPECT_NE(client.ReadUntil(" 375 ann "), "<timeout>");
    EXPECT_GT(Get(program.WebPort(), "/").size(), kPageHeader.size() + 100);
    program.Signal(SIGTERM);
    ASSERT_TRUE(program.Exited(20000));
    EXPECT_EQ(program.Stderr(), "");
  }
}

}  // namespace
}  // namespace zelkord::testing
