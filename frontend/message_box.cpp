// The updater's message boxes. The texts are stored as code page 932 bytes;
// they are converted from that code page explicitly and shown through the
// Unicode box function, so that they read right whatever the system's ANSI
// code page is (on a Japanese system the player sees the same either way).
#include <windows.h>

#include "frontend/front_end.h"
#include "frontend/texts.h"

static_assert(kStyleInformation == (MB_OK | MB_ICONINFORMATION), "information style");
static_assert(kStyleWarning == (MB_OK | MB_ICONWARNING), "warning style");
static_assert(kStyleQuestion == (MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), "question style");
static_assert(kAnswerYes == IDYES, "Yes answer");

namespace {

// Code page of the stored texts.
constexpr UINT kTextCodePage = 932;
// Room for the longest text (44 characters) with plenty to spare.
constexpr int kWideTextSize = 256;

// Converts NUL-terminated code page 932 bytes into out; false when the text
// does not convert (no such code page on the system, or no room).
bool ToWide(const char* text, wchar_t (&out)[kWideTextSize]) {
  return MultiByteToWideChar(kTextCodePage, MB_ERR_INVALID_CHARS, text, -1, out,
                             kWideTextSize) != 0;
}

}  // namespace

int ShowBox(const char* text, unsigned style) {
  wchar_t wideText[kWideTextSize];
  wchar_t wideCaption[kWideTextSize];
  if (ToWide(text, wideText) && ToWide(kCaption, wideCaption)) {
    return MessageBoxW(nullptr, wideText, wideCaption, style);
  }
  // Without the conversion the bytes are still right on a Japanese system.
  return MessageBoxA(nullptr, text, kCaption, style);
}

int ShowInfoBox(const char* text) { return ShowBox(text, kStyleInformation); }

int ShowWarningBox(const char* text) { return ShowBox(text, kStyleWarning); }

const char* OutcomeText(UpdateResult result, bool* information) {
  *information = result == UPD_OK;
  if (result == UPD_OK) return kTextCompleted;
  if (result >= UPD_E_PACKAGE && result <= UPD_E_CHECKSUM) return kTextPackageDamaged;
  if (result == UPD_E_WRITE) return kTextWriteFailed;
  if (result == UPD_E_UNINSTALL_LIST) return kTextUninstallListFailed;
  if (result == UPD_E_WRONG_RELEASE) return kTextWrongRelease;
  return nullptr;
}
