// ReadInstallFolder against the registry of the test's Wine prefix. The
// tests write the game's value themselves, through the wide registry
// functions where the key name matters (so that the code page 932 bytes of
// the product name are checked against the Unicode name) and through the
// ANSI ones where exact byte counts matter.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
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
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kGamePath, view, 0);
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

  char folder_[kInstallFolderSize + 16];  // slack to see writes past the 260
};

struct ValueCase {
  const char* what;
  DWORD type;
  std::string bytes;  // stored as they are, terminator or not
  bool found;
  std::string folder;  // when found
};

std::string Repeat(const std::string& unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

TEST_F(InstallFolderTest, ValueTypeLengthAndTerminatorDecide) {
  using std::string;
  const string z(1, '\0');
  const string a259 = "C:\\" + string(256, 'a');  // 259 bytes
  const string ka129 = Repeat("\x83\x41", 129);   // "ア" x 129: 258 bytes
  const ValueCase cases[] = {
      {"plain folder", REG_SZ, "C:\\Games\\Velmora" + z, true, "C:\\Games\\Velmora"},
      {"trailing backslash kept", REG_SZ, "C:\\Games\\Velmora\\" + z, true, "C:\\Games\\Velmora\\"},
      {"empty string", REG_SZ, z, true, ""},
      {"259 bytes and terminator", REG_SZ, a259 + z, true, a259},
      {"260 bytes and terminator", REG_SZ, a259 + "b" + z, false, ""},
      {"stored without terminator", REG_SZ, "C:\\Games", true, "C:\\Games"},
      {"259 bytes without terminator", REG_SZ, a259, true, a259},
      {"260 bytes without terminator", REG_SZ, a259 + "b", false, ""},
      {"no bytes at all", REG_SZ, "", true, ""},
      {"double-byte text, 259 bytes with terminator", REG_SZ, "C" + ka129 + z, true, "C" + ka129},
      {"double-byte text, 261 bytes with terminator", REG_SZ, "Cde" + ka129 + z, false, ""},
      {"REG_EXPAND_SZ naming an existing folder", REG_EXPAND_SZ, "C:\\windows" + z, false, ""},
      {"REG_MULTI_SZ", REG_MULTI_SZ, "C:\\Games" + z + z, false, ""},
      {"REG_BINARY", REG_BINARY, "C:\\Games" + z, false, ""},
  };
  ASSERT_EQ(GetACP(), 932u) << "run under the Japanese locale (wine-run.sh does)";
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.what);
    RemoveGameKeys();
    ASSERT_TRUE(SetValueBytes(kMachine32, c.type, c.bytes));
    EXPECT_EQ(Lookup(), c.found ? 1 : 0);
    if (c.found) {
      EXPECT_EQ(Folder(), c.folder);
    }
  }
}

TEST_F(InstallFolderTest, JapaneseFolderArrivesAsCodePage932Bytes) {
  const std::wstring folder = L"C:\\ゲーム\\ミロセナ\\";
  ASSERT_TRUE(SetValueText(kMachine32, REG_SZ, folder));
  ASSERT_EQ(Lookup(), 1);
  EXPECT_EQ(Folder(), ToCp932(folder));
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
