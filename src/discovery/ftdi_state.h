#pragma once
// What the last discovery pass learnt about the FTDI driver, for the error
// messages: whether a driver object is kept, and its two failure flags.

struct FtdiDriverFlags {
  bool exists = false;
  bool notInstalled = false;
  bool cannotLoad = false;
};

FtdiDriverFlags CurrentFtdiDriverFlags();
