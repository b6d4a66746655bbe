/*
 * Vozi device enabler: the sixteen functions a host calls.
 *
 * The library finds Vozi instruments on USB-serial adapters, starts them,
 * checks their firmware and streams their samples as lines of text. It is a
 * shared library with exactly these sixteen exports: Vozi.kycdll on 32-bit
 * Windows (cdecl, undecorated names), libvozi.so on Linux. Integer arguments
 * and results are 32 bits wide. No exception leaves a call.
 * examples/minimal_host.c is a complete host written from this header.
 *
 * A host calls, in this order:
 *   1. GetDeviceClassInfo, once.
 *   2. FindDevice until it returns 0. Each 1 gives the index of one more
 *      instrument: 0, 1, 2, ... Nothing is sent to an instrument yet.
 *   3. Per device: Initialise; DeviceCommand to learn its channels, to enable
 *      the channels wanted (VOZI_ENABLE_CHANNEL) and to start streaming
 *      (VOZI_START_STREAM); ReadLine or ReadBuffer as long as wanted;
 *      VOZI_STOP_STREAM.
 *   4. GetLastErrorMsg(-1, ...) after any call that returned 0 (FindDevice
 *      finding nothing included), to show the user why.
 *   5. CloseAll at the end, and before searching again: a FindDevice after
 *      the one that returned 0 starts a new search that finds the same
 *      instruments again, as new indices.
 *
 * Device index: valid from the FindDevice that gave it until CloseAll. An
 * index with no device (negative, not below the number found, or anything
 * after CloseAll) is answered with a fixed value and no other effect: 1 from
 * IsFailed, nothing from SetBaudRate and FlushReadBuffer, 0 from every other
 * function that takes an index (GetLastErrorMsg accepts -1, see there).
 *
 * Pointers: a null pointer where the library would write (info, index,
 * destination, uniqueId, record) makes the call return 0 and write nothing.
 * GetLastErrorMsg takes a null destination to ask for the length only.
 *
 * Failure: results are 1 (done) or 0 (not done); no error codes. A failure
 * sets flags on the device that stay set until CloseAll; IsFailed shows them
 * and GetLastErrorMsg(-1, ...) turns them into a message for the user.
 *
 * Text: texts handed to the host (messages, command replies, sample lines)
 * are narrow and zero-terminated, in the host code page: on Windows the
 * user's default OEM code page, on Linux the codeset of the user's locale
 * (UTF-8 in practice). The class texts of GetDeviceClassInfo are UTF-16.
 *
 * Threads: the host is expected to make one call at a time. Overlapping calls
 * from several threads are safe (they do not corrupt the library or crash
 * the host) but wait for each other: CloseAll waits for a DeviceCommand
 * still running on a device (at most its own waits: about 15 s for a
 * description that never comes, 5 s to start or stop the stream), while an
 * Initialise still waiting for a silent instrument gives up at once and
 * returns 0; two threads reading the same device take turns and share its
 * lines between them, and CloseAll ends their waits. Each started device has
 * a reader thread of its own inside the library; it fills the receive ring
 * while the host is busy elsewhere.
 *
 * Unloading: ending the process or unloading the library without CloseAll is
 * safe: the library stops every started instrument as it is unloaded.
 *
 * Firmware requirement: Initialise accepts an instrument only when the
 * firmware number it reports equals the number in the file
 *     <folder of the host's executable>/Devices/VoziFirmwareVer.ini
 * (Windows: "Devices\VoziFirmwareVer.ini" beside the .exe of the process, not
 * beside the library), which is read at every Initialise:
 *     [required]
 *     kyrev=7
 * On Linux a host without that file (an interpreter, a program that installs
 * nothing beside itself) gets /etc/vozi/VoziFirmwareVer.ini, the machine's
 * copy that the Debian package installs; Windows has no such fallback.
 * Section and key match in any letter case; a fractional part is cut off.
 * No file, no section or no key: only firmware 1 is accepted. A value that is
 * not a number, or 0: every instrument is refused.
 *
 * Simulated instruments (Linux): the environment variable VOZI_DEVICE_ROOT
 * names a folder that stands in for "/" where FindDevice looks for adapters:
 * <root>/sys/... for the ports, their USB serial numbers and the ftdi_sio
 * driver, <root>/dev/<name> for the port Initialise opens. It is read when a
 * walk starts. "vozi-sim --device-root DIR" builds such a tree for the
 * instrument it simulates; a host (or its test) that sets
 * VOZI_DEVICE_ROOT=DIR before its first FindDevice works with that instrument
 * instead of the adapters plugged in. Unset, the real /sys and /dev are used.
 * Nothing else reads it (not the requirement file); Windows ignores it.
 *
 * Sample text: while a device streams, each sample the instrument sends
 * becomes one line in the device's receive ring:
 *     "@ " value "," value "," ... value LF
 * with one value per enabled channel, in increasing channel order. Channel 0
 * (the instrument's time field) is never streamed; nothing is streamed until
 * the host enables channels, so each line is then just "@ " and LF.
 *   - A channel with a range (VOZI_GET_CHANNEL_MINIMUM, _MAXIMUM) is scaled
 *     to 0 at its minimum and 32767 at its maximum, clamped, rounded to the
 *     nearest integer: physical = minimum + value * (maximum - minimum) / 32767.
 *     A channel for which the instrument gives no limits ("na") has the
 *     range -32767..32767, so its value 0 comes out as 16384.
 *   - A channel without a range gives the integer part of the value;
 *     -2147483648 when the instrument sent something that is not a number.
 *   - A sample the instrument marks as missing comes out as "0," (the comma
 *     always comes with it). A comma also follows the last value whenever the
 *     instrument's last channel is not among those enabled. Split on commas
 *     and ignore an empty last field.
 *   Example, channels 1 to 3 enabled of an instrument with channels 0 to 5:
 *     "@ 16384,0,32767,"
 *   A line is at most 3 + 12 * (enabled channels) bytes with its terminating
 *   zero. A line that does not fit into the 64 KiB ring is dropped whole
 *   (the newest lines are lost while the host does not read; the ring holds
 *   about 1700 lines of six scaled channels). Lines in the ring are never
 *   overwritten.
 */
