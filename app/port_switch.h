// The switches live with the toolkit-free core, which the service shares; the bar's includes find
// them here.
#pragma once

#include "timecode/port_switch.h"
