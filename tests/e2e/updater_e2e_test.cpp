// Real runs of the packed updater under Wine, driven through its message
// boxes. Each test starts one or more updater processes; the patch is
// packed once by patchtool.exe and damaged on purpose where a test needs it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frontend/texts.h"
#include "tests/e2e/box_driver.h"
#include "tests/e2e/box_probe.h"
#include "tests/e2e/e2e_config.h"
#include "tests/e2e/patch_files.h"
#include "tests/unit/content_sum_reference.h"
#include "tests/unit/package_fixture.h"
#include "tests/unit/test_support.h"

namespace {

// The system's names and texts, spelt here independently of the updater's
// own constants.
const wchar_t kUpdaterMutex[] = L"Updater for Velmora is executing.";
const wchar_t kInterpreterMutex[] = L"Orvaline for Velmora is executing.";
const wchar_t kCaption[] = L"ミロセナ 修正パッチ ver 1.00";
const wchar_t kQuestion[] = L"アップデートを行いますか？";
const wchar_t kGameRunning[] =
    L"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません";
const wchar_t kNotInstalled[] = L"ゲームがインストールされていません";
const wchar_t kCompleted[] = L"アップデートが完了しました";
const wchar_t kPackageDamaged[] = L"アップデートプログラムが破損している可能性があります";
const wchar_t kWriteFailed[] = L"何らかの要因によりアップデートが行えません";
const wchar_t kUninstallListFailed[] = L"アンインストレーションファイルの更新に失敗しました";
const wchar_t kWrongRelease[] =
    L"インストールされているゲームのバージョンが違うのでアップデートを行えません";

// The game's key: by its Unicode name, as a Unicode installer creates it,
// and by its code page 932 bytes through the ANSI functions, as an ANSI
// installer does (read in the system's code page: the same key on a
// Japanese system, another one elsewhere).
const wchar_t kMakerPath[] = L"Software\\Quillory";
const wchar_t kGamePath[] = L"Software\\Quillory\\ミロセナ";
const std::string kAnsiGamePath = std::string("Software\\Quillory\\") + kProductKeyName;

// Exit codes as a caller of the process reads them.
constexpr DWORD kExitOk = 0;
constexpr DWORD kExitNotInstalled = 0xFFFFFFFF;    // -1
constexpr DWORD kExitGameRunning = 0xFFFFFFFE;     // -2
constexpr DWORD kExitDeclined = 0xFFFFFFFD;        // -3
constexpr DWORD kExitAlreadyRunning = 0xFFFFFFFC;  // -4
constexpr DWORD kPackageError = 0x80000001;
constexpr DWORD kTooMany = 0x80000002;
constexpr DWORD kChecksum = 0x80000003;
constexpr DWORD kWriteError = 0x80000004;
constexpr DWORD kUninstallListError = 0x80000005;
constexpr DWORD kWrongReleaseError = 0x80000006;

constexpr DWORD kTimeoutMs = 30000;

const char kOldList[] = "game.exe\nData1.arc\n";

// ---------------------------------------------------------------------------
// Registry

struct Place {
  HKEY root;
  REGSAM view;
};
const Place kMachine32 = {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY};  // Wow6432Node
const Place kMachine64 = {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY};
const Place kUser = {HKEY_CURRENT_USER, 0};

void RemoveGameKeys() {
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kGamePath, view, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kAnsiGamePath.c_str(), view, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kMakerPath, view, 0);
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, kGamePath);
  RegDeleteKeyW(HKEY_CURRENT_USER, kMakerPath);
}

bool CreateGameKey(const Place& place, HKEY* key) {
  return RegCreateKeyExW(place.root, kGamePath, 0, nullptr, 0, KEY_ALL_ACCESS | place.view,
                         nullptr, key, nullptr) == ERROR_SUCCESS;
}

