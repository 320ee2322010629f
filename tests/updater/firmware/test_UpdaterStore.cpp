#include "updater/firmware/UpdaterStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/sim/ChildProcess.h"
#include "tests/sim/TempDir.h"
#include "tests/sim/bird/BirdGenerator.h"
#include "updater/firmware/FileError.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::runInChild;
using testsupport::TempDir;

std::set<std::string> folderEntries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::string thrownText(const std::function<void()>& body) {
  try {
    body();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// The file and the reason that a thrown FileError names.
std::string thrownDescription(const std::function<void()>& body) {
  try {
    body();
  } catch (const FileError& e) {
    return FileError::Describe(e);
  } catch (const std::runtime_error& e) {
    return std::string("(no file named) ") + e.what();
  }
  return "(nothing thrown)";
}

birdgen::Container smallContainer() {
  birdgen::Container c;
  c.blocks.push_back(birdgen::loader(0x20000400, birdgen::pattern(64, 1)));
  c.blocks.push_back(birdgen::firmware(0x60000000, birdgen::pattern(256, 2)));
  c.blocks.push_back(birdgen::descriptor({"42", "1.2.3", "0000ABCD", "", "TS-MODEL"}));
  return c;
}

TEST(UpdaterStoreConstruction, MakesTheDirectoryOrThrowsWithTheExactText) {
  TempDir dir;
  {
    SCOPED_TRACE("missing directories are made");
    std::string base = dir.file("a/b/updater");
    UpdaterStore store(base.c_str());
    EXPECT_STREQ(store.BasePath(), base.c_str());
    EXPECT_TRUE(fs::is_directory(base));
    UpdaterStore again(base.c_str());
  }
  {
    SCOPED_TRACE("a plain file in its place");
    std::string base = dir.write("plain", "x");
    EXPECT_EQ(thrownText([&] { UpdaterStore store(base.c_str()); }),
              "UpdaterStore: " + base + " exists and is a file");
    EXPECT_EQ(thrownDescription([&] { UpdaterStore store(base.c_str()); }),
              base + ": it exists and is not a directory");
  }
  {
    SCOPED_TRACE("a folder that cannot be created");
    std::string locked = dir.file("locked");
    ASSERT_TRUE(fs::create_directory(locked));
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
    dir.openToAll();
    std::string base = locked + "/updater";
    const std::string expected = "UpdaterStore: Could not create directory " + base + " error 12";
    int status = runInChild(
        [&]() {
          std::string text = thrownText([&] { UpdaterStore store(base.c_str()); });
          std::string described = thrownDescription([&] { UpdaterStore store(base.c_str()); });
          if (text != expected || described != base + ": Permission denied") {
            fprintf(stderr, "thrown: %s / %s\n", text.c_str(), described.c_str());
            return 1;
          }
          return 0;
        },
        /*dropRoot=*/true);
    EXPECT_EQ(status, 0);
  }
}

// The store lives below a folder whose name contains a module's serial
// number; only entries named exactly like the search may match.
TEST(UpdaterStoreLookup, FindsOnlyTheEntryWithTheExactName) {
  TempDir dir;
  std::string base = dir.file("0000ABCD-store");
  UpdaterStore store(base.c_str());
  for (const char* name : {"00001111", "X0000ABCD", "0000ABCD.old"}) {
    ASSERT_TRUE(fs::create_directory(base + "/" + name));
  }
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x0000ABCDu, &item)) << "no folder is named 0000ABCD yet";
  EXPECT_FALSE(item.IsValid());
  EXPECT_FALSE(store.FindDevice(".", nullptr));
  EXPECT_FALSE(store.FindDevice("..", nullptr));
  EXPECT_FALSE(store.FindDevice("", nullptr));

  ASSERT_TRUE(fs::create_directory(base + "/0000ABCD"));
  ASSERT_TRUE(store.FindDevice(0x0000ABCDu, &item));
  EXPECT_EQ(item.basePath, base);
  EXPECT_EQ(item.name, "0000ABCD");
  EXPECT_EQ(item.itemType, ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());

  ASSERT_TRUE(store.FindDevice(0x1111u, &item));
  EXPECT_EQ(item.name, "00001111");
  EXPECT_TRUE(store.FindDevice("0000ABCD.old", nullptr));
}

