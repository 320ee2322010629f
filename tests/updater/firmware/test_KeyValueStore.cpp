#include "updater/firmware/KeyValueStore.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "tests/sim/ChildProcess.h"
#include "tests/sim/TempDir.h"
#include "updater/support/Log.h"

namespace {

using Entries = std::map<std::string, std::string>;
using testsupport::readFile;
using testsupport::runInChild;
using testsupport::TempDir;

// ctime's text without its newline: "Www Mmm dd hh:mm:ss yyyy", the day of
// the month padded with a space.
bool isTimeText(const std::string& s) {
  const char* shape = "Aaa Aaa _9 99:99:99 9999";
  if (s.size() != strlen(shape)) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool ok = false;
    switch (shape[i]) {
      case 'A': ok = c >= 'A' && c <= 'Z'; break;
      case 'a': ok = c >= 'a' && c <= 'z'; break;
      case '9': ok = c >= '0' && c <= '9'; break;
      case '_': ok = c == ' ' || (c >= '0' && c <= '9'); break;
      default: ok = c == shape[i]; break;
    }
    if (!ok) return false;
  }
  return true;
}

std::set<std::string> folderEntries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

struct ParseCase {
  const char* what;
  std::string text;
  Entries expected;
};

const std::string kLongValue(5000, 'x');

const ParseCase kParseCases[] = {
    {"a key with an empty value", "a=\n", {{"a", ""}}},
    {"a last line of two characters is too short", "x=1\na=", {{"x", "1"}}},
    {"a last line without newline counts", "x=1\nk=v", {{"x", "1"}, {"k", "v"}}},
    {"spaces around key, '=' and value and a CRLF are dropped; inner ones stay",
     "  key \t=  two  words  \r\n",
     {{"key", "two  words"}}},
    {"later '=' belong to the value", "k=v=w\n", {{"k", "v=w"}}},
    {"'#' in column one is a comment", "#c=1\n", {}},
    {"'#' after a space begins a key", " #c=1\n", {{"#c", "1"}}},
    {"the last line of a key wins", "k=1\nj=0\nk=2\n", {{"j", "0"}, {"k", "2"}}},
    {"blank and white-space lines are skipped", "\n\n   \n\t\t\r\nk=v\n\n", {{"k", "v"}}},
    {"a line without '=' is skipped", "novalue\nk=v\n", {{"k", "v"}}},
    {"a line starting with '=' gives the empty key", " =v\n", {{"", "v"}}},
    {"a carriage return inside a value becomes a space", "k=a\rb\n", {{"k", "a b"}}},
    {"a NUL byte ends the line's content", std::string("k=ab\0cd\nz=1\n", 12), {{"k", "ab"}, {"z", "1"}}},
    {"a 5000-character line is read whole", "long=" + kLongValue + "\nnext=1\n",
     {{"long", kLongValue}, {"next", "1"}}},
    {"an empty text holds nothing", "", {}},
};

TEST(KeyValueStoreParse, TableInMemoryAndFromFile) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.what);
    KeyValueStore parsed;
    parsed.Parse(c.text.data(), c.text.size());
    EXPECT_EQ(parsed.Values(), c.expected);
    EXPECT_FALSE(parsed.IsDirty());

    TempDir dir;
    std::string path = dir.write(".settings", c.text);
    KeyValueStore loaded;
    EXPECT_TRUE(loaded.Load(path.c_str()));
    EXPECT_EQ(loaded.Values(), c.expected);
    EXPECT_FALSE(loaded.IsDirty());
    EXPECT_EQ(loaded.FileName(), path);
    EXPECT_EQ(readFile(path), c.text) << "loading must not write";
  }
}

TEST(KeyValueStoreParse, LoadKeepsEarlierEntriesUnlessReplaced) {
  TempDir dir;
  std::string path = dir.write(".settings", "b=new\n");
  KeyValueStore store;
  store.Add("a", "kept");
  store.Add("b", "old");
  ASSERT_TRUE(store.Load(path.c_str()));
  EXPECT_EQ(store.Values(), (Entries{{"a", "kept"}, {"b", "new"}}));
  EXPECT_FALSE(store.IsDirty());
}

TEST(KeyValueStoreFile, MissingFileIsCreatedWithBothTimeStamps) {
  TempDir dir;
  std::string path = dir.file(".settings");
  KeyValueStore store(path.c_str());

  EXPECT_FALSE(store.IsDirty());
  ASSERT_EQ(store.Values().size(), 2u);
  std::string created = store.GetString("CREATED_TIME", nullptr);
  std::string updated = store.GetString("UPDATED_TIME", nullptr);
  EXPECT_TRUE(isTimeText(created)) << created;
  EXPECT_TRUE(isTimeText(updated)) << updated;
  EXPECT_EQ(readFile(path), "CREATED_TIME=" + created + "\nUPDATED_TIME=" + updated + "\n");
}

