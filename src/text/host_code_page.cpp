// The host code page is the one the user's regional settings name; the first
// use sets those settings up.
#include "text/host_code_page.h"

#include "text/locale_info.h"

uint32_t HostCodePage() { return LocaleInfoInstance().CodePage(); }