TEST(UpdaterStoreLookup, FindingAFolderLoadsOrCreatesItsSettings) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  ASSERT_TRUE(fs::create_directory(dir.file("00000001")));
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(1u, &item));
  EXPECT_TRUE(fs::exists(dir.file("00000001/.settings")));
  EXPECT_EQ(item.attributes.Values().size(), 2u);
  EXPECT_NE(item.attributes["CREATED_TIME"], nullptr);
  EXPECT_NE(item.attributes["UPDATED_TIME"], nullptr);

  // A later find of another folder brings only that folder's attributes.
  ASSERT_TRUE(fs::create_directory(dir.file("00000002")));
  dir.write("00000002/.settings", "LATEST_DOWNLOAD=7.bird\n");
  ASSERT_TRUE(store.FindDevice(2u, &item));
  EXPECT_EQ(item.attributes.Values().size(), 1u);
  EXPECT_EQ(item.attributes.GetString(UpdaterStoreKeys::LATEST_DOWNLOAD, nullptr), "7.bird");
}

TEST(UpdaterStoreLookup, MissingBaseDirectoryFindsNothing) {
  TempDir dir;
  std::string base = dir.file("store");
  UpdaterStore store(base.c_str());
  ASSERT_TRUE(fs::remove(base));
  EXPECT_FALSE(store.FindDevice(1u, nullptr));
  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(1u, items));
  EXPECT_TRUE(items.empty());
}

TEST(UpdaterStoreDevices, AddDeviceMakesOrReusesTheFolder) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());

  UpdaterStoreItem fresh = store.AddDevice(0xDEADDEADu);
  EXPECT_EQ(fresh.name, "DEADDEAD");
  EXPECT_EQ(fresh.basePath, dir.path());
  EXPECT_EQ(fresh.itemType, ITEM_DIRECTORY);
  EXPECT_TRUE(fs::is_directory(dir.file("DEADDEAD")));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(dir.file("DEADDEAD")).permissions() & fs::perms::all, fs::perms(0755 & ~mask));
  EXPECT_TRUE(fs::exists(dir.file("DEADDEAD/.settings")));

  const std::string settings = "LATEST_DOWNLOAD=9.bird\n";
  dir.write("DEADDEAD/.settings", settings);
  UpdaterStoreItem existing = store.AddDevice(0xDEADDEADu);
  EXPECT_EQ(existing.attributes.GetString(UpdaterStoreKeys::LATEST_DOWNLOAD, nullptr), "9.bird");
  EXPECT_EQ(readFile(dir.file("DEADDEAD/.settings")), settings);

  std::string file = dir.write("0000000F", "x");
  EXPECT_EQ(thrownText([&] { store.AddDevice(0xFu); }), "UpdaterStore: " + file + " exists and is a file");
}

TEST(UpdaterStoreDevices, FileExistsAndLocalBuildsGoByWholeNames) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(0x42u);
  dir.write("00000042/42.bird", "a");
  dir.write("00000042/7.bird", "b");
  dir.write("00000042/.7.bird.99.tmp", "leftover");

  EXPECT_TRUE(device.FileExists("42.bird"));
  EXPECT_FALSE(device.FileExists("2.bird"));
  EXPECT_FALSE(device.FileExists("42"));
  EXPECT_FALSE(device.FileExists("00000042"));

  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x42u, items));
  std::set<std::string> names;
  for (const UpdaterStoreItem& item : items) {
    names.insert(item.name);
    EXPECT_EQ(item.basePath, dir.file("00000042"));
    EXPECT_EQ(item.itemType, ITEM_FILE);
  }
  EXPECT_EQ(names, (std::set<std::string>{"42.bird", "7.bird"}));
}

