#pragma once
#include "support/service_rig.h"
namespace station_test { using SimProcess = BoardSim; }
