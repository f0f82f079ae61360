#include "task_factory.h"

#include "task/add_water_task.h"
#include "task/auto_charge_task.h"
#include "task/disinfectant_prepare_task.h"
#include "task/drain_water_task.h"
#include "task/dry_task.h"
#include "task/dust_collect_task.h"
#include "task/heat_wire_task.h"
#include "task/liquid_prepare_task.h"
#include "task/manual_charge_task.h"
#include "task/reset_station_task.h"
#include "task/sewage_drain_pump_task.h"
#include "task/uv_task.h"
#include "task/water_spray_task.h"

namespace station_center {

std::shared_ptr<Task> MakeTask(const TaskContext& context, const StationSrvReq& request) {
  const auto& supply = request.supply_material_req;
  switch (request.task_type) {
    case TASK_TYPE_DISINFECTANT_PREPARE:
      return std::make_shared<DisinfectantPrepareTask>(context, request.prepare_disinfectant_req);
    case TASK_TYPE_CLEAN_LIQUID_PREPARE:
    case TASK_TYPE_PERFUME_PREPARE:
      return std::make_shared<LiquidPrepareTask>(context, request.task_type, request.prepare_disinfectant_req);
    case TASK_TYPE_DRAIN_WATER:
      return std::make_shared<DrainWaterTask>(context);
    case TASK_TYPE_ADD_WATER:
      return std::make_shared<AddWaterTask>(context, supply);
    case TASK_TYPE_DUST_COLLECT:
      return std::make_shared<DustCollectTask>(context, supply);
    case TASK_TYPE_WATER_SPRAY:
      return std::make_shared<WaterSprayTask>(context, supply);
    case TASK_TYPE_SEWAGE_DRAIN_PUMP:
      return std::make_shared<SewageDrainPumpTask>(context, supply);
    case TASK_TYPE_DRY:
      return std::make_shared<DryTask>(context, supply);
    case TASK_TYPE_HEAT_WIRE:
      return std::make_shared<HeatWireTask>(context, supply);
    case TASK_TYPE_AUTO_CHARGE:
      return std::make_shared<AutoChargeTask>(context, supply);
    case TASK_TYPE_MANUAL_CHARGE:
      return std::make_shared<ManualChargeTask>(context);
    case TASK_TYPE_UV:
      return std::make_shared<UVTask>(context, supply);
    case TASK_TYPE_RESET_STATION:
      return std::make_shared<ResetStationTask>(context);
    default:
      return nullptr;
  }
}

}  // namespace station_center
