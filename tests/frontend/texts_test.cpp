// The updater's texts are code page 932 bytes. Each one must decode to the
// Japanese text it stands for, and encoding that text again must give the
// same bytes (no look-alike character, nothing lost, no trailing bytes).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frontend/texts.h"

namespace {

std::wstring FromCp932(const char* bytes) {
  int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, -1, nullptr, 0);
  if (n <= 0) return L"<invalid code page 932>";
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, -1, &out[0], n);
  out.resize(static_cast<size_t>(n) - 1);  // the terminator
  return out;
}

std::string ToCp932(const std::wstring& text) {
  BOOL lossy = FALSE;
  int n = WideCharToMultiByte(932, 0, text.c_str(), -1, nullptr, 0, nullptr, &lossy);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(932, 0, text.c_str(), -1, &out[0], n, nullptr, &lossy);
  out.resize(static_cast<size_t>(n) - 1);
  if (lossy) return "<not representable>";
  return out;
}

struct TextCase {
  const char* name;
  const char* bytes;
  size_t size;  // sizeof the array, terminator included
  const wchar_t* expected;
};

#define TEXT_CASE(constant, text) {#constant, constant, sizeof constant, text}

const TextCase kTexts[] = {
    TEXT_CASE(kCaption, L"ミロセナ 修正パッチ ver 1.00"),
    TEXT_CASE(kProductKeyName, L"ミロセナ"),
    TEXT_CASE(kTextQuestion, L"アップデートを行いますか？"),
    TEXT_CASE(kTextGameRunning,
              L"ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません"),
    TEXT_CASE(kTextNotInstalled, L"ゲームがインストールされていません"),
    TEXT_CASE(kTextCompleted, L"アップデートが完了しました"),
    TEXT_CASE(kTextPackageDamaged, L"アップデートプログラムが破損している可能性があります"),
    TEXT_CASE(kTextWriteFailed, L"何らかの要因によりアップデートが行えません"),
    TEXT_CASE(kTextUninstallListFailed, L"アンインストレーションファイルの更新に失敗しました"),
    TEXT_CASE(kTextWrongRelease,
              L"インストールされているゲームのバージョンが違うのでアップデートを行えません"),
    TEXT_CASE(kUpdaterMutexName, L"Updater for Velmora is executing."),
    TEXT_CASE(kInterpreterMutexName, L"Orvaline for Velmora is executing."),
    TEXT_CASE(kMakerKeyName, L"Quillory"),
};

TEST(TextsTest, EveryTextIsItsJapaneseTextInCodePage932) {
  for (const TextCase& c : kTexts) {
    SCOPED_TRACE(c.name);
    // No NUL inside: the whole array is the text and its terminator.
    EXPECT_EQ(std::strlen(c.bytes) + 1, c.size);
    EXPECT_EQ(FromCp932(c.bytes), std::wstring(c.expected));
    EXPECT_EQ(ToCp932(c.expected), std::string(c.bytes));
  }
}

TEST(TextsTest, CaptionSpacesAreAsciiAndQuestionEndsInFullWidthMark) {
  const std::string caption = kCaption;
  EXPECT_EQ(caption.substr(8), std::string(" \x8F\x43\x90\xB3\x83\x70\x83\x62\x83\x60 ver 1.00"));
  const std::string question = kTextQuestion;
  ASSERT_GE(question.size(), 2u);
  EXPECT_EQ(question.substr(question.size() - 2), std::string("\x81\x48"));
}

}  // namespace
