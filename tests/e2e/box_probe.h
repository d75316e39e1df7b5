// Shared by the box driver and its probe DLL. Under Wine an icon handle of
// another process cannot be read, so the probe DLL is hooked into the
// updater's GUI thread: when the driver sends kProbeMessage to a message
// box, the hook looks at the box from inside and leaves its findings as
// window properties of the box, which the driver reads back.
#pragma once

// Registered with RegisterWindowMessageW.
#define BOX_PROBE_MESSAGE L"VelmoraBoxProbe"
// wParam of the message: what the probe is to do.
#define BOX_PROBE_LOOK 0  // leave the findings below as properties
#define BOX_PROBE_END 1   // end the box's dialog with lParam as its answer,
                          // as no button of the box could
// The hook procedure that the DLL exports (a WH_CALLWNDPROC hook).
#define BOX_PROBE_HOOK "BoxProbeHook"

// Property: which system icon the box shows, one of the BoxIcon values.
#define BOX_PROBE_ICON_PROP L"VelmoraBoxIcon"
// Property: control id of the window that has the keyboard focus (0 for no
// focus), plus 1, since a property of 0 reads as absent.
#define BOX_PROBE_FOCUS_PROP L"VelmoraBoxFocus"

// Property values start at 1: GetProp answers 0 for a missing property.
enum BoxIcon {
  kIconUnknown = 1,      // an icon that is none of the system icons below
  kIconNone = 2,         // no icon control, or one without an icon
  kIconInformation = 3,  // IDI_INFORMATION (IDI_ASTERISK)
  kIconWarning = 4,      // IDI_WARNING (IDI_EXCLAMATION)
  kIconQuestion = 5,     // IDI_QUESTION
  kIconError = 6,        // IDI_ERROR (IDI_HAND)
};