#ifndef VOZI_ENABLER_H
#define VOZI_ENABLER_H

#include <stdint.h>

#if defined(_WIN32)
#define VOZI_CALL __cdecl
#else
#define VOZI_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Filled by GetDeviceClassInfo. The texts are constant data of the library,
 * valid while it is loaded; the host must not free or change them. */
typedef struct DeviceClassInfo {
  uint8_t classId[16];          /* {A440D267-D1C2-4C34-8EE8-A642EB10B717}, Windows GUID layout */
  const uint16_t* displayName;  /* "Vozi Devices", zero-terminated UTF-16 */
  const uint16_t* shortName;    /* "Vozi" */
} DeviceClassInfo;

/* The parameter record of DeviceCommand, laid out by the host. Each command
 * reads and fills only the fields named for it below; the others are neither
 * read nor written, so the host may keep its own data in them.
 *
 * Text replies are copied into reply with a terminating zero, never more
 * than replySize bytes in all; a longer reply is cut at a character boundary
 * and the command still returns 1. A command with no text to give (a channel
 * index out of range, an instrument that offers no periods) leaves reply
 * untouched: set reply[0] to 0 before the call to tell. A null reply or a
 * replySize below 1 receives nothing. */
typedef struct CommandRecord {
  char* reply;         /* in: buffer for text replies */
  int32_t replySize;   /* in: its size in bytes, terminating zero included */
  int32_t reserved8;
  int32_t argument;    /* in: channel index, or a sample period in microseconds */
  int32_t reserved16;
  int32_t count;       /* out: numeric reply */
  float value;         /* out: numeric reply */
} CommandRecord;

/* Command codes of DeviceCommand: the argument each reads and the field each
 * fills. A channel index is the field's position in the instrument's sample
 * lines: 0 is its time field (never streamed), 1 to the count given by
 * VOZI_GET_LAST_CHANNEL are the channels. A channel index below 0 or beyond
 * the instrument's lists writes nothing and still returns 1.
 *
 * Every command first waits, in 1 s steps and for up to 15 s, until the
 * instrument has described its channels (it does so just after Initialise;
 * a device never initialised never does); if it never does, the command
 * returns 0, writes nothing and the device counts as not responding. Any code not listed here writes the reply
 * "^Unsupported SDA command" and returns 0. */
