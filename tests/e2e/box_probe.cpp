// The probe DLL: loaded into the updater's GUI thread through a
// WH_CALLWNDPROC hook that the box driver sets. See box_probe.h.
#include <windows.h>

#include "tests/e2e/box_probe.h"

namespace {

struct IconSearch {
  HWND found = nullptr;
};

BOOL CALLBACK FindIconStatic(HWND child, LPARAM context) {
  wchar_t cls[32];
  if (GetClassNameW(child, cls, 32) == 0 || lstrcmpiW(cls, L"Static") != 0) return TRUE;
  if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) return TRUE;
  reinterpret_cast<IconSearch*>(context)->found = child;
  return FALSE;
}

int ClassifyIcon(HWND box) {
  IconSearch search;
  EnumChildWindows(box, FindIconStatic, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return kIconNone;
  HICON icon = reinterpret_cast<HICON>(SendMessageW(search.found, STM_GETICON, 0, 0));
  if (icon == nullptr) return kIconNone;
  // System icons are shared: LoadIcon hands out the very handle that the
  // box function got for its style.
  struct {
    LPCSTR id;
    int kind;
  } const system[] = {
      {IDI_INFORMATION, kIconInformation},
      {IDI_WARNING, kIconWarning},
      {IDI_QUESTION, kIconQuestion},
      {IDI_ERROR, kIconError},
  };
  for (const auto& s : system) {
    if (LoadIconA(nullptr, s.id) == icon) return s.kind;
  }
  return kIconUnknown;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK BoxProbeHook(int code, WPARAM wParam,
                                                                LPARAM lParam) {
  static UINT probe = RegisterWindowMessageW(BOX_PROBE_MESSAGE);
  if (code == HC_ACTION) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (sent->message == probe && sent->wParam == BOX_PROBE_END) {
      EndDialog(sent->hwnd, static_cast<INT_PTR>(sent->lParam));
    } else if (sent->message == probe) {
      HWND box = sent->hwnd;
      SetPropW(box, BOX_PROBE_ICON_PROP,
               reinterpret_cast<HANDLE>(static_cast<INT_PTR>(ClassifyIcon(box))));
      HWND focus = GetFocus();
      int focusId = focus != nullptr ? GetDlgCtrlID(focus) : 0;
      SetPropW(box, BOX_PROBE_FOCUS_PROP,
               reinterpret_cast<HANDLE>(static_cast<INT_PTR>(focusId + 1)));
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
