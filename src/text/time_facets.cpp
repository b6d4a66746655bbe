#include "text/time_facets.h"

namespace NRV {

std::locale::id time_get::id;

}  // namespace NRV
