// Desktop entries: folders, locale, ids, Exec lines and reading an entry.
#include "platform/linux/xdg/desktop_entry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace larkspire::linux_backend::xdg {
namespace {

namespace fs = std::filesystem;

Getenv environment(std::map<std::string, std::string> values) {
  return [values = std::move(values)](const std::string& name) -> std::optional<std::string> {
    auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  };
}

using Args = std::vector<std::string>;

TEST(ApplicationFolders, DataHomeComesFirstThenEachDataDir) {
  EXPECT_EQ(
      applicationFolders(environment(
          {{"XDG_DATA_HOME", "/home/u/data/"}, {"XDG_DATA_DIRS", "/opt/share:/usr/share/"}, {"HOME", "/home/u"}})),
      (Args{"/home/u/data/applications", "/opt/share/applications", "/usr/share/applications"}));
}

TEST(ApplicationFolders, DefaultsApplyWhenUnsetEmptyOrRelative) {
  EXPECT_EQ(applicationFolders(environment({{"HOME", "/home/u"}})),
            (Args{"/home/u/.local/share/applications", "/usr/local/share/applications", "/usr/share/applications"}));
  EXPECT_EQ(
      applicationFolders(environment({{"HOME", "/home/u"}, {"XDG_DATA_HOME", "relative/data"}, {"XDG_DATA_DIRS", ""}})),
      (Args{"/home/u/.local/share/applications", "/usr/local/share/applications", "/usr/share/applications"}));
  // Relative and empty entries are ignored, repeated folders kept once.
  EXPECT_EQ(applicationFolders(environment({{"XDG_DATA_DIRS", "rel::/usr/share:/usr/share/:/"}})),
            (Args{"/usr/share/applications", "/applications"}));
}

TEST(MessagesLocale, FollowsThePosixPrecedenceWithoutEncoding) {
  EXPECT_EQ(messagesLocale(environment({{"LANG", "de_DE.UTF-8"}})), "de_DE");
  EXPECT_EQ(messagesLocale(environment({{"LANG", "de_DE.UTF-8"}, {"LC_MESSAGES", "fr_CA.ISO-8859-1@quebec"}})),
            "fr_CA@quebec");
  EXPECT_EQ(messagesLocale(environment({{"LC_ALL", "sr@latin"}, {"LC_MESSAGES", "fr"}, {"LANG", "de"}})), "sr@latin");
  EXPECT_EQ(messagesLocale(environment({{"LC_ALL", ""}, {"LANG", "pt_BR"}})), "pt_BR");
  EXPECT_EQ(messagesLocale(environment({{"LANG", "C.UTF-8"}})), "");
  EXPECT_EQ(messagesLocale(environment({{"LANG", "POSIX"}})), "");
  EXPECT_EQ(messagesLocale(environment({})), "");
}

TEST(DesktopFileIds, UnsafeIdsNameNoFile) {
  EXPECT_TRUE(validDesktopFileId("org.example.App"));
  for (const auto& id : Args{"", ".", "..", "../etc/passwd", "a/b", std::string("a\0b", 3)}) {
    EXPECT_FALSE(validDesktopFileId(id));
    EXPECT_FALSE(findDesktopFile({"/usr/share/applications"}, id));
  }
}

TEST(DesktopFileIds, PathsBelowAFolderNameTheirSubfolders) {
  Args folders{"/home/u/.local/share/applications", "/usr/share/applications"};
  EXPECT_EQ(desktopFileIdForPath(folders, "/usr/share/applications/org.gnome.Calculator.desktop"),
            "org.gnome.Calculator");
  EXPECT_EQ(desktopFileIdForPath(folders, "/usr/share/applications/kde4/okular.desktop"), "kde4-okular");
  EXPECT_EQ(desktopFileIdForPath(folders, "/elsewhere/foo.desktop"), "foo");
}

TEST(ParseExec, SplitsQuotedArgumentsAndDropsFieldCodes) {
  EXPECT_EQ(parseExec("gedit %U"), (Args{"gedit"}));
  EXPECT_EQ(parseExec("app --title \"Quill Notepad\" %F --x=%f"), (Args{"app", "--title", "Quill Notepad", "--x="}));
  EXPECT_EQ(parseExec("app %i %c %k %u %d %D %n %N %v %m"), (Args{"app"}));
  EXPECT_EQ(parseExec("app 100%% \"50%%\""), (Args{"app", "100%", "50%"}));
  EXPECT_EQ(parseExec(R"("/opt/My App/run" "say \"hi\"" "\$HOME" "a\\b" "back\`tick")"),
            (Args{"/opt/My App/run", "say \"hi\"", "$HOME", "a\\b", "back`tick"}));
  EXPECT_EQ(parseExec("app \"\"  \t last"), (Args{"app", "", "last"}));
  // Shell syntax means nothing here: no shell ever sees the line.
  EXPECT_EQ(parseExec("app ; rm -rf ~ | x"), (Args{"app", ";", "rm", "-rf", "~", "|", "x"}));
}

TEST(ParseExec, RejectsOpenQuotesAndEmptyPrograms) {
  EXPECT_FALSE(parseExec("app \"unterminated"));
  EXPECT_FALSE(parseExec(""));
  EXPECT_FALSE(parseExec("   %U  "));
  EXPECT_FALSE(parseExec("\"\" arg"));
}

class DesktopEntryFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("larkspire-entries-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string write(const std::string& name, const std::string& text) {
    auto path = (dir / name).string();
    std::ofstream(path) << text;
    return path;
  }

