// The four frame streams, in the order infrared, depth, visible, histogram:
// thread names and entries, the host service, its stream-start code and data
// type, and the producer's exit and drop lines.
#include "driver/frame_streams.h"

// clang-format off
const PZFrameStreamDesc PZFrameStream_table[PZFrameStream_Count] = {
    // producer            entry           consumer           entry            sid  start code  data type
    {"IR Stream",          &irStream,      "IR Frame CB",      &frameCbWrapper, 3,   0x3000001,  0x3000000,
     "IR Stream thread exiting\n",          "Dropping IR frame (Client not processing fast enough)\n"},
    {"Depth Stream",       &depthStream,   "Depth Frame CB",   &frameCbWrapper, 4,   0x4000001,  0x4000000,
     "Depth Stream thread exiting\n",       "Dropping depth frame (Client not processing fast enough)\n"},
    {"Visible Stream",     &visibleStream, "Visible Frame CB", &frameCbWrapper, 5,   0x5000001,  0x5000007,
     "Visible Cam Stream thread exiting\n", "Dropping visible frame (Client not processing fast enough)\n"},
    {"Histogram Stream",   &histStream,    "Histogram CB",     &histCbWrapper,  7,   0x7000001,  0x0000000,
     "Histogram stream thread exiting\n",   "Dropping hist frame (Client not processing fast enough)\n"},
};
// clang-format on
