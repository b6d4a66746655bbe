/*
 * Vozi device enabler: the sixteen functions a host calls.
 *
 * Call order: GetDeviceClassInfo once; FindDevice until it returns 0 (each
 * success gives the index of one more instrument); per device Initialise,
 * then reads, commands and status calls; GetLastErrorMsg after a failure
 * (index -1 when no device is concerned); CloseAll at the end. Calls are made
 * one at a time. Texts handed to the host are narrow, in the host code page;
 * the class texts are UTF-16.
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

/* Filled by GetDeviceClassInfo. The texts are constant data of the library. */
typedef struct DeviceClassInfo {
  uint8_t classId[16];          /* {A440D267-D1C2-4C34-8EE8-A642EB10B717}, Windows GUID layout */
  const uint16_t* displayName;  /* "Vozi Devices", zero-terminated UTF-16 */
  const uint16_t* shortName;    /* "Vozi" */
} DeviceClassInfo;

/* The parameter record of DeviceCommand. Fields other than these are neither
 * read nor written. */
typedef struct CommandRecord {
  char* reply;         /* buffer for text replies */
  int32_t replySize;   /* its size in bytes, terminating zero included */
  int32_t reserved8;
  int32_t argument;    /* channel index, or a sample period in microseconds */
  int32_t reserved16;
  int32_t count;       /* numeric reply */
  float value;         /* numeric reply */
} CommandRecord;

/* Command codes of DeviceCommand. */
enum VoziCommand {
  VOZI_GET_MODEL_NAME = 0,
  VOZI_GET_VERSION_TEXT = 3,
  VOZI_GET_PORT_DESCRIPTION = 4,
  VOZI_GET_LAST_CHANNEL = 11,
  VOZI_GET_CHANNEL_MINIMUM = 17,
  VOZI_GET_CHANNEL_MAXIMUM = 18,
  VOZI_GET_CHANNEL_UNITS = 19,
  VOZI_GET_CHANNEL_NAME = 21,
  VOZI_GET_CHANNEL_RANGE = 22,
  VOZI_GET_INPUT_AMP_CONTROLS = 28,
  VOZI_GET_SAMPLE_PERIODS = 32,
  VOZI_SELECT_PERIOD = 35,
  VOZI_START_STREAM = 37,
  VOZI_STOP_STREAM = 38,
  VOZI_DISABLE_CHANNEL = 41,
  VOZI_ENABLE_CHANNEL = 42,
  VOZI_CLEAR_COUNT = 59
};

int32_t VOZI_CALL GetDeviceClassInfo(DeviceClassInfo* info);
int32_t VOZI_CALL FindDevice(int32_t* index);
int32_t VOZI_CALL Initialise(int32_t index);
int32_t VOZI_CALL CloseAll(void);
int32_t VOZI_CALL IsFailed(int32_t index);
int32_t VOZI_CALL CanUseBaudRate(int32_t index, int32_t rate);
void VOZI_CALL SetBaudRate(int32_t index, int32_t rate);
int32_t VOZI_CALL GetBaudRate(int32_t index);
/* ReadLine: maximum counts the terminating zero; below 2 (no room for a character) it returns 0 at once. */
int32_t VOZI_CALL ReadLine(int32_t index, char* destination, int32_t maximum, uint32_t timeoutMs);
int32_t VOZI_CALL ReadBuffer(int32_t index, char* destination, int32_t count, uint32_t timeoutMs);
int32_t VOZI_CALL WriteBuffer(int32_t index, const char* source, int32_t count); /* always 0 */
int32_t VOZI_CALL ReadBuffSize(int32_t index);
void VOZI_CALL FlushReadBuffer(int32_t index);
int32_t VOZI_CALL GetUniqueID(int32_t index, int32_t* uniqueId);
int32_t VOZI_CALL DeviceCommand(int32_t index, int32_t code, CommandRecord* record);
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
