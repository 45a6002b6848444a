// "apps": running applications, installed bundles, names and exclusion.
#include "computer/apps/app_listing.h"

#include <gtest/gtest.h>

#include "platform/simulated/desktop.h"

namespace larkspire::computer {
namespace {

using json::Json;
using platform::ActivationPolicy;
using simulated::BundleSpec;
using simulated::Desktop;

std::vector<std::string> ids(const Json& apps) {
  std::vector<std::string> out;
  for (const auto& app : apps) out.push_back(app.at("appId").get<std::string>());
  return out;
}

TEST(DisambiguatedAppNames, ShortestIdentifierKeepsTheBareName) {
  auto names = disambiguatedAppNames({{"a.bc.notes-beta", "Notes"}, {"a.b.notes", "Notes"}, {"x.Mail", "Mail"}});
  EXPECT_EQ(names, (std::vector<std::string>{"Notes (notes-beta)", "Notes", "Mail"}));
}

TEST(DisambiguatedAppNames, EquallyLongIdentifiersFavourTheEarliest) {
  auto names = disambiguatedAppNames({{"com.one.Edit", "Edit"}, {"com.two.Edit", "Edit"}, {"org.xyz.Edit", "Edit"}});
  EXPECT_EQ(names, (std::vector<std::string>{"Edit", "Edit (Edit)", "Edit (Edit)"}));
}

TEST(DisambiguatedAppNames, SuffixIsTheLastNonEmptyPiece) {
  auto names = disambiguatedAppNames({{"a", "Notes"}, {"a.b.notes.", "Notes"}, {"..", "Notes"}, {"x..y..", "Notes"}});
  // ".." has no non-empty piece and is used whole.
  EXPECT_EQ(names, (std::vector<std::string>{"Notes", "Notes (notes)", "Notes (..)", "Notes (y)"}));
}

TEST(DisambiguatedAppNames, NamesCompareExactlyAndLengthCountsCharacters) {
  auto names = disambiguatedAppNames({{"com.example.notes", "notes"}, {"com.example.Notes", "Notes"}});
  EXPECT_EQ(names, (std::vector<std::string>{"notes", "Notes"}));
  // "é.é" is three characters but five bytes: it is the shorter identifier.
  names = disambiguatedAppNames({{"abcd", "Café"}, {"\xC3\xA9.\xC3\xA9", "Café"}});
  EXPECT_EQ(names, (std::vector<std::string>{"Café (abcd)", "Café"}));
}

TEST(ExcludedApp, MatchesTheWordInAnyLetterCase) {
  EXPECT_TRUE(excludedApp("com.larkspire.helper"));
  EXPECT_TRUE(excludedApp("COM.LARKSPIRE.Helper"));
  EXPECT_TRUE(excludedApp("org.example.MyLarkSpireTool"));
  EXPECT_FALSE(excludedApp("com.example.larks.pire"));
  EXPECT_FALSE(excludedApp(""));
}

class ListAppsTest : public ::testing::Test {
 protected:
  Desktop desktop;
  platform::Platform& platform = desktop.platform();

  Json list(std::optional<std::string> query = std::nullopt) { return listApps(platform, query); }
};

TEST_F(ListAppsTest, WithoutQueryListsRunningRegularApplicationsOnly) {
  auto& notes = desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 41});
  desktop.addApp({.bundleIdentifier = "com.example.Menu", .name = "Menu", .policy = ActivationPolicy::accessory});
  desktop.addApp({.bundleIdentifier = "com.example.Agent", .name = "Agent", .policy = ActivationPolicy::prohibited});
  desktop.addApp({.name = "No identifier"});
  desktop.addApp({.bundleIdentifier = "com.larkspire.Assistant", .name = "Assistant"});
  desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes", .pid = 99});  // second instance
  desktop.addApp({.bundleIdentifier = "com.example.Mail"});                               // no name
  auto& gone = desktop.addApp({.bundleIdentifier = "com.example.Gone", .name = "Gone"});
  gone.terminate();
  desktop.addEntry("/Applications", "Other.app", {.bundleIdentifier = "com.example.Other"});

