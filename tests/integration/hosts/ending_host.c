/* A host that ends without CloseAll, as hosts do after a crash, a forgotten
 * call or an exception. Loads the library with dlopen, brings the first
 * instrument into a situation, then ends in the given way.
 *
 *   ending_host LIBRARY SITUATION ENDING CODE
 *     SITUATION  streaming  found, started and streaming
 *                found      found, never started
 *                no-driver  FindDevice found nothing for want of the driver
 *     ENDING     return     return CODE from main
 *                exit       exit(CODE) from a function deeper down
 *                dlclose    dlclose the library, go on for a moment, return CODE
 *
 * A step that does not go as a host expects ends the process with 90 and up.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vozi_enabler.h"

static void* Bind(void* library, const char* name) {
  void* entry = dlsym(library, name);
  if (!entry) {
    fprintf(stderr, "ending_host: %s missing\n", name);
    exit(91);
  }
  return entry;
}

static void SleepMs(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

static void EndByExit(int code) { exit(code); }

int main(int argc, char** argv) {
  if (argc != 5) return 90;
  const char* situation = argv[2];
  const char* ending = argv[3];
  const int code = atoi(argv[4]);

  void* library = dlopen(argv[1], RTLD_NOW);
  if (!library) {
    fprintf(stderr, "ending_host: %s\n", dlerror());
    return 90;
  }
  int32_t (*findDevice)(int32_t*) = (int32_t (*)(int32_t*))Bind(library, "FindDevice");
  int32_t (*initialise)(int32_t) = (int32_t (*)(int32_t))Bind(library, "Initialise");
  int32_t (*deviceCommand)(int32_t, int32_t, CommandRecord*) =
      (int32_t (*)(int32_t, int32_t, CommandRecord*))Bind(library, "DeviceCommand");
  int32_t (*readLine)(int32_t, char*, int32_t, uint32_t) =
      (int32_t (*)(int32_t, char*, int32_t, uint32_t))Bind(library, "ReadLine");

  int32_t index = -1;
  const int32_t found = findDevice(&index);
  if (strcmp(situation, "no-driver") == 0) {
    if (found != 0) return 92;
  } else if (found != 1 || index != 0) {
    return 92;
  }
  if (strcmp(situation, "streaming") == 0) {
    CommandRecord record;
    memset(&record, 0, sizeof record);
    record.argument = 5;
    if (initialise(index) != 1) return 93;
    if (deviceCommand(index, VOZI_ENABLE_CHANNEL, &record) != 1) return 94;
    if (deviceCommand(index, VOZI_START_STREAM, &record) != 1) return 94;
    char line[64];
    for (int n = 0; n < 5; ++n) {
      if (readLine(index, line, sizeof line, 2000) != 1) return 95;
    }
  }

  if (strcmp(ending, "exit") == 0) EndByExit(code);
  if (strcmp(ending, "dlclose") == 0) {
    if (dlclose(library) != 0) return 96;
    SleepMs(300); /* a thread left behind in the unloaded code would crash now */
  }
  return code;
}
