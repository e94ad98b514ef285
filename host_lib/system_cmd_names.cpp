// Command names printed in the services' log lines. Data only: one row per
// code, in code order, so that the list can be checked line by line.
#include "host_lib/system_svc.h"

namespace {

constexpr VPU_CMDG_cmdNameT kCmdNames[] = {
    {0x00000001, "VPU_CMDG_FREE_BUF_E"},
    {0x01000001, "SYSTEM_GET_VERSION_E"},
    {0x01000002, "SYSTEM_RD_REG_E"},
    {0x01000003, "SYSTEM_WR_REG_E"},
    {0x01000004, "SYSTEM_DB_CONTROL_E"},
    {0x01000005, "SYSTEM_KEEP_ALIVE_E"},
    {0x01000006, "SYSTEM_REGISTER_EVT_E"},
    {0x01000007, "SYSTEM_GET_STATS_E"},
    {0x01000009, "SYSTEM_SENSOR_SET_CFG"},
    {0x0100000A, "SYSTEM_SENSOR_GET_CFG"},
    {0x0100000B, "SYSTEM_SENSOR_EXPOSURE_SET_CFG"},
    {0x0100000C, "SYSTEM_SENSOR_EXPOSURE_GET_CFG"},
    {0x0100000D, "SYSTEM_SENSOR_GAIN_SET_CFG"},
    {0x0100000E, "SYSTEM_SENSOR_GAIN_GET_CFG"},
    {0x0100000F, "SYSTEM_IAE_SET_CONFIG"},
    {0x01000010, "SYSTEM_IAE_GET_CONFIG"},
    {0x01000011, "SYSTEM_DPE_SET_CONFIG_E"},
    {0x01000012, "SYSTEM_DPE_GET_CONFIG_E"},
    {0x01000013, "SYSTEM_FLASH_ERASE_BLOCK_E"},
    {0x01000014, "SYSTEM_FLASH_GET_SIZE_E"},
    {0x02000001, "LOGGER_SET_PARAMS_E"},
    {0x02000002, "LOGGER_GET_PARAMS_E"},
    {0x03000001, "VIDEO_STREAM_START_E"},
    {0x03000002, "VIDEO_STREAM_STOP_E"},
    {0x04000001, "DEPTH_STREAM_START_E"},
    {0x04000002, "DEPTH_STREAM_STOP_E"},
    {0x05000001, "WEBCAM_STREAM_START_E"},
    {0x05000002, "WEBCAM_STREAM_STOP_E"},
    {0x06000001, "INJECT_STREAM_START_E"},
    {0x06000002, "INJECT_STREAM_STOP_E"},
    {0x07000004, "VPU_CMDG_ALG_STREAM_LAST_E"},
};

}  // namespace

const std::span<const VPU_CMDG_cmdNameT> VPU_CMDG_cmdNameTable{kCmdNames};

const char* VPU_CMDG_cmdToString(uint32_t code) {
    for (const VPU_CMDG_cmdNameT& row : kCmdNames)
        if (row.code == code) return row.name;
    return "INVALID_CMD";
}