  for (std::optional<std::string> query : {std::optional<std::string>(), std::optional<std::string>("  \t "),
                                           std::optional<std::string>("\n\r\n"), std::optional<std::string>("")}) {
    auto apps = list(query);
    EXPECT_EQ(apps, Json::parse(R"([
      {"appId": "com.example.Notes", "name": "Notes", "running": true, "pid": 41},
      {"appId": "com.example.Mail", "name": "com.example.Mail", "running": true, "pid": )" +
                                std::to_string(desktop.apps()[6]->pid()) + "}]"));
  }
  EXPECT_EQ(desktop.bundleOpens, 0);
  EXPECT_EQ(notes.pid(), 41);
}

TEST_F(ListAppsTest, QueryIsTrimmedAndLowercasedByUnicodeRules) {
  desktop.addApp({.bundleIdentifier = "org.example.Editor", .name = "éditeur"});
  desktop.addApp({.bundleIdentifier = "org.example.Viewer", .name = "Viewer"});
  EXPECT_EQ(ids(list("  ÉDITEUR\n")), std::vector<std::string>{"org.example.Editor"});
  EXPECT_EQ(ids(list("\u3000Édit\u2028")), std::vector<std::string>{"org.example.Editor"});
  EXPECT_EQ(ids(list("VIEW")), std::vector<std::string>{"org.example.Viewer"});
}

TEST_F(ListAppsTest, QueryMatchesIdentifierAndDisambiguationSuffix) {
  desktop.addApp({.bundleIdentifier = "a.b.notes", .name = "Notes", .pid = 1});
  desktop.addApp({.bundleIdentifier = "a.bc.notes-beta", .name = "Notes", .pid = 2});
  desktop.addApp({.bundleIdentifier = "com.vendor.Scribble", .name = "Pad", .pid = 3});

  auto apps = list("beta");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].at("name"), "Notes (notes-beta)");
  EXPECT_EQ(ids(list("VENDOR")), std::vector<std::string>{"com.vendor.Scribble"});
  EXPECT_EQ(ids(list("notes")), (std::vector<std::string>{"a.b.notes", "a.bc.notes-beta"}));
}

TEST_F(ListAppsTest, InstalledBundlesFollowInFolderAndListingOrder) {
  desktop.addApp({.bundleIdentifier = "com.example.Running", .name = "Quill Running", .pid = 7});
  desktop.addEntry("/Applications", "Zeta Quill.app", {.bundleIdentifier = "com.example.Zeta"});
  desktop.addEntry("/Applications", "Alpha Quill.app", {.bundleIdentifier = "com.example.Alpha"});
  desktop.addEntry("/Applications/Utilities", "Quill Tool.app", {.bundleIdentifier = "com.example.Tool"});
  desktop.addEntry("/Users/tester/Applications", "Quill Mine.app", {.bundleIdentifier = "com.example.Mine"});

  auto apps = list("quill");
  EXPECT_EQ(ids(apps), (std::vector<std::string>{"com.example.Running", "com.example.Zeta", "com.example.Alpha",
                                                 "com.example.Tool", "com.example.Mine"}));
  EXPECT_EQ(apps[1], Json::parse(R"({"appId": "com.example.Zeta", "name": "Zeta Quill", "running": false})"));
}

TEST_F(ListAppsTest, EntriesThatAreNotBundlesOrNotOursAreSkipped) {
  desktop.addEntry("/Applications", "Capital.APP", {.bundleIdentifier = "com.example.Capital"});
  desktop.addEntry("/Applications", "Plain folder", {.bundleIdentifier = "com.example.Folder"});
  desktop.addEntry("/Applications", "Broken.app", {.bundleIdentifier = "com.example.Broken", .isBundle = false});
  desktop.addEntry("/Applications", "Anonymous.app", {});
  desktop.addEntry("/Applications", "Helper.app", {.bundleIdentifier = "com.LarkSpire.Helper"});
  desktop.addEntry("/Applications/Games", "Chess.app", {.bundleIdentifier = "com.example.Chess"});
  desktop.addEntry("/Applications", "Good.app", {.bundleIdentifier = "com.example.Good"});

  EXPECT_EQ(ids(list("com")), std::vector<std::string>{"com.example.Good"});
  EXPECT_EQ(ids(list("chess")), std::vector<std::string>{});
}

TEST_F(ListAppsTest, MissingFoldersAreSkippedSilently) {
  desktop.applicationFolders = {"/Nowhere", "/Applications"};
  desktop.addEntry("/Applications", "Good.app", {.bundleIdentifier = "com.example.Good"});
  EXPECT_EQ(ids(list("good")), std::vector<std::string>{"com.example.Good"});
}