// The value as a Unicode installer leaves it: any folder name.
bool SetInstalledFolder(const Place& place, DWORD type, const std::string& folder) {
  HKEY key;
  if (!CreateGameKey(place, &key)) return false;
  std::wstring wide = Widen(folder);
  LONG status = RegSetValueExW(key, L"InstalledFolder", 0, type,
                               reinterpret_cast<const BYTE*>(wide.c_str()),
                               static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// The key and value as an ANSI installer on this system leaves them: the
// key named by the code page 932 bytes, the folder in the ANSI code page
// (which must be able to spell it).
bool SetInstalledFolderAnsi(const std::string& folder) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAnsiGamePath.c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring wide = Widen(folder);
  int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &ansi[0], n, nullptr, nullptr);
  LONG status = RegSetValueExA(key, "InstalledFolder", 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(ansi.c_str()),
                               static_cast<DWORD>(ansi.size()));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Files

// Every file of a folder with its bytes ("<folder>" for a subfolder).
using Snapshot = std::map<std::string, std::string>;

Snapshot TakeSnapshot(const std::string& folder) {
  Snapshot snapshot;
  for (const std::string& name : ListDir(folder)) {
    std::string path = folder + "\\" + name;
    DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      snapshot[name] = "<folder>";
    } else {
      snapshot[name] = ReadFileText(path);
    }
  }
  return snapshot;
}

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Gives directory entry i of a patch another stored name (at most 15
// bytes), as no packer that keeps the name rule would.
void RenameEntry(Bytes* patch, size_t i, const std::string& name) {
  size_t at = kPackageOffset + 16 + 32 * i;
  for (size_t k = 0; k < 16; ++k) (*patch)[at + k] = k < name.size() ? name[k] : 0;
}

// The stored form of data's sum, from the tests' own reference.
Bytes StoredSum(const Bytes& data) { return SumBytes(data); }

// A patch of the given entries behind the updater, with their hash list
// (naming each entry) stored last unless withList is false.
Bytes PatchOf(const Bytes& stub, std::vector<FixtureEntry> entries, bool withList = true) {
  if (withList) {
    std::vector<FixtureRecord> records;
    for (const FixtureEntry& e : entries) records.push_back({e.name, StoredSum(e.data)});
    entries.push_back({"QEN.hvl", BuildHashList(records)});
  }
  Bytes patch = BuildPackage(entries);
  std::copy(stub.begin(), stub.end(), patch.begin());
  return patch;
}

// The shared patch and what went into it.
struct SuiteData {
  TempDir dir;
  Bytes stub;   // the updater alone
  Bytes patch;  // the updater with its package
  PatchLayout layout;
};
SuiteData* g_suite = nullptr;

// A game installation: a folder (by default with a Japanese name, which a
// Unicode installer gives it on any system), the game's files and its
// uninstall list.
struct Installation {
  TempDir parent;
  std::string folder;

  explicit Installation(const std::string& name = Narrow(L"ミロセナ")) {
    folder = parent / name;
    bool made = MakeDir(folder) && WriteFileText(folder + "\\game.exe", "the game") &&
                WriteFileText(folder + "\\Data1.arc", "old archive") &&
                WriteFileBytes(folder + "\\uninst.lst",
                               ToBytes(std::string(kOldList) + std::string(1, '\0')));
    EXPECT_TRUE(made);
  }
  std::string operator/(const std::string& name) const { return folder + "\\" + name; }
};

// ---------------------------------------------------------------------------

// A mutex that the test itself holds, as the game or another updater would.
class HeldMutex {
 public:
  explicit HeldMutex(const wchar_t* name)
      : handle_(CreateMutexW(nullptr, TRUE, name)), error_(GetLastError()) {}
  ~HeldMutex() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;
  // Created anew and owned by this thread.
  bool ok() const { return handle_ != nullptr && error_ == ERROR_SUCCESS; }

 private:
  HANDLE handle_;
  DWORD error_;
};

std::vector<int> Sorted(std::vector<int> ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

class UpdaterRunTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_suite = new SuiteData;
    SuiteData& s = *g_suite;
    // Three files of the patch, the first one replacing a file of the game.
    std::string files = s.dir / "files";
    ASSERT_TRUE(MakeDir(files));
    ASSERT_TRUE(WriteFileBytes(files + "\\Data1.arc", RandomBytes(5000, 1)));
    ASSERT_TRUE(WriteFileBytes(files + "\\data2.arc", RandomBytes(70000, 2)));
    ASSERT_TRUE(WriteFileText(files + "\\readme.txt", "Velmora fix patch\r\n"));
    std::wstring patch = Widen(s.dir / "patch.exe");
    std::wstring w = Widen(files);
    // The x86-64 twin of the updater (the win64 build) is packed only when
    // patchtool is told that it is one.
    const wchar_t* twin = sizeof(void*) == 8 ? L" --test-twin-stub" : L"";
    long code = RunPatchtool(g_config.patchtool,
                             L"pack --stub \"" + g_config.updater + L"\"" + twin + L" -o \"" +
                                 patch + L"\" --hash-list \"" + w + L"\\Data1.arc\" \"" + w +
                                 L"\\data2.arc\" \"" + w + L"\\readme.txt\"",
                             s.dir / "patchtool.log");
    ASSERT_EQ(code, 0) << ReadFileText(s.dir / "patchtool.log");
    ASSERT_TRUE(ReadFileBytes(Narrow(g_config.updater), &s.stub));
    ASSERT_TRUE(ReadFileBytes(Narrow(patch), &s.patch));
    ASSERT_TRUE(ReadPatchLayout(s.patch, &s.layout));
    std::vector<std::string> names;
    for (const PatchEntry& e : s.layout.entries) names.push_back(e.name);
    ASSERT_EQ(names, (std::vector<std::string>{"Data1.arc", "data2.arc", "readme.txt", "QEN.hvl"}));
    // The sums come from the tests' own reference, so that a checksum that
    // patchtool and the updater got wrong alike cannot pass.
    ASSERT_EQ(EntryData(s.patch, s.layout, 3),
              BuildHashList({{"Data1.arc", SumBytes(RandomBytes(5000, 1))},
                             {"data2.arc", SumBytes(RandomBytes(70000, 2))},
                             {"readme.txt", SumBytes(ToBytes("Velmora fix patch\r\n"))}}));
  }
  static void TearDownTestSuite() {
    delete g_suite;
    g_suite = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(g_suite, nullptr);
    ASSERT_FALSE(g_suite->patch.empty()) << "the patch could not be packed";
    RemoveGameKeys();
    // A leftover updater of an earlier test would spoil every later one.
    ASSERT_FALSE(MutexExists(kUpdaterMutex));
    ASSERT_FALSE(MutexExists(kInterpreterMutex));
    ASSERT_TRUE(driver_.probeLoaded()) << "the probe DLL did not load";
  }
  void TearDown() override { RemoveGameKeys(); }

  // Writes a patch file for this test and returns its path.
  std::wstring WritePatch(const Bytes& bytes, const std::string& name = "patch.exe") {
    std::string path = dir_ / name;
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return Widen(path);
  }

  // Registers the installation as the game's own installer would.
  void Register(const Installation& install) {
    ASSERT_TRUE(SetInstalledFolder(kMachine32, REG_SZ, install.folder));
  }

  // Waits for the next box of the process and reads it; a box that does not
  // come fails the test.
  Box NextBox(const Process& process) {
    HWND hwnd = driver_.WaitForBox(process, kTimeoutMs);
    EXPECT_NE(hwnd, nullptr) << "no box appeared";
    if (hwnd == nullptr) return Box();
    return driver_.Read(hwnd);
  }

  // Both names are taken while a box of the updater is up: opening finds
  // them, creating one finds it existing, and another program that waits on
  // them instead finds them owned (by the updater, or by the game that holds
  // the interpreter's name), so that it cannot get through.
  void ExpectMutexesHeld() {
    EXPECT_TRUE(MutexExists(kUpdaterMutex));
    EXPECT_TRUE(MutexExists(kInterpreterMutex));
    EXPECT_TRUE(MutexCreationFindsItTaken(kUpdaterMutex));
    EXPECT_TRUE(MutexCreationFindsItTaken(kInterpreterMutex));
    std::vector<MutexWait> waits =
        WaitOnMutexesFromAnotherProcess({kUpdaterMutex, kInterpreterMutex});
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_STREQ(MutexWaitText(waits[0]), MutexWaitText(MutexWait::kOwned)) << "updater mutex";
    EXPECT_STREQ(MutexWaitText(waits[1]), MutexWaitText(MutexWait::kOwned))
        << "interpreter mutex";
  }

  // Checks a box: the one caption, no owner window, the text, the icon and
  // which buttons it has and which of them is the default; and both names
  // are taken while it is up.
  void ExpectBox(const Box& box, const wchar_t* text, int icon, std::vector<int> buttons,
                 int defaultButton) {
    EXPECT_EQ(Utf8(box.caption), Utf8(kCaption));
    EXPECT_EQ(Utf8(box.text), Utf8(text));
    EXPECT_EQ(box.icon, icon) << "icon (box_probe.h: 3 information, 4 warning, 5 question)";
    EXPECT_EQ(Sorted(box.ButtonIds()), Sorted(buttons));
    EXPECT_EQ(box.DefaultIds(), std::vector<int>{defaultButton});
    EXPECT_EQ(GetWindow(box.hwnd, GW_OWNER), nullptr) << "the box has an owner window";
    ExpectMutexesHeld();
  }
  void ExpectQuestion(const Box& box) {
    ExpectBox(box, kQuestion, kIconQuestion, {IDYES, IDNO}, IDNO);
    EXPECT_EQ(box.focusId, IDNO) << "the focus is not on No";
  }
  void ExpectWarning(const Box& box, const wchar_t* text) {
    ExpectBox(box, text, kIconWarning, {IDOK}, IDOK);
  }

  // The process ends with the code and shows no further box; afterwards
  // both names are free again.
  void ExpectEndWithoutBox(Process& process, DWORD expectedCode) {
    HWND more = driver_.WaitForBox(process, kTimeoutMs);
    if (more != nullptr) {
      Box extra = driver_.Read(more);
      ADD_FAILURE() << "an unexpected box: " << Utf8(extra.text);
      driver_.Click(extra, extra.buttons.empty() ? IDOK : extra.buttons.front().id);
    }
    DWORD code = 0;
    ASSERT_TRUE(process.WaitExit(kTimeoutMs, &code)) << "the updater did not end";
    EXPECT_EQ(code, expectedCode) << std::hex << "exit code 0x" << code;
    EXPECT_FALSE(MutexExists(kUpdaterMutex));
    EXPECT_FALSE(MutexExists(kInterpreterMutex));
  }

  // The completion box comes, is answered, and the process ends with 0.
  void ExpectCompletion(Process& process) {
    Box done = NextBox(process);
    ExpectBox(done, kCompleted, kIconInformation, {IDOK}, IDOK);
    ASSERT_TRUE(driver_.Click(done, IDOK));
    ExpectEndWithoutBox(process, kExitOk);
  }

  // Starts the updater and answers Yes at its question.
  void StartAndAgree(Process& process, const std::wstring& patch) {
    ASSERT_TRUE(process.Start(patch)) << "CreateProcess: error " << process.startError();
    Box question = NextBox(process);
    ExpectQuestion(question);
    ASSERT_TRUE(driver_.Click(question, IDYES));
  }

  // Starts the updater on patch, answers Yes, and sees the patch refused as
  // made for another release: the warning box, with the folder as it was,
  // and the exit code.
  void ExpectWrongRelease(const std::wstring& patch, const std::string& folder) {
    Snapshot before = TakeSnapshot(folder);
    Process updater;
    ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, patch));
    Box box = NextBox(updater);
    ExpectWarning(box, kWrongRelease);
    EXPECT_EQ(TakeSnapshot(folder), before);
    ASSERT_TRUE(driver_.Click(box, IDOK));
    ExpectEndWithoutBox(updater, kWrongReleaseError);
  }

  TempDir dir_;
  BoxDriver driver_{g_config.probe};
};

