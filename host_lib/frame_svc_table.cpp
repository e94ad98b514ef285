// The frame-service family as data: one row per service, and per service the
// fields of its header record. Check each line against the family's list.
#include <cstddef>

#include "host_lib/frame_svc.h"

namespace {

#define FIELD(rec, name, at) {sizeof(rec::name), offsetof(rec, name), at}

// DEPTH_frameHdrRec: u16 (32), u16 (34), u32 (36) ... u32 (80), byte (84), byte (85).
constexpr FRAME_SVCG_hdrFieldT kDepthFields[] = {
    FIELD(DEPTH_frameHdrRec, f32, 32), FIELD(DEPTH_frameHdrRec, f34, 34), FIELD(DEPTH_frameHdrRec, f36, 36),
    FIELD(DEPTH_frameHdrRec, f40, 40), FIELD(DEPTH_frameHdrRec, f44, 44), FIELD(DEPTH_frameHdrRec, f48, 48),
    FIELD(DEPTH_frameHdrRec, f52, 52), FIELD(DEPTH_frameHdrRec, f56, 56), FIELD(DEPTH_frameHdrRec, f60, 60),
    FIELD(DEPTH_frameHdrRec, f64, 64), FIELD(DEPTH_frameHdrRec, f68, 68), FIELD(DEPTH_frameHdrRec, f72, 72),
    FIELD(DEPTH_frameHdrRec, f76, 76), FIELD(DEPTH_frameHdrRec, f80, 80), FIELD(DEPTH_frameHdrRec, f84, 84),
    FIELD(DEPTH_frameHdrRec, f85, 85),
};

// VIDEO_frameHdrRec: u16 (32), u16 (34), u32 (36) ... u32 (72), u16 (92), (94), (96), (98), (80), (82), (84), (86).
constexpr FRAME_SVCG_hdrFieldT kVideoFields[] = {
    FIELD(VIDEO_frameHdrRec, f32, 32), FIELD(VIDEO_frameHdrRec, f34, 34), FIELD(VIDEO_frameHdrRec, f36, 36),
    FIELD(VIDEO_frameHdrRec, f40, 40), FIELD(VIDEO_frameHdrRec, f44, 44), FIELD(VIDEO_frameHdrRec, f48, 48),
    FIELD(VIDEO_frameHdrRec, f52, 52), FIELD(VIDEO_frameHdrRec, f56, 56), FIELD(VIDEO_frameHdrRec, f60, 60),
    FIELD(VIDEO_frameHdrRec, f64, 64), FIELD(VIDEO_frameHdrRec, f68, 68), FIELD(VIDEO_frameHdrRec, f72, 72),
    FIELD(VIDEO_frameHdrRec, f92, 92), FIELD(VIDEO_frameHdrRec, f94, 94), FIELD(VIDEO_frameHdrRec, f96, 96),
    FIELD(VIDEO_frameHdrRec, f98, 98), FIELD(VIDEO_frameHdrRec, f80, 80), FIELD(VIDEO_frameHdrRec, f82, 82),
    FIELD(VIDEO_frameHdrRec, f84, 84), FIELD(VIDEO_frameHdrRec, f86, 86),
};

// WEBCAM_frameHdrRec: u16 (32), u16 (34), u32 (36), u32 (40), u32 (44), u32 (48).
constexpr FRAME_SVCG_hdrFieldT kWebcamFields[] = {
    FIELD(WEBCAM_frameHdrRec, f32, 32), FIELD(WEBCAM_frameHdrRec, f34, 34), FIELD(WEBCAM_frameHdrRec, f36, 36),
    FIELD(WEBCAM_frameHdrRec, f40, 40), FIELD(WEBCAM_frameHdrRec, f44, 44), FIELD(WEBCAM_frameHdrRec, f48, 48),
};

#undef FIELD

constexpr uint32_t countOf(const auto& array) { return static_cast<uint32_t>(std::size(array)); }

}  // namespace

// clang-format off
const FRAME_SVCG_descT FRAME_SVCG_family[FRAME_SVCG_NUM_MEMBERS] = {
    // name     sid slot          conn ctrl data pool  bufSize  count start       stop        frame
    {"DEPTH",   4,  PZ_SLOT_DEPTH,  2,  7,   8,   4,   2457728, 4,    0x4000001,  0x4000002,  0x4000003,
     // data types             word   success    unknown    wrong type  sink bytes
     0x4000000, 0x4FFFFFF,     "DPE", 0x10A0000, 0x10A0002, 0x10A0014,  84,
     kDepthFields, countOf(kDepthFields), sizeof(DEPTH_frameHdrRec),
     "start DEPTH stream failed\n", "stop DEPTH stream failed\n", "DEPTH service statistics:\n"},
    {"VIDEO",   3,  PZ_SLOT_VIDEO,  1,  5,   6,   3,   4917376, 4,    0x3000001,  0x3000002,  0x3000003,
     0x3000000, 0x3FFFFFF,     "IAE", 0x10B0000, 0x10B0002, 0x10B0014,  100,
     kVideoFields, countOf(kVideoFields), sizeof(VIDEO_frameHdrRec),
     "start video stream failed\n", "stop video stream failed\n", "Video service statistics:\n"},
    {"WEBCAM",  5,  PZ_SLOT_WEBCAM, 3,  9,   10,  5,   2457728, 4,    0x5000001,  0x5000002,  0x5000003,
     0x5000000, 0x5FFFFFF,     "IAE", 0x1290000, 0x1290002, 0x1290014,  52,
     kWebcamFields, countOf(kWebcamFields), sizeof(WEBCAM_frameHdrRec),
     "start WEBCAM stream failed\n", "stop WEBCAM stream failed\n", "WEBCAM service statistics:\n"},
};
// clang-format on