TEST_F(ListAppsTest, EachIdentifierIsListedOnceAndRunningWins) {
  desktop.addApp({.bundleIdentifier = "com.example.Notes", .name = "Notes"});
  desktop.addEntry("/Applications", "Notes.app", {.bundleIdentifier = "com.example.Notes", .bundleName = "Jotter"});
  desktop.addEntry("/Applications", "Twice.app", {.bundleIdentifier = "com.example.Twice", .bundleName = "Jot"});
  desktop.addEntry("/Users/tester/Applications", "Twice Again.app",
                   {.bundleIdentifier = "com.example.Twice", .bundleName = "Jot Again"});

  auto apps = list("notes");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].at("running"), true);
  // The running copy does not match "jot" and its bundle is already taken,
  // so it is not listed at all; the first copy of Twice is.
  apps = list("jot");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].at("name"), "Twice");
}

TEST_F(ListAppsTest, AccessoryApplicationsCanStillBeFoundInstalled) {
  desktop.addApp({.bundleIdentifier = "com.example.Menu", .name = "Menu", .policy = ActivationPolicy::accessory});
  desktop.addEntry("/Applications", "Menu.app", {.bundleIdentifier = "com.example.Menu"});
  auto apps = list("menu");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0], Json::parse(R"({"appId": "com.example.Menu", "name": "Menu", "running": false})"));
}

TEST_F(ListAppsTest, NamesComeFromIndexThenDisplayNameAndAllFourMatch) {
  desktop.addEntry("/Applications", "Indexed.app",
                   {.bundleIdentifier = "com.example.A",
                    .bundleName = "Bundle A",
                    .displayName = "Shown A.app",
                    .metadataName = "Index A.app"});
  desktop.addEntry("/Applications", "EmptyIndex.app",
                   {.bundleIdentifier = "com.example.B", .displayName = "Shown B.app", .metadataName = ""});
  desktop.addEntry("/Applications", "NoIndex.app", {.bundleIdentifier = "com.example.C", .bundleName = "Bundle C"});

  auto apps = list("com.example");
  ASSERT_EQ(apps.size(), 3u);
  EXPECT_EQ(apps[0].at("name"), "Index A");
  EXPECT_EQ(apps[1].at("name"), "Shown B");
  EXPECT_EQ(apps[2].at("name"), "NoIndex");
  // Display name and bundle name match even when the shown name does not.
  EXPECT_EQ(ids(list("shown a")), std::vector<std::string>{"com.example.A"});
  EXPECT_EQ(ids(list("bundle")), (std::vector<std::string>{"com.example.A", "com.example.C"}));
}

TEST_F(ListAppsTest, InstalledRecordsAreLimitedToFifty) {
  for (int i = 0; i < 60; ++i) {
    desktop.addEntry("/Applications", "Quill " + std::to_string(i) + ".app",
                     {.bundleIdentifier = "com.example.q" + std::to_string(i)});
  }
  desktop.addEntry("/System/Applications", "Quill Late.app", {.bundleIdentifier = "com.example.late"});
  auto apps = list("quill");
  EXPECT_EQ(apps.size(), 50u);
  EXPECT_EQ(apps[49].at("appId"), "com.example.q49");
  EXPECT_EQ(desktop.bundleOpens, 50);
}

TEST_F(ListAppsTest, LimitNeverCutsRunningApplicationsAndStopsAfterOneBundle) {
  for (int i = 0; i < 55; ++i) {
    desktop.addApp({.bundleIdentifier = "com.example.r" + std::to_string(i), .name = "Quill " + std::to_string(i)});
  }
  desktop.addEntry("/Applications", "Other.app", {.bundleIdentifier = "com.example.other"});
  desktop.addEntry("/Applications", "Quill Extra.app", {.bundleIdentifier = "com.example.extra"});
  auto apps = list("quill");
  EXPECT_EQ(apps.size(), 55u);  // "Other" did not match, and the scan stopped there
  EXPECT_EQ(desktop.bundleOpens, 1);

  desktop.addEntry("/Applications", "Aaa Quill.app", {.bundleIdentifier = "com.example.first"});
  desktop.applicationFolders = {"/First", "/Applications"};
  desktop.addEntry("/First", "Quill First.app", {.bundleIdentifier = "com.example.first"});
  apps = list("quill");
  ASSERT_EQ(apps.size(), 56u);
  EXPECT_EQ(apps[55].at("appId"), "com.example.first");
}

}  // namespace
}  // namespace larkspire::computer