  fs::path dir;
};

TEST_F(DesktopEntryFiles, ReadsNamesExecAndFlags) {
  auto path = write("org.example.Pad.desktop",
                    "# comment\n[Desktop Entry]\nType=Application\nName=Pad\nName[de]=Block\n"
                    "Name[de_CH]=Blöckli\nName[sr@latin]=Blok\n"
                    "Exec=pad \"--new doc\" \"a\\\\\\\\b\" %U\nPath=/tmp\nStartupWMClass=PadWin\nNoDisplay=true\n"
                    "[Desktop Action New]\nName=Other\nExec=other\n");
  auto entry = readDesktopEntry(path, "org.example.Pad", "");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->id, "org.example.Pad");
  EXPECT_EQ(entry->name, "Pad");
  EXPECT_EQ(entry->untranslatedName, "Pad");
  // The key-file escapes go first ("\\\\" -> "\\"), then the Exec quoting.
  EXPECT_EQ(entry->exec, (Args{"pad", "--new doc", "a\\b"}));
  EXPECT_EQ(entry->workingDirectory, "/tmp");
  EXPECT_EQ(entry->startupWMClass, "PadWin");
  EXPECT_TRUE(entry->noDisplay);

  // lang_COUNTRY@MODIFIER, lang_COUNTRY, lang@MODIFIER, lang, untranslated.
  EXPECT_EQ(readDesktopEntry(path, "x", "de_CH")->name, "Blöckli");
  EXPECT_EQ(readDesktopEntry(path, "x", "de_AT")->name, "Block");
  EXPECT_EQ(readDesktopEntry(path, "x", "sr_RS@latin")->name, "Blok");
  EXPECT_EQ(readDesktopEntry(path, "x", "fr_FR")->name, "Pad");
  EXPECT_EQ(readDesktopEntry(path, "x", "de_CH")->untranslatedName, "Pad");
}

TEST_F(DesktopEntryFiles, EntriesThatDoNotExist) {
  EXPECT_FALSE(readDesktopEntry(
      write("hidden.desktop", "[Desktop Entry]\nType=Application\nName=H\nExec=h\nHidden=true\n"), "hidden", ""));
  EXPECT_FALSE(readDesktopEntry(write("link.desktop", "[Desktop Entry]\nType=Link\nName=L\nURL=https://example.org\n"),
                                "link", ""));
  EXPECT_FALSE(readDesktopEntry(write("noname.desktop", "[Desktop Entry]\nType=Application\nExec=n\n"), "noname", ""));
  EXPECT_FALSE(readDesktopEntry(write("nogroup.desktop", "[Other]\nType=Application\nName=N\n"), "nogroup", ""));
  EXPECT_FALSE(readDesktopEntry(write("garbage.desktop", "\x01\x02 not a key file [[[\n"), "garbage", ""));
  EXPECT_FALSE(readDesktopEntry((dir / "missing.desktop").string(), "missing", ""));
  // Present but not startable: known, yet nothing to run.
  auto bad =
      readDesktopEntry(write("bad.desktop", "[Desktop Entry]\nType=Application\nName=B\nExec=\"open\n"), "bad", "");
  ASSERT_TRUE(bad);
  EXPECT_TRUE(bad->exec.empty());
}

TEST_F(DesktopEntryFiles, FindsIdsInFolderOrderAndInSubfolders) {
  fs::create_directories(dir / "first");
  fs::create_directories(dir / "second" / "kde4");
  write("first/org.example.A.desktop", "");
  write("second/org.example.A.desktop", "");
  write("second/kde4/okular.desktop", "");
  write("second/..-escape.desktop", "");
  Args folders{(dir / "first").string(), (dir / "second").string()};
  EXPECT_EQ(findDesktopFile(folders, "org.example.A"), (dir / "first/org.example.A.desktop").string());
  EXPECT_EQ(findDesktopFile(folders, "kde4-okular"), (dir / "second/kde4/okular.desktop").string());
  EXPECT_FALSE(findDesktopFile(folders, "kde5-okular"));
  // ".." never becomes a folder to descend into.
  EXPECT_EQ(findDesktopFile(folders, "..-escape"), (dir / "second/..-escape.desktop").string());
  EXPECT_FALSE(findDesktopFile(folders, "..-first-org.example.A"));
}

}  // namespace
}  // namespace larkspire::linux_backend::xdg