TEST(UpdaterStoreFiles, WriteFileArgumentsAndEmptyFile) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(1u);
  const unsigned char byte = 0x5A;

  EXPECT_EQ(device.WriteFile("1.bird", nullptr, 10), aErrNotFound);
  EXPECT_FALSE(fs::exists(dir.file("00000001/1.bird")));

  EXPECT_EQ(device.WriteFile("0.bird", &byte, 0), aErrNone);
  EXPECT_TRUE(fs::exists(dir.file("00000001/0.bird")));
  EXPECT_EQ(fs::file_size(dir.file("00000001/0.bird")), 0u);

  for (const char* name : {"", ".", "..", "../escape.bird", "sub/1.bird"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(device.WriteFile(name, &byte, 1), aErrParam);
  }
  EXPECT_FALSE(fs::exists(dir.file("escape.bird")));
  EXPECT_EQ(folderEntries(dir.file("00000001")), (std::set<std::string>{".settings", "0.bird"}));
}

// A reader that opened the old build keeps reading the old bytes: the new
// file takes the old one's place instead of being written into it.
TEST(UpdaterStoreFiles, WriteFileReplacesAFileAtomically) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(1u);
  const std::string oldBytes(1000, 'o');
  const std::string path = dir.write("00000001/5.bird", oldBytes);

  std::ifstream reader(path, std::ios::binary);
  ASSERT_TRUE(reader.good());
  birdgen::Bytes bytes = birdgen::file(smallContainer());
  ASSERT_EQ(device.WriteFile("5.bird", bytes.data(), bytes.size()), aErrNone);

  std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
  EXPECT_EQ(seen, oldBytes);
  EXPECT_EQ(readFile(path), std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(folderEntries(dir.file("00000001")), (std::set<std::string>{".settings", "5.bird"}));

  BirdFile bird = device.ReadBirdFile("5.bird");
  EXPECT_EQ(bird.GetBuild(), 42u);
  EXPECT_EQ(bird.path, path);
}

TEST(UpdaterStoreFiles, FailedWriteKeepsTheGoodBuild) {
  const std::string good = "a good build";
  const birdgen::Bytes replacement = birdgen::pattern(8192, 3);
  {
    SCOPED_TRACE("write cut short by the file-size limit");
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(1u);
    std::string path = dir.write("00000001/5.bird", good);
    int status = runInChild(
        [&]() {
          signal(SIGXFSZ, SIG_IGN);
          rlimit limit{512, 512};
          if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 100;
          return static_cast<int>(device.WriteFile("5.bird", replacement.data(), replacement.size()));
        },
        /*dropRoot=*/false);
    EXPECT_EQ(status, aErrIO);
    EXPECT_EQ(readFile(path), good);
    EXPECT_EQ(folderEntries(dir.file("00000001")), (std::set<std::string>{".settings", "5.bird"}));
  }
  {
    SCOPED_TRACE("read-only folder");
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(1u);
    std::string path = dir.write("00000001/5.bird", good);
    ASSERT_EQ(chmod(dir.file("00000001").c_str(), 0555), 0);
    dir.openToAll();
    // A folder that may not be written is a permission problem, not a
    // missing file, and the reason says which file.
    int status = runInChild(
        [&]() {
          std::string why;
          aErr result = device.WriteFile("5.bird", replacement.data(), replacement.size(), &why);
          if (why != path + ": Permission denied") {
            fprintf(stderr, "why: %s\n", why.c_str());
            return 99;
          }
          return static_cast<int>(result);
        },
        /*dropRoot=*/true);
    EXPECT_EQ(status, aErrPermission);
    EXPECT_EQ(readFile(path), good);
  }
}