TEST(KeyValueStoreFile, SavesAreByteExactAndTouchUpdatedTimeOnlyWhenDirty) {
  TempDir dir;
  std::string path = dir.write(".settings", "b=2\nB=1\n  a = x \n");
  KeyValueStore store(path.c_str());

  // Upper-case keys sort before lower-case ones; nothing but the entries.
  ASSERT_TRUE(store.Save(nullptr));
  EXPECT_EQ(readFile(path), "B=1\na=x\nb=2\n");

  // The same value, and a new key with an empty value, change nothing.
  store.Add("a", "x");
  store.Add("c", "");
  EXPECT_FALSE(store.IsDirty());
  ASSERT_TRUE(store.Save(nullptr));
  EXPECT_EQ(readFile(path), "B=1\na=x\nb=2\nc=\n");

  store.Add("a", std::string("y"));
  EXPECT_TRUE(store.IsDirty());
  ASSERT_TRUE(store.Save(nullptr));
  EXPECT_FALSE(store.IsDirty());
  std::string updated = store.GetString("UPDATED_TIME", nullptr);
  EXPECT_TRUE(isTimeText(updated)) << updated;
  EXPECT_EQ(readFile(path), "B=1\nUPDATED_TIME=" + updated + "\na=y\nb=2\nc=\n");
  EXPECT_EQ(folderEntries(dir.path()), std::set<std::string>{".settings"}) << "no temporary file is left";
}