enum VoziCommand {
  /* reply: the model the instrument names, e.g. "VZ-8" ("RezuzeRidev" when
   * it names none). */
  VOZI_GET_MODEL_NAME = 0,
  /* reply: its version, four numbers joined by dots, e.g. "1.1.0.1"; the last
   * is the firmware number that Initialise checks. */
  VOZI_GET_VERSION_TEXT = 3,
  /* reply: the adapter's serial number without its first three characters,
   * e.g. "12345A" for ZOR12345A. */
  VOZI_GET_PORT_DESCRIPTION = 4,
  /* count: the index of the last channel (the number of channel names the
   * instrument gives, time field included, minus 1). */
  VOZI_GET_LAST_CHANNEL = 11,
  /* argument: channel. value: the low end of its range (-32767 for a channel
   * without limits). */
  VOZI_GET_CHANNEL_MINIMUM = 17,
  /* argument: channel. value: the high end of its range (32767 without limits). */
  VOZI_GET_CHANNEL_MAXIMUM = 18,
  /* argument: position in the instrument's units list. reply: the unit, e.g.
   * "mV". The list leaves out fields whose unit is "na"; without such fields
   * the position is the channel index. */
  VOZI_GET_CHANNEL_UNITS = 19,
  /* argument: channel. reply: its name, e.g. "ECG". */
  VOZI_GET_CHANNEL_NAME = 21,
  /* argument: channel (bounded as for VOZI_GET_CHANNEL_UNITS). reply: minimum
   * "," maximum "," unit ";", e.g. "-5,5,mV;"; numbers with six significant
   * digits as printf's %g, in the decimal point of the user's settings. */
  VOZI_GET_CHANNEL_RANGE = 22,
  /* argument: channel. reply: the settings dialog of the input amplifier in
   * the host's control-list syntax (lines ended by CR LF, then one LF):
   * 348 bytes, so replySize 349. */
  VOZI_GET_INPUT_AMP_CONTROLS = 28,
  /* reply: the sample periods the instrument offers, in microseconds,
   * comma-separated, in the reverse of the instrument's order, e.g.
   * "1000000,100000,10000,5000,2000,1000". */
  VOZI_GET_SAMPLE_PERIODS = 32,
  /* argument: a period in microseconds, exactly as VOZI_GET_SAMPLE_PERIODS
   * gives it. Stops streaming (as VOZI_STOP_STREAM, up to about 5 s), then
   * selects it; start streaming again afterwards. A period not offered:
   * nothing happens. */
  VOZI_SELECT_PERIOD = 35,
  /* Empties the receive ring and starts streaming; waits up to about 5 s for
   * the instrument to confirm. Returns 0 only when the instrument was still
   * describing itself after 5 s; an unconfirmed start returns 1 and the
   * library keeps asking. */
  VOZI_START_STREAM = 37,
  /* Stops streaming; waits up to about 5 s for the instrument to confirm.
   * Lines already in the ring stay there. */
  VOZI_STOP_STREAM = 38,
  /* argument: channel, no longer streamed from the next sample line on. */
  VOZI_DISABLE_CHANNEL = 41,
  /* argument: channel, streamed from the next sample line on. Initialise
   * on a failed device starts its description afresh with no channel
   * enabled. */
  VOZI_ENABLE_CHANNEL = 42,
  /* count: set to 0. */
  VOZI_CLEAR_COUNT = 59
};

/* Fills info with the class identifier and names of this kind of device.
 * Returns 1 (0 for a null info). */
int32_t VOZI_CALL GetDeviceClassInfo(DeviceClassInfo* info);

