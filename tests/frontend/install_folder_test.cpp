// ReadInstallFolder against the registry of the test's Wine prefix. The
// tests write the game's key and value themselves: the key by its Unicode
// name (as a Unicode installer does) or by its code page 932 bytes through
// the ANSI functions (as an ANSI installer does, whose bytes the system
// reads in its own code page); the value through the wide functions where
// exact character counts matter, and through the ANSI ones as an ANSI
// installer on a Japanese system writes it. The same tests run under the
// Japanese and the English locale.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "frontend/front_end.h"
#include "frontend/texts.h"

namespace {

const wchar_t kMakerPath[] = L"Software\\Quillory";
const wchar_t kGamePath[] = L"Software\\Quillory\\ミロセナ";

// The key as a test wants it: which root, and which registry view (the
// game's 32-bit installer writes the 32-bit view, Wow6432Node).
struct Place {
  HKEY root;
  REGSAM view;
};
const Place kMachine32 = {HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY};
const Place kMachine64 = {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY};
const Place kUser = {HKEY_CURRENT_USER, 0};

void RemoveGameKeys() {
  // The product key by its Unicode name, and by its ANSI name (another key
  // where the system's code page is not 932).
  const std::string ansiGamePath = std::string("Software\\Quillory\\") + kProductKeyName;
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kGamePath, view, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, ansiGamePath.c_str(), view, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kMakerPath, view, 0);
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, kGamePath);
  RegDeleteKeyW(HKEY_CURRENT_USER, kMakerPath);
}

bool CreateGameKey(const Place& place, HKEY* key) {
  return RegCreateKeyExW(place.root, kGamePath, 0, nullptr, 0, KEY_ALL_ACCESS | place.view,
                         nullptr, key, nullptr) == ERROR_SUCCESS;
}

