// Which desktop entry is in effect for an id, and which one a process is.
#include "platform/linux/xdg/catalog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>

namespace larkspire::linux_backend::xdg {
namespace {

namespace fs = std::filesystem;

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("larkspire-catalog-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root / "home/applications");
    fs::create_directories(root / "system/applications");
    fs::create_directories(root / "bin");
    env = {{"XDG_DATA_HOME", (root / "home").string()},
           {"XDG_DATA_DIRS", (root / "system").string()},
           {"PATH", (root / "bin").string()},
           {"LANG", "fr_FR.UTF-8"}};
  }
  void TearDown() override { fs::remove_all(root); }

  std::string entry(const std::string& where, const std::string& id, const std::string& body) {
    auto path = (root / where / "applications" / (id + ".desktop")).string();
    std::ofstream(path) << "[Desktop Entry]\nType=Application\n" << body;
    return path;
  }

  std::string program(const std::string& name) {
    auto path = (root / "bin" / name).string();
    std::ofstream(path) << "#!/bin/sh\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }

  DesktopCatalog catalog() {
    return DesktopCatalog([this](const std::string& name) -> std::optional<std::string> {
      auto found = env.find(name);
      if (found == env.end()) return std::nullopt;
      return found->second;
    });
  }

  fs::path root;
  std::map<std::string, std::string> env;
};

TEST_F(CatalogTest, TheFirstFileOfAnIdDecidesEvenWhenItHidesTheId) {
  auto mine = entry("home", "org.example.Pad", "Name=My Pad\nExec=pad\n");
  auto theirs = entry("system", "org.example.Pad", "Name=Pad\nExec=pad\n");
  entry("home", "org.example.Gone", "Name=Gone\nExec=gone\nHidden=true\n");
  auto masked = entry("system", "org.example.Gone", "Name=Gone\nExec=gone\n");
  auto quiet = entry("system", "org.example.Quiet", "Name=Quiet\nName[fr]=Silencieux\nExec=quiet\nNoDisplay=true\n");

  auto c = catalog();
  EXPECT_EQ(c.entryForId("org.example.Pad")->path, mine);
  EXPECT_EQ(c.entryAtPath(mine)->name, "My Pad");
  EXPECT_FALSE(c.entryAtPath(theirs));
  EXPECT_FALSE(c.entryForId("org.example.Gone"));
  EXPECT_FALSE(c.entryAtPath(masked));
  auto q = c.entryForId("org.example.Quiet");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->path, quiet);
  EXPECT_TRUE(q->noDisplay);
  EXPECT_EQ(q->name, "Silencieux");
  EXPECT_EQ(q->untranslatedName, "Quiet");
  EXPECT_FALSE(c.entryForId("../system/applications/org.example.Pad"));
}

TEST_F(CatalogTest, ApplicationIdComesFirstThenWindowClass) {
  program("fixture");
  entry("system", "org.example.Fixture", "Name=Fixture\nExec=fixture\n");
  entry("system", "org.example.Other", "Name=Other\nExec=fixture --other\nStartupWMClass=OtherWin\n");
  entry("system", "mousepad", "Name=Mousepad\nExec=nothing-here\n");
  auto c = catalog();

  ProcessFacts facts;
  facts.applicationIds = {"org.example.Unknown", "org.example.Fixture"};
  facts.wmClasses = {"OtherWin"};
  EXPECT_EQ(c.identify(facts)->id, "org.example.Fixture");

  facts.applicationIds = {"org.example.Unknown"};
  EXPECT_EQ(c.identify(facts)->id, "org.example.Other");

  facts.wmClasses = {"Mousepad", "mousepad-bin"};
  EXPECT_EQ(c.identify(facts)->id, "mousepad");

  facts.wmClasses = {"Nobody"};
  EXPECT_FALSE(c.identify(facts));
}

TEST_F(CatalogTest, ProgramMatchesExecAndMatchingArgumentsWin) {
  auto fixture = program("fixture");
  fs::create_symlink(fixture, root / "bin" / "fixture-link");
  entry("system", "a.Plain", "Name=Plain\nExec=fixture %U\n");
  entry("system", "b.Beta", "Name=Beta\nExec=fixture-link --app-id b.Beta --title \"Fixture Beta\"\n");
  entry("system", "c.Gone", "Name=Gone\nExec=fixture --gone\nHidden=true\n");
  auto c = catalog();

  ProcessFacts beta;
  beta.executable = fixture;
  beta.commandLine = {"fixture", "--app-id", "b.Beta", "--title", "Fixture Beta"};
  EXPECT_EQ(c.identify(beta)->id, "b.Beta");

  ProcessFacts plain;
  plain.executable = fixture;
  plain.commandLine = {fixture, "--something-else"};
  EXPECT_EQ(c.identify(plain)->id, "a.Plain");

  ProcessFacts hidden;
  hidden.executable = fixture;
  hidden.commandLine = {"fixture", "--gone"};
  EXPECT_EQ(c.identify(hidden)->id, "a.Plain");  // never the hidden entry

  ProcessFacts stranger;
  stranger.executable = "/usr/bin/true";
  stranger.commandLine = {"true"};
  EXPECT_FALSE(c.identify(stranger));
}

TEST_F(CatalogTest, ScriptsAreKnownByTheFileTheirInterpreterRuns) {
  auto script = program("quill-tool");
  entry("system", "org.example.Tool", "Name=Tool\nExec=quill-tool --x\n");
  auto c = catalog();
  ProcessFacts facts;
  facts.executable = "/usr/bin/python3";
  facts.commandLine = {"/usr/bin/python3", script, "--x"};
  EXPECT_EQ(c.identify(facts)->id, "org.example.Tool");
  // A relative script path names no file we could compare.
  facts.commandLine = {"/usr/bin/python3", "quill-tool", "--x"};
  EXPECT_FALSE(c.identify(facts));
}

TEST(Interpreters, AreKnownByNameWhateverTheirVersionOrFolder) {
  for (const char* program : {"/usr/bin/python3.11", "python3", "/usr/bin/perl", "perl5.36.0", "/bin/sh", "bash",
                              "/usr/bin/node", "/usr/lib/jvm/java-17-openjdk-amd64/bin/java", "gjs", "/usr/bin/env"}) {
    EXPECT_TRUE(isInterpreter(program)) << program;
  }
  for (const char* program : {"/usr/bin/featherpad", "zenity", "/usr/bin/pythonista", "shotwell", "/opt/x/app.py"}) {
    EXPECT_FALSE(isInterpreter(program)) << program;
  }
  EXPECT_EQ(scriptArgument({"-u", "/opt/x/app.py", "--flag"}), "/opt/x/app.py");
  EXPECT_EQ(scriptArgument({"-u"}), std::nullopt);
}

TEST_F(CatalogTest, AnInterpreterProvesNothingWithoutTheSameScript) {
  auto python = program("python3.11");
  fs::create_symlink(python, root / "bin" / "python3");
  entry("system", "python3.11", "Name=Python (v3.11)\nExec=" + python + "\nNoDisplay=true\n");
  entry("system", "org.example.Other", "Name=Other\nExec=python3 /opt/other/main.py\n");
  entry("system", "org.example.Tool", "Name=Tool\nExec=python3 -u /opt/tool/tool.py %U\n");
  auto c = catalog();

  // A Python program with an application id of its own and no entry.
  ProcessFacts stranger;
  stranger.applicationIds = {"org.example.Stranger"};
  stranger.wmClasses = {"python3", "Python3"};
  stranger.executable = python;
  stranger.commandLine = {"python3", "/tmp/stranger.py"};
  EXPECT_FALSE(c.identify(stranger));
  // Run without a script, the interpreter's own entry is no better.
  stranger.commandLine = {"python3"};
  EXPECT_FALSE(c.identify(stranger));

  // The same script as an entry's: that entry.
  ProcessFacts tool;
  tool.executable = python;
  tool.commandLine = {"python3", "-u", "/opt/tool/tool.py", "notes.txt"};
  EXPECT_EQ(c.identify(tool)->id, "org.example.Tool") << c.identify(tool)->path;
  ProcessFacts other;
  other.executable = python;
  other.commandLine = {python, "/opt/other/main.py"};
  EXPECT_EQ(c.identify(other)->id, "org.example.Other");

  // A stronger signal still names an interpreter's process.
  stranger.wmClasses = {"tool", "org.example.Tool"};
  stranger.commandLine = {"python3", "/tmp/stranger.py"};
  EXPECT_EQ(c.identify(stranger)->id, "org.example.Tool");
}

TEST_F(CatalogTest, EntriesInstalledLaterAreFound) {
  auto fixture = program("fixture");
  auto c = catalog();
  ProcessFacts facts;
  facts.executable = fixture;
  facts.commandLine = {"fixture"};
  EXPECT_FALSE(c.identify(facts));
  // Folder times have a coarse grain on some file systems; move it on.
  entry("home", "org.example.Late", "Name=Late\nExec=fixture\n");
  struct timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 5, 0}};
  ::utimensat(AT_FDCWD, (root / "home/applications").c_str(), later, 0);
  EXPECT_EQ(c.identify(facts)->id, "org.example.Late");
}

}  // namespace
}  // namespace larkspire::linux_backend::xdg
