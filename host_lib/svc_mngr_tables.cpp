// The service manager's four tables as data. Check each line against the
// lists of connections, pools, channels and service rows.
#include "host_lib/alg_svc.h"
#include "host_lib/frame_svc.h"
#include "host_lib/logger_svc.h"
#include "host_lib/pos_sensors_svc.h"
#include "host_lib/svc_mngr.h"
#include "host_lib/system_svc.h"
#include "host_lib/usb_ctrl_com.h"

// clang-format off

// Connection i rides USB interface i: 0 control, 1 infrared, 2 depth, 3 visible.
const SVC_MNGR_connRowT SVC_MNGR_connTable[SVC_MNGRG_NUM_CONNS] = {
    // type                     interface  interface ops              ring
    {SVC_MNGRG_CONN_TYPE_USB,   0,         &USB_CTRL_COMG_getIfOps,   1024},
    {SVC_MNGRG_CONN_TYPE_USB,   1,         &USB_CTRL_COMG_getIfOps,   1024},
    {SVC_MNGRG_CONN_TYPE_USB,   2,         &USB_CTRL_COMG_getIfOps,   1024},
    {SVC_MNGRG_CONN_TYPE_USB,   3,         &USB_CTRL_COMG_getIfOps,   1024},
};

// All pools carry their data inline; only pool 2 clears a buffer's data when
// it is handed out.
const SVC_MNGR_poolRowT SVC_MNGR_poolTable[SVC_MNGRG_NUM_POOLS] = {
    // type                       buffer size  count  reset on alloc
    {MEM_POOLG_BUF_TYPE_HEAP_E,   3000,        128,   0},   // 0
    {MEM_POOLG_BUF_TYPE_HEAP_E,   16512,       80,    0},   // 1
    {MEM_POOLG_BUF_TYPE_HEAP_E,   4915328,     4,     1},   // 2
    {MEM_POOLG_BUF_TYPE_HEAP_E,   4917376,     4,     0},   // 3
    {MEM_POOLG_BUF_TYPE_HEAP_E,   2457728,     4,     0},   // 4
    {MEM_POOLG_BUF_TYPE_HEAP_E,   2457728,     4,     0},   // 5
    {MEM_POOLG_BUF_TYPE_HEAP_E,   9344,        2,     0},   // 6
    {MEM_POOLG_BUF_TYPE_HEAP_E,   592,         512,   0},   // 7
    {MEM_POOLG_BUF_TYPE_HEAP_E,   42000,       32,    0},   // 8
    {MEM_POOLG_BUF_TYPE_HEAP_E,   640,         128,   0},   // 9
};

const SVC_MNGR_chanRowT SVC_MNGR_chanTable[SVC_MNGRG_NUM_CHANNELS] = {
    // pool  connection
    {0,      0},   // 0
    {0,      0},   // 1
    {1,      0},   // 2
    {0,      0},   // 3
    {2,      0},   // 4
    {0,      1},   // 5
    {3,      1},   // 6
    {0,      2},   // 7
    {4,      2},   // 8
    {0,      3},   // 9
    {5,      3},   // 10
    {0,      0},   // 11
    {6,      0},   // 12
    {0,      0},   // 13
    {7,      0},   // 14
    {0,      0},   // 15
    {8,      0},   // 16
    {0,      0},   // 17
    {9,      0},   // 18
};

// Channel 1 is both the manager's data channel and SYSTEM's control channel:
// rows are initialised in order, so SYSTEM's handler is the one that stays.
const SVC_MNGR_svcRowT SVC_MNGR_svcTable[SVC_MNGRG_NUM_SERVICES] = {
    // sid  operations               control  thread  queue  period ms  link  keep-alive channel
    {0,     &SVC_MNGRG_getOps,       0,       1,      16,    200,       1,    SERVICEG_CTRL_CHANNEL_E},
    {1,     &SYSTEMG_getOpsTable,    1,       2,      80,    200,       0,    SERVICEG_CTRL_CHANNEL_E},
    {2,     &LOGGERG_getOps,         13,      8,      96,    50,        0,    SERVICEG_CTRL_CHANNEL_E},
    {3,     &VIDEOG_getService,      5,       4,      16,    200,       0,    SERVICEG_CTRL_CHANNEL_E},
    {4,     &DEPTHG_getService,      7,       6,      16,    200,       0,    SERVICEG_CTRL_CHANNEL_E},
    {5,     &WEBCAMG_getService,     9,       5,      16,    200,       0,    SERVICEG_CTRL_CHANNEL_E},
    {6,     nullptr,                 3,       3,      100,   200,       0,    SERVICEG_CTRL_CHANNEL_E},
    {7,     &ALGG_getOps,            11,      7,      16,    200,       0,    SERVICEG_CTRL_CHANNEL_E},
    {8,     nullptr,                 15,      9,      16,    200,       0,    SERVICEG_CTRL_CHANNEL_E},
    {9,     &POS_SENSORSG_getOps,    17,      10,     16,    200,       0,    SERVICEG_CTRL_CHANNEL_E},
};

// clang-format on