// The install folder after a run in which the first `written` entries of
// the patch were written and the list was (or was not) extended.
Snapshot ExpectedAfter(const Snapshot& before, size_t written, bool listExtended) {
  Snapshot after = before;
  for (size_t i = 0; i < written; ++i) {
    after[g_suite->layout.entries[i].name] =
        AsText(EntryData(g_suite->patch, g_suite->layout, i));
  }
  if (listExtended) {
    std::string list = kOldList;
    for (const PatchEntry& e : g_suite->layout.entries) {
      if (e.name != "Data1.arc") list += e.name + "\n";
    }
    after["uninst.lst"] = list + std::string(1, '\0');
  }
  return after;
}

TEST_F(UpdaterRunTest, FullUpdateWritesFilesAndListAndTellsCompletion) {
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  Snapshot before = TakeSnapshot(install.folder);
  std::wstring patch = WritePatch(g_suite->patch);

  Process updater;
  ASSERT_TRUE(updater.Start(patch));
  Box question = NextBox(updater);
  ExpectQuestion(question);
  EXPECT_EQ(TakeSnapshot(install.folder), before) << "files touched before the answer";
  ASSERT_TRUE(driver_.Click(question, IDYES));

  Box done = NextBox(updater);
  // Both mutexes are held until the last box is dismissed (ExpectBox).
  ExpectBox(done, kCompleted, kIconInformation, {IDOK}, IDOK);
  EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, 4, true));
  EXPECT_EQ(ReadFileText(install / "data2.arc"),
            AsText(RandomBytes(70000, 2)));  // the packed file itself
  ASSERT_TRUE(driver_.Click(done, IDOK));
  ExpectEndWithoutBox(updater, kExitOk);
}

TEST_F(UpdaterRunTest, AnythingButYesAtTheQuestionDeclinesAndTouchesNothing) {
  struct Answer {
    const char* what;
    std::function<bool(BoxDriver&, const Box&)> give;
  };
  const Answer answers[] = {
      {"Enter (No is the default)", [](BoxDriver& d, const Box& b) { return d.PressEnter(b); }},
      {"the No button", [](BoxDriver& d, const Box& b) { return d.Click(b, IDNO); }},
      {"no answer (0, as from a box that could not be shown)",
       [](BoxDriver& d, const Box& b) { return d.EndWith(b, 0); }},
      {"IDCANCEL", [](BoxDriver& d, const Box& b) { return d.EndWith(b, IDCANCEL); }},
  };
  for (const Answer& answer : answers) {
    SCOPED_TRACE(answer.what);
    Installation install;
    ASSERT_NO_FATAL_FAILURE(Register(install));
    Snapshot before = TakeSnapshot(install.folder);
    Process updater;
    ASSERT_TRUE(updater.Start(WritePatch(g_suite->patch)));
    Box question = NextBox(updater);
    ExpectQuestion(question);
    ASSERT_TRUE(answer.give(driver_, question));
    ExpectEndWithoutBox(updater, kExitDeclined);
    EXPECT_EQ(TakeSnapshot(install.folder), before);
  }
}

