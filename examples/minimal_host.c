/*
 * A minimal host of the Vozi device enabler, written from vozi_enabler.h
 * alone: load the library, find the instruments, start the first, name its
 * channels, stream a few sample lines and print them, stop, close.
 *
 *   minimal_host [LIBRARY [LINES]]
 *
 * LIBRARY defaults to libvozi.so (Vozi.kycdll on Windows), LINES to 20. Exit
 * status 0 when every step worked; otherwise 1, after the library's message
 * for the user.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vozi_enabler.h"

#if defined(_WIN32)
#include <windows.h>
#define DEFAULT_LIBRARY "Vozi.kycdll"
static HMODULE library;
static int OpenLibrary(const char* path) { return (library = LoadLibraryA(path)) != NULL; }
/* Stores the export's address in *slot, a function pointer of the table
 * below; copied as bytes, since GetProcAddress gives it another type. */
static int Lookup(void* slot, const char* name) {
  FARPROC address = GetProcAddress(library, name);
  if (address != NULL) memcpy(slot, &address, sizeof address);
  return address != NULL;
}
#else
#include <dlfcn.h>
#define DEFAULT_LIBRARY "libvozi.so"
static void* library;
static int OpenLibrary(const char* path) { return (library = dlopen(path, RTLD_NOW)) != NULL; }
/* The same from dlsym's object pointer: C has no conversion to a function
 * pointer, but POSIX keeps both alike, so the bytes are copied. */
static int Lookup(void* slot, const char* name) {
  void* address = dlsym(library, name);
  if (address != NULL) memcpy(slot, &address, sizeof address);
  return address != NULL;
}
#endif

/* The exports this host uses, looked up by name as a host loads an enabler. */
static struct {
  int32_t (VOZI_CALL *GetDeviceClassInfo)(DeviceClassInfo*);
  int32_t (VOZI_CALL *FindDevice)(int32_t*);
  int32_t (VOZI_CALL *Initialise)(int32_t);
  int32_t (VOZI_CALL *DeviceCommand)(int32_t, int32_t, CommandRecord*);
  int32_t (VOZI_CALL *ReadLine)(int32_t, char*, int32_t, uint32_t);
  int32_t (VOZI_CALL *GetLastErrorMsg)(int32_t, char*);
  int32_t (VOZI_CALL *CloseAll)(void);
} vozi;

static int Bind(void* slot, const char* name) {
  if (Lookup(slot, name)) return 1;
  fprintf(stderr, "minimal_host: the library has no export %s\n", name);
  return 0;
}
#define BIND(name) Bind(&vozi.name, #name)

/* Prints the library's message for the user: ask for its size, then for it. */
static int Fail(const char* step) {
  int32_t size = vozi.GetLastErrorMsg(-1, NULL);
  char* message = malloc(size > 0 ? (size_t)size : 1);
  if (message != NULL && size > 0) vozi.GetLastErrorMsg(-1, message);
  fprintf(stderr, "minimal_host: %s failed: %s\n", step, message != NULL && size > 0 ? message : "");
  free(message);
  vozi.CloseAll();
  return 1;
}

/* A text command: the reply, or "" when the device had nothing to say. */
static const char* Text(int32_t device, int32_t code, int32_t argument, char* reply, int32_t size) {
  CommandRecord record;
  memset(&record, 0, sizeof record);
  record.reply = reply;
  record.replySize = size;
  record.argument = argument;
  reply[0] = '\0'; /* an answer with no text leaves the buffer as it was */
  return vozi.DeviceCommand(device, code, &record) ? reply : "";
}

static int32_t Command(int32_t device, int32_t code, int32_t argument, CommandRecord* record) {
  memset(record, 0, sizeof *record);
  record->argument = argument;
  return vozi.DeviceCommand(device, code, record);
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : DEFAULT_LIBRARY;
  const int lines = argc > 2 ? atoi(argv[2]) : 20;
  DeviceClassInfo info;
  CommandRecord record;
  char name[64], units[64], line[512];
  int32_t device = -1, index, channel, lastChannel;
  int i;

  if (!OpenLibrary(path)) {
    fprintf(stderr, "minimal_host: cannot load %s\n", path);
    return 1;
  }
  if (!BIND(GetDeviceClassInfo) || !BIND(FindDevice) || !BIND(Initialise) || !BIND(DeviceCommand) ||
      !BIND(ReadLine) || !BIND(GetLastErrorMsg) || !BIND(CloseAll))
    return 1;

  vozi.GetDeviceClassInfo(&info);
  printf("class: ");
  for (i = 0; info.displayName[i] != 0; ++i) putchar(info.displayName[i] < 128 ? info.displayName[i] : '?');
  printf("\n");

  /* One search: FindDevice until 0. Searching again would find the same
   * instruments once more, as new devices. */
  while (vozi.FindDevice(&index)) {
    printf("found device %d\n", (int)index);
    if (device < 0) device = index;
  }
  if (device < 0) return Fail("FindDevice");

  /* About a second on a working instrument; it checks the firmware too. */
  if (!vozi.Initialise(device)) return Fail("Initialise");
  printf("model %s, version %s\n", Text(device, VOZI_GET_MODEL_NAME, 0, name, sizeof name),
         Text(device, VOZI_GET_VERSION_TEXT, 0, units, sizeof units));

  if (!Command(device, VOZI_GET_LAST_CHANNEL, 0, &record)) return Fail("VOZI_GET_LAST_CHANNEL");
  lastChannel = record.count;
  /* Channel 0 is the instrument's time field: the channels are 1 and up,
   * and none streams until the host enables it. */
  for (channel = 1; channel <= lastChannel; ++channel) {
    printf("channel %d: %s", (int)channel, Text(device, VOZI_GET_CHANNEL_NAME, channel, name, sizeof name));
    printf(" (%s)\n", Text(device, VOZI_GET_CHANNEL_UNITS, channel, units, sizeof units));
    if (!Command(device, VOZI_ENABLE_CHANNEL, channel, &record)) return Fail("VOZI_ENABLE_CHANNEL");
  }

  if (!Command(device, VOZI_START_STREAM, 0, &record)) return Fail("VOZI_START_STREAM");
  /* Each line: "@ " and one value per enabled channel, scaled to 0..32767
   * over the channel's range. ReadLine returns 1, not a length. */
  for (i = 0; i < lines; ++i) {
    if (!vozi.ReadLine(device, line, (int32_t)sizeof line, 2000)) return Fail("ReadLine");
    printf("%s\n", line);
  }
  if (!Command(device, VOZI_STOP_STREAM, 0, &record)) return Fail("VOZI_STOP_STREAM");

  vozi.CloseAll();
  return 0;
}