TEST(KeyValueStoreFile, LineBreaksInKeysAndValuesAreStoredAsSpaces) {
  TempDir dir;
  std::string path = dir.file("attrs");
  KeyValueStore store;
  store.Add("path", "one\r\ntwo\nthree");
  store.Add("in\njected", "v");
  store.Add("nul", std::string("a\0b", 3));
  EXPECT_STREQ(store["path"], "one  two three");
  EXPECT_STREQ(store["in jected"], "v");
  EXPECT_STREQ(store["nul"], "a b");
  ASSERT_TRUE(store.Save(path.c_str()));

  KeyValueStore reloaded(path.c_str());
  EXPECT_EQ(reloaded.Values(), store.Values());
  std::string text = readFile(path);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(KeyValueStoreValues, GettersAndTheirSideEffects) {
  KeyValueStore store;
  const std::string text =
      "int=42abc\nneg=-7\nbig=99999999999999999999\nhex=0x1F\nbare=ff\ndbl=2.5e1\nzero=0\nempty=\n";
  store.Parse(text.data(), text.size());
  EXPECT_EQ(store.GetInt("int", -1), 42);
  EXPECT_EQ(store.GetInt("neg", -1), -7);
  EXPECT_EQ(store.GetInt("big", -1), INT_MAX);
  EXPECT_EQ(store.GetHex("hex", 0), 0x1Fu);
  EXPECT_EQ(store.GetHex("bare", 0), 0xFFu);
  EXPECT_DOUBLE_EQ(store.GetDouble("dbl", 0.0), 25.0);
  EXPECT_TRUE(store.GetBOOL("int", false));
  EXPECT_FALSE(store.GetBOOL("zero", true));
  EXPECT_EQ(store.GetInt("empty", 5), 5);
  EXPECT_EQ(store.GetString("empty", "default"), "") << "an empty value is not the default";

  EXPECT_EQ(store.GetString("absent", "default"), "default");
  EXPECT_EQ(store["absent"], nullptr);
  EXPECT_EQ(store.GetString("absent", nullptr), "");
  EXPECT_EQ(store.Values().count("absent"), 0u) << "GetString and [] add nothing";

  // The numeric getters add a missing key with an empty value, silently.
  EXPECT_EQ(store.GetInt("missing", 9), 9);
  EXPECT_FALSE(store.IsDirty());
  EXPECT_NE(store.Serialize().find("\nmissing=\n"), std::string::npos);
}

TEST(KeyValueStoreValues, NumberFormsAndCopies) {
  KeyValueStore store;
  store.Add("i", -12);
  store.Add("d", 1.5);
  store.AddHex("h", 0xABCDu);
  EXPECT_STREQ(store["i"], "-12");
  EXPECT_STREQ(store["d"], "1.500000");
  EXPECT_STREQ(store["h"], "0x0000ABCD");
  EXPECT_FALSE(store.Add(nullptr, "v"));

  KeyValueStore target;
  target.Add(KeyValueStore());
  EXPECT_FALSE(target.IsDirty()) << "copying nothing changes nothing";
  target.Add(store);
  EXPECT_TRUE(target.IsDirty());
  EXPECT_EQ(target.Values(), store.Values());

  KeyValueStore copy(target);
  EXPECT_TRUE(copy.IsDirty());
  EXPECT_EQ(copy.Values(), target.Values());
  copy.Clear();
  EXPECT_TRUE(copy.Values().empty());
  EXPECT_EQ(target.Values().size(), 3u);
}

TEST(KeyValueStoreFile, SaveWithoutAnyNameUsesTheDefaultInTheCurrentDirectory) {
  TempDir dir;
  std::string logPath = dir.file("log");
  int status = runInChild(
      [&]() {
        if (chdir(dir.path().c_str()) != 0) return 10;
        FILE* log = fopen(logPath.c_str(), "w");
        if (log == nullptr) return 11;
        Log::SetOutput(log);
        Log::ActivatePackage(DEBUG_Attributes);
        KeyValueStore store;
        store.Add("k", "v");
        bool saved = store.Save(nullptr);
        fclose(log);
        return saved && store.FileName() == ".settings" ? 0 : 12;
      },
      /*dropRoot=*/false);
  ASSERT_EQ(status, 0);
  std::string saved = readFile(dir.file(".settings"));
  const std::string prefix = "UPDATED_TIME=";
  ASSERT_EQ(saved.size(), prefix.size() + 24 + 5) << saved;
  EXPECT_EQ(saved.substr(0, prefix.size()), prefix);
  EXPECT_TRUE(isTimeText(saved.substr(prefix.size(), 24))) << saved;
  EXPECT_EQ(saved.substr(prefix.size() + 24), "\nk=v\n");
  EXPECT_NE(readFile(logPath).find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
            std::string::npos);
}

// A file the user cannot read (here: write-only, so a plain rewrite would
// succeed) must not be replaced by a store that never saw its entries.
TEST(KeyValueStoreFile, UnreadableFileIsLeftByteIdentical) {
  TempDir dir;
  dir.openToAll();
  const std::string contents = "LATEST_DOWNLOAD=42.bird\nCREATED_TIME=Mon Jan  1 00:00:00 2024\n";
  std::string path = dir.write(".settings", contents);
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(chmod(path.c_str(), 0200), 0);

  int status = runInChild(
      [&]() {
        KeyValueStore store;
        if (store.Load(path.c_str())) return 10;
        if (!store.Values().empty()) return 11;
        store.Add("LATEST_TRANSFER", "43.bird");
        if (store.Save(nullptr)) return 12;
        if (!store.IsDirty()) return 13;
        return 0;
      },
      /*dropRoot=*/true);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(readFile(path), contents);
  EXPECT_EQ(folderEntries(dir.path()), std::set<std::string>{".settings"});
}

TEST(KeyValueStoreFile, DirectoryInPlaceOfTheFileIsNotTouched) {
  TempDir dir;
  std::string path = dir.file(".settings");
  ASSERT_TRUE(std::filesystem::create_directory(path));
  KeyValueStore store;
  EXPECT_FALSE(store.Load(path.c_str()));
  store.Add("k", "v");
  EXPECT_FALSE(store.Save(nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_TRUE(std::filesystem::is_empty(path));
}

// The old file survives both a temporary file that cannot be created and
// one whose write stops half way.
TEST(KeyValueStoreFile, FailedSaveLeavesTheOldFileAndTheStoreDirty) {
  const std::string contents = "k=v\n";
  {
    SCOPED_TRACE("read-only folder");
    TempDir dir;
    std::string folder = dir.file("ro");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    std::string path = dir.write("ro/.settings", contents);
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    dir.openToAll();
    int status = runInChild(
        [&]() {
          KeyValueStore store(path.c_str());
          store.Add("k", "w");
          if (store.Save(nullptr)) return 10;
          return store.IsDirty() ? 0 : 11;
        },
        /*dropRoot=*/true);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(path), contents);
    EXPECT_EQ(folderEntries(folder), std::set<std::string>{".settings"});
  }
  {
    SCOPED_TRACE("write cut short by the file-size limit");
    TempDir dir;
    std::string path = dir.write(".settings", contents);
    int status = runInChild(
        [&]() {
          KeyValueStore store(path.c_str());
          store.Add("k", std::string(8192, 'w'));
          signal(SIGXFSZ, SIG_IGN);
          rlimit limit{64, 64};
          if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 20;
          if (store.Save(nullptr)) return 21;
          return store.IsDirty() ? 0 : 22;
        },
        /*dropRoot=*/false);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readFile(path), contents);
    EXPECT_EQ(folderEntries(dir.path()), std::set<std::string>{".settings"});
  }
}

}  // namespace