// Every failure of the update: its box after the Yes, its exit code, and
// what it leaves in the install folder.
TEST_F(UpdaterRunTest, EachUpdateFailureShowsItsBoxAndExitCode) {
  struct Failure {
    const char* what;
    // Damages the patch or the installation.
    std::function<void(Bytes* patch, const Installation& install)> prepare;
    DWORD code;
    const wchar_t* text;
    size_t written;  // entries written before the failure
  };
  const PatchLayout& layout = g_suite->layout;
  const Failure failures[] = {
      {"the updater alone, no package",
       [](Bytes* patch, const Installation&) { *patch = g_suite->stub; }, kPackageError,
       kPackageDamaged, 0},
      {"directory cut short",
       [](Bytes* patch, const Installation&) { patch->resize(kPackageOffset + 16 + 32 * 2); },
       kPackageError, kPackageDamaged, 0},
      {"an entry count of 17",
       [](Bytes* patch, const Installation&) { (*patch)[kPackageOffset + 12] = 17; }, kTooMany,
       kPackageDamaged, 0},
      // Every entry is verified before the first one is put in place.
      {"the second entry's data damaged",
       [&layout](Bytes* patch, const Installation&) { (*patch)[layout.DataAt(1) + 100] ^= 0x01; },
       kChecksum, kPackageDamaged, 0},
      {"the third entry's data damaged",
       [&layout](Bytes* patch, const Installation&) { (*patch)[layout.DataAt(2) + 5] ^= 0x01; },
       kChecksum, kPackageDamaged, 0},
      // A cut download: refused whole before anything is written, though
      // the entries before the cut are whole.
      {"the last entry cut short",
       [](Bytes* patch, const Installation&) { patch->pop_back(); }, kPackageError,
       kPackageDamaged, 0},
      {"cut inside the second entry",
       [&layout](Bytes* patch, const Installation&) { patch->resize(layout.DataAt(1) + 100); },
       kPackageError, kPackageDamaged, 0},
      // Names that Windows strips or opens as a device, in third place:
      // refused before the first two are written.
      {"con.arc in third place",
       [](Bytes* patch, const Installation&) { RenameEntry(patch, 2, "con.arc"); },
       kPackageError, kPackageDamaged, 0},
      {"evt.arc. in third place",
       [](Bytes* patch, const Installation&) { RenameEntry(patch, 2, "evt.arc."); },
       kPackageError, kPackageDamaged, 0},
      {"a folder where the second file should go",
       [](Bytes*, const Installation& install) { ASSERT_TRUE(MakeDir(install / "data2.arc")); },
       kWriteError, kWriteFailed, 0},
      // The package as a whole: its hash list, once and whole, naming every
      // file; no entry the uninstall list, no two entries one file.
      {"one bit off the hash list's name (QEN.hvm)",
       [](Bytes* patch, const Installation&) { RenameEntry(patch, 3, "QEN.hvm"); },
       kPackageError, kPackageDamaged, 0},
      {"one bit off the hash list's magic",
       [&layout](Bytes* patch, const Installation&) { (*patch)[layout.DataAt(3) + 1] ^= 0x01; },
       kPackageError, kPackageDamaged, 0},
      {"the hash list's records past its entry",
       [](Bytes* patch, const Installation&) {
         size_t sizeField = kPackageOffset + 16 + 32 * 3 + 20;
         (*patch)[sizeField] = static_cast<uint8_t>((*patch)[sizeField] - 1);
       },
       kPackageError, kPackageDamaged, 0},
      {"the uninstall list as an entry",
       [](Bytes* patch, const Installation&) { RenameEntry(patch, 2, "UNINST.LST"); },
       kPackageError, kPackageDamaged, 0},
      {"a second hash list",
       [](Bytes* patch, const Installation&) { RenameEntry(patch, 2, "qen.HVL"); },
       kPackageError, kPackageDamaged, 0},
      {"two entries that differ only in letter case",
       [](Bytes* patch, const Installation&) { RenameEntry(patch, 1, "DATA1.ARC"); },
       kPackageError, kPackageDamaged, 0},
      {"no uninstall list",
       [](Bytes*, const Installation& install) {
         ASSERT_TRUE(DeleteTestFile(install / "uninst.lst"));
       },
       kUninstallListError, kUninstallListFailed, 4},
  };
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.what);
    Installation install;
    ASSERT_NO_FATAL_FAILURE(Register(install));
    Bytes patch = g_suite->patch;
    ASSERT_NO_FATAL_FAILURE(failure.prepare(&patch, install));
    Snapshot before = TakeSnapshot(install.folder);
    std::wstring file = WritePatch(patch);

    // patchtool verify judges the patch as the updater does: it refuses
    // exactly the patches that the updater finds damaged, and passes those
    // that fail on the install.
    const wchar_t* twin = sizeof(void*) == 8 ? L" --test-twin-stub" : L"";
    std::string log = dir_ / "verify.log";
    long verdict = RunPatchtool(g_config.patchtool, L"verify" + std::wstring(twin) + L" \"" +
                                                        file + L"\"", log);
    EXPECT_EQ(failure.text == kPackageDamaged ? 1 : 0, verdict) << ReadFileText(log);

    Process updater;
    ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, file));
    Box box = NextBox(updater);
    ExpectWarning(box, failure.text);
    // Nothing is undone, and the list changes only on success.
    EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, failure.written, false));
    ASSERT_TRUE(driver_.Click(box, IDOK));
    ExpectEndWithoutBox(updater, failure.code);
  }
}

TEST_F(UpdaterRunTest, SecondCopyEndsAtOnceWithoutABoxAndTheFirstGoesOn) {
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  Snapshot before = TakeSnapshot(install.folder);
  std::wstring patch = WritePatch(g_suite->patch);

  Process first;
  ASSERT_TRUE(first.Start(patch));
  Box question = NextBox(first);
  ExpectQuestion(question);

  Process second;
  ASSERT_TRUE(second.Start(patch));
  DWORD start = GetTickCount();
  while (second.Running() && GetTickCount() - start < kTimeoutMs) {
    EXPECT_TRUE(FindBoxes(second.pid()).empty()) << "the second copy showed a box";
    Sleep(10);
  }
  DWORD code = 0;
  ASSERT_TRUE(second.WaitExit(0, &code)) << "the second copy did not end";
  EXPECT_EQ(code, kExitAlreadyRunning);

  // The first copy's question is still up, and it goes on as usual.
  EXPECT_TRUE(IsWindow(question.hwnd));
  EXPECT_EQ(TakeSnapshot(install.folder), before);
  ASSERT_TRUE(driver_.Click(question, IDYES));
  ASSERT_NO_FATAL_FAILURE(ExpectCompletion(first));
  EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, 4, true));
}

TEST_F(UpdaterRunTest, TakenUpdaterMutexEndsTheRunQuietly) {
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  HeldMutex other(kUpdaterMutex);
  ASSERT_TRUE(other.ok());
  Process updater;
  ASSERT_TRUE(updater.Start(WritePatch(g_suite->patch)));
  HWND box = driver_.WaitForBox(updater, kTimeoutMs);
  EXPECT_EQ(box, nullptr) << "a box appeared";
  DWORD code = 0;
  EXPECT_TRUE(updater.WaitExit(kTimeoutMs, &code));
  EXPECT_EQ(code, kExitAlreadyRunning);
  // It did not take the interpreter mutex on its way out either.
  EXPECT_FALSE(MutexExists(kInterpreterMutex));
}

// With the game running, the registry is not even read: no value is set,
// and still the game-running warning comes, not the not-installed one.
TEST_F(UpdaterRunTest, TakenInterpreterMutexGivesGameRunningWarning) {
  std::wstring patch = WritePatch(g_suite->patch);
  {
    HeldMutex game(kInterpreterMutex);
    ASSERT_TRUE(game.ok());
    Process updater;
    ASSERT_TRUE(updater.Start(patch));
    Box box = NextBox(updater);
    ExpectWarning(box, kGameRunning);
    EXPECT_TRUE(MutexExists(kUpdaterMutex));
    ASSERT_TRUE(driver_.Click(box, IDOK));
    DWORD code = 0;
    EXPECT_EQ(driver_.WaitForBox(updater, kTimeoutMs), nullptr) << "a question after the warning";
    ASSERT_TRUE(updater.WaitExit(kTimeoutMs, &code));
    EXPECT_EQ(code, kExitGameRunning);
    EXPECT_FALSE(MutexExists(kUpdaterMutex));
  }

  // Once the game has ended, the guard passes (and the missing registry
  // value is what stops the run now).
  Process again;
  ASSERT_TRUE(again.Start(patch));
  Box box = NextBox(again);
  ExpectWarning(box, kNotInstalled);
  ASSERT_TRUE(driver_.Click(box, IDOK));
  ExpectEndWithoutBox(again, kExitNotInstalled);
}

