#include "vozi_sim/sim_config.h"