/* Looks for the next instrument: continues a walk over the serial ports and
 * stops at the first USB adapter whose serial number begins with "ZOR" or
 * "D800". Nothing is sent to the instrument and its port is not opened.
 *   index  out: the new device's index (0 for the first after CloseAll).
 * Returns 1 when one was found; 0 when the walk ended (or no driver for the
 * adapters is installed: GetLastErrorMsg(-1) tells) and index is untouched.
 * The next call after a 0 starts a new walk (see the call order above). */
int32_t VOZI_CALL FindDevice(int32_t* index);

/* Starts a device: opens its port (115200 baud, 8N1, exclusively), starts
 * its reader thread, greets the instrument, waits for its version and checks
 * its firmware number against the requirement file (see above).
 * Returns 1 when the instrument runs with accepted firmware, else 0 (the
 * device is then marked failed; GetLastErrorMsg(-1) tells why).
 * Timing: at least about 1 s with a working instrument (its answer is looked
 * for in 1 s steps), about 16 s with a silent one, at once for a port that
 * cannot be opened, and soon after the instrument goes away during the wait
 * or CloseAll is called from another thread. On a device that runs and has
 * not failed it returns 1 at once; on a failed one it closes the device and
 * starts it again. The
 * instrument goes on describing its channels after the return; DeviceCommand
 * waits for that. */
int32_t VOZI_CALL Initialise(int32_t index);

/* Stops and forgets every device (the last found first): each started
 * instrument is told to stop, its reader thread ends and its port closes;
 * indices are given out from 0 again. Takes about 40 ms per started device
 * (a device whose port was never opened costs nothing) and at most about
 * 0.5 s more for a reader thread that is slow to end.
 * Returns 1. */
int32_t VOZI_CALL CloseAll(void);

/* Returns 1 when something failed on the device since it was found (opening
 * or setting its port, reading from it, the instrument's answer or the
 * firmware check at Initialise), else 0; 1 for an index with no device. The
 * mark stays until CloseAll, even after an Initialise that succeeds again,
 * so every Initialise of a device that once failed starts it afresh. */
int32_t VOZI_CALL IsFailed(int32_t index);

/* Tries rate on the device's open port and sets the previous rate again.
 * Returns 1 when the driver accepted both, else 0 (also before Initialise). */
int32_t VOZI_CALL CanUseBaudRate(int32_t index, int32_t rate);

/* Sets the line rate of the device's open port. A rate of 0 or below keeps the
 * line rate but is recorded for GetBaudRate. The instrument talks at 115200;
 * another rate cuts the host off from it until Initialise. No result. */
void VOZI_CALL SetBaudRate(int32_t index, int32_t rate);

/* Returns the rate recorded by the last successful setting of the port:
 * 115200 after Initialise, 0 before the port was ever set. */
int32_t VOZI_CALL GetBaudRate(int32_t index);

/* Takes the next line of sample text (see "Sample text" above) from the
 * device's receive ring.
 *   destination  out: the line without its line feed, zero-terminated.
 *   maximum      size of destination in bytes, terminating zero included.
 *   timeoutMs    the longest wait for a complete line, for the whole call:
 *                0 looks once, 0xFFFFFFFF waits without limit.
 * Returns 1 when a line was delivered; the result is not its length (use
 * strlen). A line longer than maximum - 1 bytes comes in pieces on successive
 * calls, the piece that ends the line last; size destination by the line
 * bound above to get whole lines. Returns 0, delivering and consuming
 * nothing, on time-out, for a maximum below 2 (no room for any character),
 * a null destination, and a device never started (after waiting timeoutMs). */
int32_t VOZI_CALL ReadLine(int32_t index, char* destination, int32_t maximum, uint32_t timeoutMs);

/* Takes raw sample text from the receive ring: up to count bytes, as many as
 * are held, with no terminating zero. When the ring is empty, first waits up
 * to timeoutMs (as ReadLine) for anything to arrive.
 * Returns 1 when at least one byte was delivered, 0 otherwise (time-out,
 * count below 1, null destination, device never started). The host is not
 * told how many bytes it got: ask ReadBuffSize first and read that many. */
int32_t VOZI_CALL ReadBuffer(int32_t index, char* destination, int32_t count, uint32_t timeoutMs);