TEST_F(UpdaterRunTest, NoUsableInstallFolderGivesNotInstalledWarning) {
  struct Registry {
    const char* what;
    std::function<void(const Installation&)> set;
  };
  const Registry cases[] = {
      {"no key", [](const Installation&) {}},
      {"key without the value",
       [](const Installation&) {
         HKEY key;
         ASSERT_TRUE(CreateGameKey(kMachine32, &key));
         RegCloseKey(key);
       }},
      {"REG_EXPAND_SZ naming the folder",
       [](const Installation& i) { ASSERT_TRUE(SetInstalledFolder(kMachine32, REG_EXPAND_SZ, i.folder)); }},
      {"value under HKEY_CURRENT_USER only",
       [](const Installation& i) { ASSERT_TRUE(SetInstalledFolder(kUser, REG_SZ, i.folder)); }},
      {"value in the 64-bit view only",
       [](const Installation& i) { ASSERT_TRUE(SetInstalledFolder(kMachine64, REG_SZ, i.folder)); }},
      // Folders that would name wherever the updater happens to run.
      {"an empty value",
       [](const Installation&) { ASSERT_TRUE(SetInstalledFolder(kMachine32, REG_SZ, "")); }},
      {"a relative folder",
       [](const Installation&) { ASSERT_TRUE(SetInstalledFolder(kMachine32, REG_SZ, "game")); }},
      {"a folder relative to a drive's current folder",
       [](const Installation&) { ASSERT_TRUE(SetInstalledFolder(kMachine32, REG_SZ, "C:game")); }},
      {"a folder relative to the current drive's root",
       [](const Installation&) { ASSERT_TRUE(SetInstalledFolder(kMachine32, REG_SZ, "\\game")); }},
  };
  std::wstring patch = WritePatch(g_suite->patch);
  for (const Registry& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveGameKeys();
    Installation install;
    ASSERT_NO_FATAL_FAILURE(c.set(install));
    Snapshot before = TakeSnapshot(install.folder);
    Process updater;
    ASSERT_TRUE(updater.Start(patch));
    Box box = NextBox(updater);
    ExpectWarning(box, kNotInstalled);
    ASSERT_TRUE(driver_.Click(box, IDOK));
    ExpectEndWithoutBox(updater, kExitNotInstalled);
    EXPECT_EQ(TakeSnapshot(install.folder), before);
  }
}

TEST_F(UpdaterRunTest, ArgumentsAndShowModeChangeNothing) {
  struct Start {
    const wchar_t* arguments;
    int showMode;
  };
  const Start starts[] = {
      {L"/S /quiet --force", SW_HIDE},
      {L"\"C:\\Other Game\" -uninstall", SW_SHOWMINNOACTIVE},
  };
  for (const Start& s : starts) {
    SCOPED_TRACE(Utf8(s.arguments));
    Installation install;
    ASSERT_NO_FATAL_FAILURE(Register(install));
    Snapshot before = TakeSnapshot(install.folder);
    Process updater;
    ASSERT_TRUE(updater.Start(WritePatch(g_suite->patch), s.arguments, s.showMode));
    Box question = NextBox(updater);
    ExpectQuestion(question);
    ASSERT_TRUE(driver_.Click(question, IDYES));
    ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
    EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, 4, true));
  }
}

// Wherever the patch lies and whatever its name, it opens its own file:
// names outside the system's ANSI code page (Japanese ones on an English
// system, "José" on a Japanese one) included.
TEST_F(UpdaterRunTest, PatchOpensItselfWhateverItsPath) {
  const std::string names[] = {
      Narrow(L"修正パッチ.exe"),
      Narrow(L"José") + "\\patch.exe",
      Narrow(L"ミロセナ José") + "\\" + Narrow(L"修正パッチ ver1.01.exe"),
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    Installation install;
    ASSERT_NO_FATAL_FAILURE(Register(install));
    Snapshot before = TakeSnapshot(install.folder);
    size_t slash = name.rfind('\\');
    if (slash != std::string::npos) {
      ASSERT_TRUE(MakeDir(dir_ / name.substr(0, slash)));
    }
    Process updater;
    ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(g_suite->patch, name)));
    ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
    EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, 4, true));
  }
}

// The game's key as an ANSI installer on this system leaves it (named by the
// code page 932 bytes, read in this system's code page), with a folder that
// the ANSI code page can spell.
TEST_F(UpdaterRunTest, KeyOfAnAnsiInstallerIsFound) {
  Installation install("Velmora");
  ASSERT_TRUE(SetInstalledFolderAnsi(install.folder));
  Snapshot before = TakeSnapshot(install.folder);
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(g_suite->patch)));
  ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, 4, true));
}

// Entries with Japanese names (code page 932 in the package) become files
// of those names, in a subfolder too, whatever the system's code page; the
// uninstall list receives the stored bytes. Characters whose second byte is
// 0x5C ("ソ", "表", "能") are one character each, as Windows reads them, on
// a system whose code page is not 932 too.
TEST_F(UpdaterRunTest, JapaneseEntryNames) {
  const std::string data = "\x83\x66\x81\x5B\x83\x5E";  // "データ" in code page 932
  const std::string ability = "\x83\x41";                   // "ア"
  const std::string noh = "\x94\x5C";                        // "能", a folder
  const std::string so = "\x83\x5C.arc";                     // "ソ.arc"
  const std::string hyouji = "\x95\x5C\x8E\xA6\x90\xDD\x92\xE8.ini";  // "表示設定.ini"
  std::vector<FixtureEntry> entries = {{data + ".arc", ToBytes("japanese")},
                                       {data + "\\" + ability + ".txt", ToBytes("sub")},
                                       {noh + "\\" + so, ToBytes("so")},
                                       {noh + "\\" + hyouji, ToBytes("hyouji")}};
  Bytes patch = PatchOf(g_suite->stub, entries);

  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  ASSERT_TRUE(MakeDir(install / Narrow(L"データ")));
  ASSERT_TRUE(MakeDir(install / Narrow(L"能")));
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(patch)));
  ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  EXPECT_EQ("japanese", ReadFileText(install / Narrow(L"データ.arc")));
  EXPECT_EQ("sub", ReadFileText(install / (Narrow(L"データ") + "\\" + Narrow(L"ア.txt"))));
  EXPECT_EQ((std::vector<std::string>{Narrow(L"ソ.arc"), Narrow(L"表示設定.ini")}),
            ListDir(install / Narrow(L"能")));
  EXPECT_EQ("so", ReadFileText(install / (Narrow(L"能") + "\\" + Narrow(L"ソ.arc"))));
  EXPECT_EQ("hyouji", ReadFileText(install / (Narrow(L"能") + "\\" + Narrow(L"表示設定.ini"))));
  EXPECT_EQ(std::string(kOldList) + entries[0].name + "\n" + entries[1].name + "\n" +
                entries[2].name + "\n" + entries[3].name + "\nQEN.hvl\n" + std::string(1, '\0'),
            ReadFileText(install / "uninst.lst"));
}

// Names that are one file to Windows for letters beyond ASCII: the patch is
// refused as damaged before anything is written.
TEST_F(UpdaterRunTest, FullWidthCaseTwinsAreRefused) {
  const std::vector<FixtureEntry> entries = {
      {"\x82\x60\x82\x61\x82\x62.txt", ToBytes("upper")},   // "ＡＢＣ.txt"
      {"\x82\x81\x82\x82\x82\x83.txt", ToBytes("lower")}};  // "ａｂｃ.txt"
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  Snapshot before = TakeSnapshot(install.folder);
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(PatchOf(g_suite->stub, entries))));
  Box box = NextBox(updater);
  ExpectWarning(box, kPackageDamaged);
  EXPECT_EQ(TakeSnapshot(install.folder), before);
  ASSERT_TRUE(driver_.Click(box, IDOK));
  ExpectEndWithoutBox(updater, kPackageError);
}

