#pragma once
// The FTDI driver that tells which adapter serial number owns a serial port:
// the D2XX library ftd2xx.dll on Windows, the kernel's ftdi_sio driver on
// Linux. One object exists at a time, owned by the discovery state; its two
// flags say why it cannot be used, and the error messages read them.
#include <memory>
#include <string>

// Declared outside any namespace, as the Windows code names it.
class FtdiDriver {
 public:
  // Binds the driver; a failure shows in the flags.
  FtdiDriver();
  // Unbinds (unloads ftd2xx.dll).
  ~FtdiDriver();
  FtdiDriver(const FtdiDriver&) = delete;
  FtdiDriver& operator=(const FtdiDriver&) = delete;

  // The driver library was not found or failed to load.
  bool notInstalled = false;
  // The library lacked an entry point, or became unusable during a search.
  bool cannotLoad = false;

  bool HasModule() const { return binding_ != nullptr; }
  bool Usable() const { return binding_ != nullptr && !notInstalled && !cannotLoad; }

  // The platform's handle on the loaded driver: the module and its entry
  // points. Null when nothing is loaded.
  struct Binding;
  Binding* binding() const { return binding_.get(); }

 private:
  std::unique_ptr<Binding> binding_;
};

// The serial number of the FTDI adapter that owns the serial port named
// portName (compared without regard to the case of A-Z). False when the driver
// is not usable, the name is empty, or no adapter owns that port.
bool FtdiSerialForPort(FtdiDriver& driver, const std::u16string& portName, std::u16string& serial);
