// Placeholder until the regional settings are read: UTF-8.
#include "text/host_code_page.h"

uint32_t HostCodePage() { return 65001; }