// The releases of a game: file name and content.
using Release = std::map<std::string, std::string>;

Bytes ListOfRelease(const Release& release) {
  std::vector<FixtureRecord> records;
  for (const auto& file : release) records.push_back({file.first, StoredSum(ToBytes(file.second))});
  return BuildHashList(records);
}

// The patch from one release to the next: the files that changed, and the
// new release's whole list.
Bytes ReleasePatch(const Bytes& stub, const Release& from, const Release& to) {
  std::vector<FixtureEntry> entries;
  for (const auto& file : to) {
    auto old = from.find(file.first);
    if (old == from.end() || old->second != file.second) {
      entries.push_back({file.first, ToBytes(file.second)});
    }
  }
  entries.push_back({"QEN.hvl", ListOfRelease(to)});
  return PatchOf(stub, entries, false);
}

// A patch made for another release than the one installed (a skipped
// release, part 2 of a split before part 1) is refused with its own box and
// exit code, nothing changed; in order, and run twice, patches pass.
TEST_F(UpdaterRunTest, PatchOfAnotherReleaseIsRefused) {
  const Release v100 = {{"a.arc", "a 1.00"}, {"b.arc", "b 1.00"}, {"c.arc", "c 1.00"}};
  const Release v101 = {{"a.arc", "a 1.01"}, {"b.arc", "b 1.00"}, {"c.arc", "c 1.00"}};
  const Release v102 = {{"a.arc", "a 1.01"}, {"b.arc", "b 1.02"}, {"c.arc", "c 1.00"}};
  const Bytes patch101 = ReleasePatch(g_suite->stub, v100, v101);
  const Bytes patch102 = ReleasePatch(g_suite->stub, v101, v102);
  Installation install("Velmora");
  ASSERT_NO_FATAL_FAILURE(Register(install));
  for (const auto& file : v100) ASSERT_TRUE(WriteFileText(install / file.first, file.second));
  ASSERT_TRUE(WriteFileBytes(install / "QEN.hvl", ListOfRelease(v100)));

  // 1.02's patch on 1.00: 1.01's change to a.arc is missing.
  ASSERT_NO_FATAL_FAILURE(ExpectWrongRelease(WritePatch(patch102), install.folder));
  // In order, 1.01's patch twice, then 1.02's.
  for (const Bytes* patch : {&patch101, &patch101, &patch102}) {
    Process updater;
    ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(*patch)));
    ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  }
  for (const auto& file : v102) EXPECT_EQ(file.second, ReadFileText(install / file.first));
  EXPECT_EQ(AsText(ListOfRelease(v102)), ReadFileText(install / "QEN.hvl"));

  // A split of 1.02 to 1.03: part 2 before part 1 is refused, nothing
  // changed; in order, both pass.
  const Release half = {{"a.arc", "a 1.03"}, {"b.arc", "b 1.02"}, {"c.arc", "c 1.00"}};
  const Release v103 = {{"a.arc", "a 1.03"}, {"b.arc", "b 1.03"}, {"c.arc", "c 1.00"}};
  const Bytes part1 = ReleasePatch(g_suite->stub, v102, half);
  const Bytes part2 = ReleasePatch(g_suite->stub, half, v103);
  ASSERT_NO_FATAL_FAILURE(
      ExpectWrongRelease(WritePatch(part2, "patch-2of2.exe"), install.folder));
  for (const Bytes* patch : {&part1, &part2}) {
    Process updater;
    ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(*patch)));
    ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  }
  for (const auto& file : v103) EXPECT_EQ(file.second, ReadFileText(install / file.first));
}

// Without a hash list of its own that loads (none, or one bit off its
// magic), the install is known by its files: 1.02's patch on the files of
// 1.00 is refused, nothing changed; 1.01's patch goes in.
TEST_F(UpdaterRunTest, ReleaseWithoutAListIsKnownByItsFiles) {
  const Release v100 = {{"a.arc", "a 1.00"}, {"b.arc", "b 1.00"}, {"c.arc", "c 1.00"}};
  const Release v101 = {{"a.arc", "a 1.01"}, {"b.arc", "b 1.00"}, {"c.arc", "c 1.00"}};
  const Release v102 = {{"a.arc", "a 1.01"}, {"b.arc", "b 1.02"}, {"c.arc", "c 1.00"}};
  for (bool damagedList : {false, true}) {
    SCOPED_TRACE(damagedList ? "a damaged list" : "no list");
    Installation install("Velmora");
    ASSERT_NO_FATAL_FAILURE(Register(install));
    for (const auto& file : v100) ASSERT_TRUE(WriteFileText(install / file.first, file.second));
    if (damagedList) {
      Bytes list = ListOfRelease(v100);
      list[0] ^= 0x01;
      ASSERT_TRUE(WriteFileBytes(install / "QEN.hvl", list));
    }
    ASSERT_NO_FATAL_FAILURE(ExpectWrongRelease(
        WritePatch(ReleasePatch(g_suite->stub, v101, v102)), install.folder));
    Process updater;
    ASSERT_NO_FATAL_FAILURE(
        StartAndAgree(updater, WritePatch(ReleasePatch(g_suite->stub, v100, v101))));
    ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
    for (const auto& file : v101) EXPECT_EQ(file.second, ReadFileText(install / file.first));
  }
}

// The mark of a patch in the names of the update's own files: the mix of
// the reference checksum of its hash list's records, in 8 hexadecimal
// digits; and the journal that an interrupted update leaves, written here
// byte for byte.
std::string MarkOfList(const Bytes& list) {
  Bytes sum = SumBytes(Bytes(list.begin() + 16, list.end()));
  char text[9];
  snprintf(text, sizeof text, "%02x%02x%02x%02x", sum[3], sum[2], sum[1], sum[0]);
  return text;
}

Bytes JournalOf(const Bytes& list, const std::string& target, const std::string& kept) {
  Bytes out = ToBytes("VLMRJRN1");
  Bytes sum = SumBytes(Bytes(list.begin() + 16, list.end()));
  out.insert(out.end(), sum.begin(), sum.end());
  AppendLe32(&out, 1);
  out.push_back(0);  // entry 0
  out.push_back(1);  // its target held a file
  AppendLe32(&out, FILE_ATTRIBUTE_ARCHIVE);
  for (const std::string& text :
       {target, "~velmora-" + MarkOfList(list) + "-new-0.tmp", kept, std::string()}) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
  }
  return out;
}

