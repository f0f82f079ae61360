#pragma once

#include <cstdint>
#include <memory>

#include "station_types.h"
#include "task/task.h"

namespace station_center {

// The task that serves `request`, made with `context`; null for a type that has
// no task.
std::shared_ptr<Task> MakeTask(const TaskContext& context, const StationSrvReq& request);

}  // namespace station_center
