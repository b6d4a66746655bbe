#pragma once
// The fixed messages that explain a failure to the user. Nothing records an
// error text: the message is chosen from the state the library already has.

inline constexpr char16_t kMessageNotFound[] =
    u"The Vozi Device cannot be found.\nPlease plug in your Vozi Device and restart Kymora.";
inline constexpr char16_t kMessageDriverNotInstalled[] =
    u"The Vozi Device driver is not installed.\nPlease plug in your Vozi Device and restart Kymora.\n\n"
    u"Refer to the Vozi Device Enabler Installation Guide\nif you continue to see this message.";
inline constexpr char16_t kMessageDriverCannotLoad[] = u"The Vozi Device driver cannot be loaded.";
inline constexpr char16_t kMessageWrongFirmware[] =
    u"A Vozi Device is connected, but can't be used due\nto wrong firmware version. Please contact Vozi\n"
    u"Scientific Corporation for a firmware update.";
inline constexpr char16_t kMessageNotRespondingRestart[] =
    u"The Vozi Device is not responding. Please restart the Device and restart Kymora.";
inline constexpr char16_t kMessageNotResponding[] = u"The Vozi Device is not responding or powered off.";