// An update interrupted after it moved a game file aside (as a power cut
// leaves it, on a volume without hard links): another patch for the same
// release is refused, nothing changed and nothing of the interrupted
// update's removed; the interrupted patch, run again, puts the old file
// back first and completes.
TEST_F(UpdaterRunTest, InterruptedUpdateIsRecoveredOnlyByItsOwnPatch) {
  const Release v100 = {{"a.arc", "a 1.00"}, {"b.arc", "b 1.00"}};
  const Release v101 = {{"a.arc", "a 1.01"}, {"b.arc", "b 1.00"}};
  const Release other = {{"a.arc", "a 1.00"}, {"b.arc", "b 1.01"}};
  const Bytes patch = ReleasePatch(g_suite->stub, v100, v101);
  const Bytes list = ListOfRelease(v101);
  Installation install("Velmora");
  ASSERT_NO_FATAL_FAILURE(Register(install));
  const std::string kept = "~velmora-" + MarkOfList(list) + "-old-0.tmp";
  ASSERT_TRUE(WriteFileText(install / "b.arc", "b 1.00"));
  ASSERT_TRUE(WriteFileText(install / kept, "a 1.00"));  // a.arc aside, its place empty
  ASSERT_TRUE(WriteFileBytes(install / "QEN.hvl", ListOfRelease(v100)));
  ASSERT_TRUE(WriteFileBytes(install / "~vl.upd", JournalOf(list, "a.arc", kept)));
  ASSERT_NO_FATAL_FAILURE(ExpectWrongRelease(
      WritePatch(ReleasePatch(g_suite->stub, v100, other)), install.folder));
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(patch)));
  ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  Snapshot after = TakeSnapshot(install.folder);
  EXPECT_EQ(AsText(list), after["QEN.hvl"]);
  after.erase("QEN.hvl");
  after.erase("uninst.lst");
  EXPECT_EQ((Snapshot{{"Data1.arc", "old archive"}, {"a.arc", "a 1.01"}, {"b.arc", "b 1.00"},
                      {"game.exe", "the game"}}),
            after);
}

// On a code page 1252 Windows, a game file that an ANSI installer named
// from the byte B1 is "\xC2\xB1.txt", which is also the code page 932 reading
// of the bytes 81 7D: two files of the patch would be that one file. The
// write-failed box, nothing changed. On a Japanese Windows they are two
// files, and both are written.
TEST_F(UpdaterRunTest, NamesThatMeetAsTheInstallReadsThemAreRefused) {
  Installation install("Velmora");  // a folder that the ANSI functions can name
  ASSERT_NO_FATAL_FAILURE(Register(install));
  HANDLE h = CreateFileA((install.folder + "\\\xB1.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  Snapshot before = TakeSnapshot(install.folder);
  Bytes patch = PatchOf(g_suite->stub, {{"\xB1.txt", ToBytes("half-width a")},
                                        {"\x81\x7D.txt", ToBytes("plus-minus")}});
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(patch)));
  if (GetACP() == 932) {
    ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
    EXPECT_EQ("plus-minus", ReadFileText(install / "\xC2\xB1.txt"));
    return;
  }
  Box box = NextBox(updater);
  ExpectWarning(box, kWriteFailed);
  EXPECT_EQ(TakeSnapshot(install.folder), before);
  ASSERT_TRUE(driver_.Click(box, IDOK));
  ExpectEndWithoutBox(updater, kWriteError);
}

// The second of three files stays held by another program for ten seconds,
// far past the updater's retries: the first, already replaced, is put back,
// and the game is as it was, with the write-failed box.
TEST_F(UpdaterRunTest, FailedReplacementPutsBackWhatWasReplaced) {
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  ASSERT_TRUE(WriteFileText(install / "data2.arc", "old data2"));
  ASSERT_TRUE(SetReadOnly(install / "Data1.arc", true));
  Snapshot before = TakeSnapshot(install.folder);
  FileHolder holder;
  ASSERT_TRUE(holder.Hold(install / "data2.arc"));  // the second entry's target
  Process updater;
  ASSERT_TRUE(updater.Start(WritePatch(g_suite->patch)));
  Box question = NextBox(updater);
  ExpectQuestion(question);
  ASSERT_TRUE(holder.ReleaseAfter(10000));
  ASSERT_TRUE(driver_.Click(question, IDYES));
  Box box = NextBox(updater);
  ExpectWarning(box, kWriteFailed);
  EXPECT_EQ(TakeSnapshot(install.folder), before);
  EXPECT_TRUE(IsReadOnly(install / "Data1.arc"));
  ASSERT_TRUE(driver_.Click(box, IDOK));
  ExpectEndWithoutBox(updater, kWriteError);
  SetReadOnly(install / "Data1.arc", false);
}

// A folder of the game that is a link to a folder elsewhere, and a file
// named by its 8.3 alias: the updater runs elevated, so neither may lead a
// write anywhere but to the file meant. The write-failed box, nothing
// changed inside or outside the game's folder.
TEST_F(UpdaterRunTest, LinkedFolderAndShortAliasChangeNothing) {
  TempDir outside;
  ASSERT_TRUE(WriteFileText(outside / "a.dat", "not the game's"));
  struct Case {
    const char* what;
    // Prepares the install; returns the entry's stored name.
    std::function<std::string(const Installation&)> prepare;
  } const cases[] = {
      {"a linked folder",
       [&](const Installation& install) {
         EXPECT_TRUE(MakeSymbolicLink(install / "data", outside.path()));
         return std::string("data\\a.dat");
       }},
      {"a short alias",
       [&](const Installation& install) {
         EXPECT_TRUE(WriteFileText(install / "longfilename.arc", "the long one"));
         wchar_t alias[MAX_PATH];
         DWORD n = GetShortPathNameW(Widen(install / "longfilename.arc").c_str(), alias, MAX_PATH);
         EXPECT_GT(n, 0u);
         std::string path = Narrow(alias);
         std::string name = path.substr(path.rfind('\\') + 1);
         EXPECT_NE("longfilename.arc", name) << "no 8.3 alias here";
         return name;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation install;
    ASSERT_NO_FATAL_FAILURE(Register(install));
    std::string name = c.prepare(install);
    ASSERT_FALSE(name.empty());
    Snapshot before = TakeSnapshot(install.folder);
    Snapshot outsideBefore = TakeSnapshot(outside.path());
    Bytes patch = PatchOf(g_suite->stub, {{"first.dat", ToBytes("1")}, {name, ToBytes("new")}});
    Process updater;
    ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(patch)));
    Box box = NextBox(updater);
    ExpectWarning(box, kWriteFailed);
    EXPECT_EQ(TakeSnapshot(install.folder), before);
    EXPECT_EQ(TakeSnapshot(outside.path()), outsideBefore);
    ASSERT_TRUE(driver_.Click(box, IDOK));
    ExpectEndWithoutBox(updater, kWriteError);
    RemoveSymbolicLink(install / "data");
  }
}

