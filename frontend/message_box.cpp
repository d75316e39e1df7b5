// The updater's message boxes. The texts stay code page 932 bytes and go to
// the ANSI box function unchanged.
#include <windows.h>

#include "frontend/front_end.h"
#include "frontend/texts.h"

static_assert(kStyleInformation == (MB_OK | MB_ICONINFORMATION), "information style");
static_assert(kStyleWarning == (MB_OK | MB_ICONWARNING), "warning style");
static_assert(kStyleQuestion == (MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), "question style");
static_assert(kAnswerYes == IDYES, "Yes answer");

int ShowBox(const char* text, unsigned style) {
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
  return nullptr;
}
