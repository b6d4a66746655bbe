#pragma once
// Control lists: texts in the host's control-list syntax describing a
// device's settings dialog, carried as resources of this library.
#include <string>

inline constexpr int kDeviceControlListId = 103;
inline constexpr int kInputAmpControlListId = 105;

// The input amplifier control list, converted with the host code page; empty
// when the resource is missing or empty. Loaded afresh on every call.
std::u16string fetchInputAmpControls();