// A hidden uninstall list (and hidden game files) are replaced and stay
// hidden.
TEST_F(UpdaterRunTest, HiddenListIsExtendedAndStaysHidden) {
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  for (const char* name : {"uninst.lst", "Data1.arc"}) {
    ASSERT_TRUE(SetFileAttributesW(Widen(install / name).c_str(), FILE_ATTRIBUTE_HIDDEN));
  }
  Snapshot before = TakeSnapshot(install.folder);
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(g_suite->patch)));
  ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, 4, true));
  for (const char* name : {"uninst.lst", "Data1.arc"}) {
    DWORD attributes = GetFileAttributesW(Widen(install / name).c_str());
    EXPECT_NE(0u, attributes & FILE_ATTRIBUTE_HIDDEN) << name;
    SetFileAttributesW(Widen(install / name).c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// Another program holds a game file, as a virus scanner does for a moment
// (one second) or a program that does not let go (ten seconds, far past the
// updater's two seconds of retries): the first only delays the update; the
// second ends it with the write-failed box, the file, the rest of the game
// and the list as they were, and no temporary file left.
TEST_F(UpdaterRunTest, HeldGameFileDelaysOrFailsTheUpdate) {
  for (DWORD heldMs : {1000, 10000}) {
    const bool letGo = heldMs == 1000;
    SCOPED_TRACE(heldMs);
    Installation install;
    ASSERT_NO_FATAL_FAILURE(Register(install));
    Snapshot before = TakeSnapshot(install.folder);
    FileHolder holder;
    ASSERT_TRUE(holder.Hold(install / "Data1.arc"));  // the first entry's target
    Process updater;
    ASSERT_TRUE(updater.Start(WritePatch(g_suite->patch)));
    Box question = NextBox(updater);
    ExpectQuestion(question);
    ASSERT_TRUE(holder.ReleaseAfter(heldMs));
    ASSERT_TRUE(driver_.Click(question, IDYES));
    if (letGo) {
      ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
      EXPECT_EQ(TakeSnapshot(install.folder), ExpectedAfter(before, 4, true));
      continue;
    }
    Box box = NextBox(updater);
    ExpectWarning(box, kWriteFailed);
    EXPECT_EQ(TakeSnapshot(install.folder), before);
    ASSERT_TRUE(driver_.Click(box, IDOK));
    ExpectEndWithoutBox(updater, kWriteError);
    EXPECT_EQ(TakeSnapshot(install.folder), before);
  }
}

// A game installed by an ANSI installer names its files by the code page
// 932 bytes read in the system's ANSI code page (on an English system
// "マップ.arc" is "ƒ}ƒbƒv.arc"), and the game, an ANSI program, opens them
// so: that file is the one replaced, and no second file appears. On a
// Japanese system both names are one.
TEST_F(UpdaterRunTest, GameFileOfAnAnsiInstallerIsReplaced) {
  const std::string map = "\x83\x7D\x83\x62\x83\x76.arc";  // "マップ.arc"
  std::vector<FixtureEntry> entries = {{map, ToBytes("new map")}};
  ContentSum sum;
  ReferenceContentSum(&sum, entries[0].data.data(), static_cast<uint32_t>(entries[0].data.size()));
  entries.push_back({"qen.hvl", BuildHashList({{map, {static_cast<uint8_t>(sum.mix),
                                                      static_cast<uint8_t>(sum.mix >> 8),
                                                      static_cast<uint8_t>(sum.mix >> 16),
                                                      static_cast<uint8_t>(sum.mix >> 24),
                                                      sum.mixSum, sum.mixXor, sum.byteSum,
                                                      sum.byteXor}}})});
  Bytes patch = BuildPackage(entries);
  std::copy(g_suite->stub.begin(), g_suite->stub.end(), patch.begin());

  Installation install("Velmora");  // a folder name that every code page spells
  ASSERT_NO_FATAL_FAILURE(Register(install));
  HANDLE made = CreateFileA((install.folder + "\\" + map).c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(made, "old map", 7, &written, nullptr));
  CloseHandle(made);
  Snapshot before = TakeSnapshot(install.folder);
  std::string gameFile;
  for (const auto& file : before) {
    if (file.second == "old map") gameFile = file.first;
  }
  ASSERT_FALSE(gameFile.empty());

  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(patch)));
  ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  Snapshot after = before;
  after[gameFile] = "new map";
  after["qen.hvl"] = AsText(entries[1].data);
  after["uninst.lst"] = std::string(kOldList) + map + "\nqen.hvl\n" + std::string(1, '\0');
  EXPECT_EQ(TakeSnapshot(install.folder), after);
}

// A link planted at the updater's temporary name, to a file outside the
// game's folder: that file stays as it was, and the update completes.
TEST_F(UpdaterRunTest, PlantedLinkAtTheTemporaryNameChangesNothingOutside) {
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  TempDir outside;
  ASSERT_TRUE(WriteFileText(outside / "victim.dat", "not the game's"));
  ASSERT_TRUE(MakeSymbolicLink(install / "~velmora-update-0.tmp", outside / "victim.dat"));
  Snapshot before = TakeSnapshot(install.folder);
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(g_suite->patch)));
  ASSERT_NO_FATAL_FAILURE(ExpectCompletion(updater));
  EXPECT_EQ(TakeSnapshot(outside.path()), (Snapshot{{"victim.dat", "not the game's"}}));
  Snapshot after = TakeSnapshot(install.folder);
  after.erase("~velmora-update-0.tmp");  // Wine shows a link it could not remove as its file
  Snapshot expected = ExpectedAfter(before, 4, true);
  expected.erase("~velmora-update-0.tmp");
  EXPECT_EQ(after, expected);
  EXPECT_TRUE(RemoveSymbolicLink(install / "~velmora-update-0.tmp"));
}

// Another program that keeps opening the first file's staged copy while the
// next, larger file is staged, to write into it (the game would then get
// bytes that were never checked): the updater holds each staged file,
// shared with nobody, from its creation until it has taken its place, so
// every open is refused, and the game gets the patch's own files.
struct StagedFileProber {
  std::wstring path;
  volatile LONG stop = 0;
  LONG opened = 0;   // opens that got through (each wrote into the file)
  LONG refused = 0;  // opens refused for sharing

  static DWORD WINAPI Run(void* context) {
    StagedFileProber* self = static_cast<StagedFileProber*>(context);
    while (InterlockedCompareExchange(&self->stop, 0, 0) == 0) {
      HANDLE file = CreateFileW(self->path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, "planted", 7, &written, nullptr);
        CloseHandle(file);
        ++self->opened;
      } else if (GetLastError() == ERROR_SHARING_VIOLATION) {
        ++self->refused;
      }
    }
    return 0;
  }
};

TEST_F(UpdaterRunTest, StagedFileCannotBeOpenedByAnotherProgram) {
  const std::vector<FixtureEntry> files = {{"Data1.arc", RandomBytes(5000, 7)},
                                           {"big.arc", RandomBytes(24u << 20, 8)}};
  std::vector<FixtureRecord> records;
  for (const FixtureEntry& e : files) records.push_back({e.name, StoredSum(e.data)});
  const Bytes list = BuildHashList(records);
  Installation install;
  ASSERT_NO_FATAL_FAILURE(Register(install));
  StagedFileProber prober;
  prober.path = Widen(install / ("~velmora-" + MarkOfList(list) + "-new-0.tmp"));
  Process updater;
  ASSERT_NO_FATAL_FAILURE(StartAndAgree(updater, WritePatch(PatchOf(g_suite->stub, files))));
  HANDLE thread = CreateThread(nullptr, 0, &StagedFileProber::Run, &prober, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ExpectCompletion(updater);
  InterlockedExchange(&prober.stop, 1);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(0, prober.opened) << "another program opened the staged file and wrote into it";
  EXPECT_LT(0, prober.refused) << "the staged file was never met";
  Bytes data;
  ASSERT_TRUE(ReadFileBytes(install / "Data1.arc", &data));
  EXPECT_TRUE(data == files[0].data) << "Data1.arc is not the patch's";
  EXPECT_EQ(static_cast<int64_t>(files[1].data.size()), FileSize(install / "big.arc"));
}

}  // namespace