TEST(UpdaterStoreFiles, ReadBirdFileRefusesBadHeadersWithTheirPath) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(1u);
  const std::string folder = dir.file("00000001");

  birdgen::Container zeroVersion = smallContainer();
  zeroVersion.versionLow = 0;
  birdgen::Container badSignature = smallContainer();
  badSignature.signature = {{'b', 'i', 'r', 'x'}};
  birdgen::Container truncated = smallContainer();
  truncated.truncateTo = 5;
  struct Case {
    const char* what;
    const char* file;
    const birdgen::Container* container;  // NULL: no file at all
  } cases[] = {
      {"a zero version byte, which Load alone accepts", "1.bird", &zeroVersion},
      {"another signature", "2.bird", &badSignature},
      {"fewer than 6 bytes", "3.bird", &truncated},
      {"no such file", "4.bird", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.container != nullptr) {
      ASSERT_TRUE(birdgen::write(folder + "/" + c.file, *c.container));
    }
    EXPECT_EQ(thrownText([&] { device.ReadBirdFile(c.file); }), "Invalid bird " + folder + "/" + c.file);
  }

  BirdFile check;
  const birdgen::Bytes zeroVersionBytes = birdgen::file(zeroVersion);
  ASSERT_TRUE(check.LoadData(zeroVersionBytes.data(), zeroVersionBytes.size()))
      << "the refusal comes from the header check, not from loading";

  dir.write("00000001/5.bird", std::string("bird\x01\x01not zlib", 14));
  EXPECT_EQ(thrownText([&] { device.ReadBirdFile("5.bird"); }), "Failed to load bird data");
}

// Names read from a record may have been edited by anyone: only a plain
// file name inside the module's folder is followed, even when the place it
// points to holds a good container.
TEST(UpdaterStoreFiles, RecordedNamesNeverLeadOutOfTheFolder) {
  TempDir dir;
  UpdaterStore store(dir.path().c_str());
  UpdaterStoreItem device = store.AddDevice(1u);
  ASSERT_TRUE(birdgen::write(dir.file("42.bird"), smallContainer()));
  ASSERT_EQ(mkdir(dir.file("00000001/sub").c_str(), 0755), 0);
  ASSERT_TRUE(birdgen::write(dir.file("00000001/sub/42.bird"), smallContainer()));
  ASSERT_TRUE(birdgen::write(dir.file("00000001/42.bird"), smallContainer()));
  const std::string absolute = dir.file("42.bird");
  struct Case {
    const char* what;
    std::string name;
    unsigned build;  // RecordedBuild of the name
  } cases[] = {
      {"the parent folder", "../42.bird", 0},
      {"an absolute path", absolute, 0},
      {"a name with a folder in it", "sub/42.bird", 0},
      {"leading digits and a folder", "42.bird/../../42.bird", 0},
      {"the folder itself", "..", 0},
      {"empty", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(thrownText([&] { device.ReadBirdFile(c.name.c_str()); }), "Not a file of the store: " + c.name);
    device.attributes.Add(UpdaterStoreKeys::LATEST_DOWNLOAD, c.name);
    EXPECT_EQ(device.RecordedBuild(UpdaterStoreKeys::LATEST_DOWNLOAD), c.build);
  }
  EXPECT_EQ(device.ReadBirdFile("42.bird").GetBuild(), 42u);
  device.attributes.Add(UpdaterStoreKeys::LATEST_DOWNLOAD, "42.bird");
  EXPECT_EQ(device.RecordedBuild(UpdaterStoreKeys::LATEST_DOWNLOAD), 42u);
  // A missing key reads as none and is added empty, as GetInt does.
  EXPECT_EQ(device.RecordedBuild(UpdaterStoreKeys::LATEST_TRANSFER), 0u);
  ASSERT_NE(device.attributes[UpdaterStoreKeys::LATEST_TRANSFER], nullptr);
}

}  // namespace