// Stores the value's bytes exactly as given (through the ANSI function, so
// the bytes are code page 932 text).
bool SetValueBytes(const Place& place, DWORD type, const std::string& bytes) {
  HKEY key;
  if (!CreateGameKey(place, &key)) return false;
  // The registry counts a NUL right behind a string's bytes in (as Windows
  // does, for callers that forgot it); a guard byte there keeps a value
  // without terminator as it is.
  std::string guarded = bytes + "X";
  LONG status = RegSetValueExA(key, "InstalledFolder", 0, type,
                               reinterpret_cast<const BYTE*>(guarded.data()),
                               static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// Stores a string value with its terminator, through the wide function.
bool SetValueText(const Place& place, DWORD type, const std::wstring& text) {
  HKEY key;
  if (!CreateGameKey(place, &key)) return false;
  LONG status = RegSetValueExW(key, L"InstalledFolder", 0, type,
                               reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

std::string ToCp932(const std::wstring& text) {
  int n = WideCharToMultiByte(932, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(932, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n) - 1);
  return out;
}

class InstallFolderTest : public testing::Test {
 protected:
  void SetUp() override { RemoveGameKeys(); }
  void TearDown() override { RemoveGameKeys(); }

  // Runs the lookup as the updater does, into a buffer that holds no
  // terminator beforehand.
  int Lookup(const char* maker = kMakerKeyName, const char* product = kProductKeyName) {
    std::memset(folder_, 0x7F, sizeof folder_);
    return ReadInstallFolder(folder_, maker, product);
  }
  // The folder found, or a marker when the buffer holds no terminator.
  std::string Folder() const {
    const void* end = std::memchr(folder_, '\0', sizeof folder_);
    if (end == nullptr) return "<not terminated>";
    return std::string(folder_, static_cast<const char*>(end));
  }

  char folder_[kInstallFolderSize + 16];  // slack to see writes past the buffer
};

struct ValueCase {
  const char* what;
  DWORD type;
  std::wstring units;  // stored as they are, terminator or not
  bool found;
  std::string folder;  // UTF-8, when found
};

std::string Repeat(const std::string& unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// Stores the value's UTF-16 units exactly as given.
bool SetValueUnits(const Place& place, DWORD type, const std::wstring& units) {
  HKEY key;
  if (!CreateGameKey(place, &key)) return false;
  // The registry counts a NUL right behind a string's bytes in (as Windows
  // does, for callers that forgot it); a guard unit there keeps a value
  // without terminator as it is.
  std::wstring guarded = units + L"X";
  LONG status = RegSetValueExW(key, L"InstalledFolder", 0, type,
                               reinterpret_cast<const BYTE*>(guarded.data()),
                               static_cast<DWORD>(units.size() * sizeof(wchar_t)));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// The limit counts characters (UTF-16 units), not bytes: 259 of them and
// the terminator, whatever their code page 932 or UTF-8 length.
TEST_F(InstallFolderTest, ValueTypeLengthAndTerminatorDecide) {
  using std::wstring;
  const wstring z(1, L'\0');
  const wstring a259 = L"C:\\" + wstring(256, L'a');  // 259 characters
  const std::string a259Utf8 = "C:\\" + std::string(256, 'a');
  const wstring ka256 = wstring(256, L'\u30A2');  // "ア" x 256
  const std::string ka256Utf8 = Repeat("\xE3\x82\xA2", 256);
  const ValueCase cases[] = {
      {"plain folder", REG_SZ, L"C:\\Games\\Velmora" + z, true, "C:\\Games\\Velmora"},
      {"trailing backslash kept", REG_SZ, L"C:\\Games\\Velmora\\" + z, true,
       "C:\\Games\\Velmora\\"},
      {"empty string", REG_SZ, z, false, ""},
      {"259 characters and terminator", REG_SZ, a259 + z, true, a259Utf8},
      {"260 characters and terminator", REG_SZ, a259 + L"b" + z, false, ""},
      {"stored without terminator", REG_SZ, L"C:\\Games", true, "C:\\Games"},
      {"259 characters without terminator", REG_SZ, a259, true, a259Utf8},
      {"260 characters without terminator", REG_SZ, a259 + L"b", false, ""},
      {"no bytes at all", REG_SZ, L"", false, ""},
      {"259 characters, 256 of them Japanese (771 bytes in UTF-8)", REG_SZ,
       L"C:\\" + ka256 + z, true, "C:\\" + ka256Utf8},
      {"260 characters, 256 of them Japanese", REG_SZ, L"C:\\d" + ka256 + z, false, ""},
      {"REG_EXPAND_SZ naming an existing folder", REG_EXPAND_SZ, L"C:\\windows" + z, false, ""},
      {"REG_MULTI_SZ", REG_MULTI_SZ, L"C:\\Games" + z + z, false, ""},
      {"REG_BINARY", REG_BINARY, L"C:\\Games" + z, false, ""},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveGameKeys();
    ASSERT_TRUE(SetValueUnits(kMachine32, c.type, c.units));
    EXPECT_EQ(Lookup(), c.found ? 1 : 0);
    if (c.found) {
      EXPECT_EQ(Folder(), c.folder);
    }
  }
}

// Only an absolute folder counts: one that is empty, relative, relative to
// a drive's current folder or to the current drive's root would put the
// game's files wherever the updater happens to run.
TEST_F(InstallFolderTest, OnlyAnAbsoluteFolderCounts) {
  struct Case {
    const wchar_t* value;
    bool found;
  } const cases[] = {
      {L"", false},
      {L"game", false},
      {L"Games\\Velmora", false},
      {L"C:game", false},
      {L"C:", false},
      {L"\\game", false},
      {L"/game", false},
      {L"\\\\", false},
      {L"\\\\\\share", false},
      {L"1:\\game", false},
      {L"C:\\", true},
      {L"c:/Games/Velmora", true},
      {L"Z:\\Games\\Velmora", true},
      {L"\\\\server\\share\\Velmora", true},
      {L"//server/share", true},
  };
  for (const Case& c : cases) {
    const std::string value(c.value, c.value + std::wcslen(c.value));  // ASCII
    SCOPED_TRACE(value);
    RemoveGameKeys();
    ASSERT_TRUE(SetValueText(kMachine32, REG_SZ, c.value));
    EXPECT_EQ(Lookup(), c.found ? 1 : 0);
    if (c.found) {
      EXPECT_EQ(Folder(), value);
    }
  }
}

// A Japanese folder arrives whole, as UTF-8, whatever the system's code
// page: one that a Unicode installer wrote, and (on a Japanese system, where
// such an installer can spell it) one that an ANSI installer wrote.
TEST_F(InstallFolderTest, JapaneseFolderArrivesWhole) {
  const std::string utf8 = "C:\\\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0\\\xE3\x83\x9F\xE3"
                           "\x83\xAD\xE3\x82\xBB\xE3\x83\x8A\\";  // C:\ゲーム\ミロセナ\ (UTF-8)
  ASSERT_TRUE(SetValueText(kMachine32, REG_SZ, L"C:\\ゲーム\\ミロセナ\\"));
  ASSERT_EQ(Lookup(), 1);
  EXPECT_EQ(Folder(), utf8);
  if (GetACP() == 932) {
    RemoveGameKeys();
    ASSERT_TRUE(SetValueBytes(kMachine32, REG_SZ, ToCp932(L"C:\\ゲーム\\ミロセナ\\") + '\0'));
    ASSERT_EQ(Lookup(), 1);
    EXPECT_EQ(Folder(), utf8);
  }
}

// The key is found by whichever name the game's installer gave it: by its
// Unicode name, or by the code page 932 bytes read in the system's code
// page (on an English system: other characters than "ミロセナ").
TEST_F(InstallFolderTest, KeyByItsUnicodeOrItsAnsiName) {
  for (bool ansi : {false, true}) {
    SCOPED_TRACE(ansi ? "key created through the ANSI functions" : "key created by its Unicode name");
    RemoveGameKeys();
    HKEY key = nullptr;
    const std::string ansiPath = std::string("Software\\Quillory\\") + kProductKeyName;
    LONG status =
        ansi ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, ansiPath.c_str(), 0, nullptr, 0,
                               KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr)
             : RegCreateKeyExW(HKEY_LOCAL_MACHINE, kGamePath, 0, nullptr, 0,
                               KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr);
    ASSERT_EQ(status, ERROR_SUCCESS);
    const wchar_t folder[] = L"C:\\Velmora";
    ASSERT_EQ(RegSetValueExW(key, L"InstalledFolder", 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(folder), sizeof folder),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Lookup(), 1);
    EXPECT_EQ(Folder(), "C:\\Velmora");
    // Both names are the same key on a Japanese system only.
    HKEY unicodeKey = nullptr;
    bool unicodeExists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGamePath, 0,
                                       KEY_READ | KEY_WOW64_32KEY, &unicodeKey) == ERROR_SUCCESS;
    if (unicodeExists) RegCloseKey(unicodeKey);
    EXPECT_EQ(unicodeExists, !ansi || GetACP() == 932);
  }
}

TEST_F(InstallFolderTest, NoKeyOrNoValueIsNotFound) {
  EXPECT_EQ(Lookup(), 0);
  HKEY key;
  ASSERT_TRUE(CreateGameKey(kMachine32, &key));
  RegSetValueExW(key, L"OtherValue", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"C:\\x"), 10);
  RegCloseKey(key);
  EXPECT_EQ(Lookup(), 0);
}

// Only the machine-wide key in the 32-bit view counts, whatever the bitness
// of the program that looks (the x86_64 twin reads the same view).
TEST_F(InstallFolderTest, OnlyTheMachineKeyOfThe32BitViewIsRead) {
  ASSERT_TRUE(SetValueText(kUser, REG_SZ, L"C:\\User"));
  EXPECT_EQ(Lookup(), 0) << "value under HKEY_CURRENT_USER only";

  ASSERT_TRUE(SetValueText(kMachine64, REG_SZ, L"C:\\Sixty-four"));
  EXPECT_EQ(Lookup(), 0) << "value in the 64-bit view only";

  ASSERT_TRUE(SetValueText(kMachine32, REG_SZ, L"C:\\Thirty-two"));
  ASSERT_EQ(Lookup(), 1);
  EXPECT_EQ(Folder(), "C:\\Thirty-two");

  // The 32-bit view is the redirected Wow6432Node.
  HKEY node;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Quillory\\ミロセナ", 0,
                          KEY_READ | KEY_WOW64_64KEY, &node),
            ERROR_SUCCESS);
  RegCloseKey(node);
}

TEST_F(InstallFolderTest, NullOrOverlongNamesFailWithoutTouchingTheBuffer) {
  ASSERT_TRUE(SetValueText(kMachine32, REG_SZ, L"C:\\Games"));
  EXPECT_EQ(Lookup(nullptr, kProductKeyName), 0);
  EXPECT_EQ(Folder(), "<not terminated>");
  EXPECT_EQ(Lookup(kMakerKeyName, nullptr), 0);
  EXPECT_EQ(Folder(), "<not terminated>");
  // A key path longer than its 4096-byte buffer is refused, not cut short.
  const std::string longName(5000, 'q');
  EXPECT_EQ(Lookup(kMakerKeyName, longName.c_str()), 0);
  EXPECT_EQ(Folder(), "<not terminated>");
  // The same names as the updater passes find the value.
  EXPECT_EQ(Lookup(), 1);
}

}  // namespace