/* Does nothing: the library sends nothing on the host's behalf. Returns 0. */
int32_t VOZI_CALL WriteBuffer(int32_t index, const char* source, int32_t count);

/* Returns the number of bytes of sample text waiting in the receive ring,
 * 0 to 65535 (0 before Initialise). */
int32_t VOZI_CALL ReadBuffSize(int32_t index);

/* Discards everything waiting in the receive ring. No result. */
void VOZI_CALL FlushReadBuffer(int32_t index);

/* uniqueId out: a number derived from the adapter's serial number, the same
 * for the same instrument on every run and on both systems. Returns 1, or 0
 * with uniqueId untouched. */
int32_t VOZI_CALL GetUniqueID(int32_t index, int32_t* uniqueId);

/* Runs the device command code (enum VoziCommand) with the host's record.
 * Returns 1 or 0 as each command states. Needs Initialise first. */
int32_t VOZI_CALL DeviceCommand(int32_t index, int32_t code, CommandRecord* record);

/* The message that explains a failure to the user.
 *   index        -1 for the message about the whole library: why FindDevice
 *                found nothing, or what is wrong with the last device found
 *                (wrong firmware, not responding). A device's own index
 *                gives no message: the library keeps no text per device, so
 *                the result is 1 and nothing is written.
 *   destination  null to ask for the size; otherwise it must hold at least
 *                that many bytes: the message and its terminating zero are
 *                written there (lines separated by LF).
 * Returns the size in bytes the message needs, terminating zero included
 * (every message fits in 183 bytes); 0 for an index with no device. Ask with
 * a null destination, provide that many bytes, ask again. The same state gives
 * the same message on every call. */
int32_t VOZI_CALL GetLastErrorMsg(int32_t index, char* destination);

#ifdef __cplusplus
}
#endif

/* The sixteen exports by name, for hosts that load the library at run time:
 * VOZI_ENABLER_EXPORTS(X) expands X(name) once for each. */
#define VOZI_ENABLER_EXPORTS(X)                                                            \
  X(GetDeviceClassInfo) X(FindDevice) X(Initialise) X(CloseAll) X(IsFailed)               \
  X(CanUseBaudRate) X(SetBaudRate) X(GetBaudRate) X(ReadLine) X(ReadBuffer) X(WriteBuffer) \
  X(ReadBuffSize) X(FlushReadBuffer) X(GetUniqueID) X(DeviceCommand) X(GetLastErrorMsg)

#ifdef __cplusplus
#include <string>

/* A table of the sixteen entry points of a library loaded at run time.
 * BindAll(lookup) fills it, with lookup(name) giving the address of an export
 * (GetProcAddress, dlsym), and returns the names it could not find, separated
 * by ", " (empty when all were found). */
struct VoziEnablerExports {
#define VOZI_EXPORT_MEMBER(name) decltype(&::name) name = nullptr;
  VOZI_ENABLER_EXPORTS(VOZI_EXPORT_MEMBER)
#undef VOZI_EXPORT_MEMBER

  template <typename Lookup>
  std::string BindAll(Lookup lookup) {
    std::string missing;
#define VOZI_EXPORT_BIND(name)                                                      \
  name = reinterpret_cast<decltype(&::name)>(reinterpret_cast<void*>(lookup(#name))); \
  if (name == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(#name);
    VOZI_ENABLER_EXPORTS(VOZI_EXPORT_BIND)
#undef VOZI_EXPORT_BIND
    return missing;
  }
};
#endif

#if defined(_WIN32) && !defined(_WIN64)
#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(DeviceClassInfo) == 24, "DeviceClassInfo layout");
static_assert(offsetof(DeviceClassInfo, displayName) == 16, "displayName at 16");
static_assert(offsetof(DeviceClassInfo, shortName) == 20, "shortName at 20");
static_assert(offsetof(CommandRecord, replySize) == 4, "replySize at 4");
static_assert(offsetof(CommandRecord, argument) == 12, "argument at 12");
static_assert(offsetof(CommandRecord, count) == 20, "count at 20");
static_assert(offsetof(CommandRecord, value) == 24, "value at 24");
#endif
#endif

#endif /* VOZI_ENABLER_H */
