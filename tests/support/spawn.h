#pragma once
#include "support/process.h"
