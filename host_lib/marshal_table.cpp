// The ioctl descriptor table: one row per command code that has a parameter
// record. Each row gives the code, the host record's size and its fields in
// wire order as "size:offset" ("r" marks raw bytes, "NxS:O" stands for N
// consecutive S-byte fields from offset O), and the wire size where it is
// fixed. Codes inside a block's range without a row are empty records.
//
// The rows are checked when this file compiles: every field lies inside its
// host record, scalar sizes are 0, 1, 2, 4 or 8, the wire sizes add up, and
// every code falls inside its block.
#include <array>
#include <iterator>

#include "host_lib/marshal.h"

namespace {

constexpr uint32_t NS = MARSHALP_NOT_STATED;

// clang-format off
constexpr MARSHALP_tableRowT kRows[] = {
    // code         host  fields                                                            wire
    // --- service 0: common codes ---------------------------------------------------------------
    {0x00000001,    8,    "8:0",                                                            NS},  // return a delivered buffer (host only)
    {0x00000002,    4,    "4:0",                                                            NS},  // open a service (sid)
    {0x00000003,    4,    "4:0",                                                            NS},  // close a service (sid)
    {0x00000004,   56,    "8:0 2:20 4:24 8:32 4:40 4:44",                                   30},
    {0x00000005,   32,    "4:0 4:4 4:8 8:16 8:24",                                          NS},  // send a buffer in chunks
    {0x00000006,    4,    "4:0",                                                            NS},  // wait for a chunk acknowledgement
    {0x00000007,   32,    "4:0 2:4 2:6 2:8 4:12 4:16 4:20 8:24",                            30},
    {0x00000008,   20,    "4:0 2:4 2:6 4:8 4:12 4:16",                                      NS},  // LUT chunk header
    {0x00000009,   16,    "4:0 2:4 4:8 4:12",                                               NS},  // CEVA application chunk header
    {0x0000000A,   16,    "4:0 2:4 4:8 4:12",                                               NS},  // buffer chunk header
    {0x0000000B,   12,    "2:0 4:4 4:8",                                                    NS},  // read-buffer chunk header
    {0x0000000C,    8,    "8:0",                                                            NS},  // get the read function (host only)
    {0x0000000D,   16,    "2:0 2:2 4:4 4:8 4:12",                                           NS},  // flash chunk header (write)
    {0x0000000E,   16,    "2:0 2:2 4:4 4:8 4:12",                                           NS},  // flash chunk header (read)
    {0x0000000F,    4,    "4:0",                                                            NS},  // keep-alive
    {0x00000010,    4,    "4:0",                                                            NS},  // pass-through
    // --- service 1: SYSTEM (entries 6 and 7 empty) ---------------------------------------------
    {0x01000001,   76,    "4:0 4:4 16:8r 16:24r 16:40r 16:56r 4:72 0:76 0:76",              76},
    {0x01000002,   48,    "11x4:0 4x1:44",                                                  48},
    {0x01000003,   56,    "13x4:0 4x1:52",                                                  56},
    {0x01000004,    4,    "4:0",                                                            NS},
    {0x01000005,    4,    "4:0",                                                            NS},
    {0x01000008,    8,    "4:0 4:4",                                                        NS},
    {0x01000009,   80,    "10x4:0 4x2:40",                                                  48},
    {0x0100000A,   80,    "10x4:0 4x2:40",                                                  48},
    {0x0100000B,   12,    "4:0 4:4 4:8",                                                    NS},
    {0x0100000C,   12,    "4:0 4:4 4:8",                                                    NS},
    {0x0100000D,   20,    "4:0 4:4 4:8 4:12 4:16",                                          NS},
    {0x0100000E,   20,    "4:0 4:4 4:8 4:12 4:16",                                          NS},
    {0x0100000F,  800,    "79x4:0 141x2:316",                                              598},
    {0x01000010,  800,    "79x4:0 141x2:316",                                              598},
    {0x01000011,   84,    "12x4:0 6x2:48 7x1:60",                                           67},
    {0x01000012,   84,    "12x4:0 6x2:48 7x1:60",                                           67},
    {0x01000013,    4,    "4:0",                                                            NS},
    {0x01000014,    4,    "4:0",                                                            NS},
    {0x01000015,   16,    "4:0 8:8",                                                        NS},  // flash read
    {0x01000016,   16,    "4:0 4:4 8:8",                                                    NS},  // buffer read
    {0x01000017,   12,    "4:0 4:4 4:8",                                                    NS},
    // --- service 2: LOGGER (entries 3 and 4 empty) ---------------------------------------------
    {0x02000001,   16,    "4:0 1:4 1:5 1:6 4:8 1:12 1:13",                                  13},  // logger parameters (set)
    {0x02000002,   16,    "4:0 1:4 1:5 1:6 4:8 1:12 1:13",                                  13},  // logger parameters (get)
    {0x02000005,   12,    "4:0 4:4 4:8",                                                    NS},
    // --- service 3: VIDEO ----------------------------------------------------------------------
    {0x03000001,    8,    "4:0 4:4",                                                        NS},  // stream start
    {0x03000002,    4,    "4:0",                                                            NS},  // stream stop
    {0x03000003,  104,    "4:0 2:4 2:6 2:8 4:12 4:16 4:20 8:24 2:92 2:94 2:96 2:98 "
                          "2:80 2:82 2:84 2:86 2:32 2:34 4:36 4:40 4:44 4:48 "
                          "4:60 4:64 4:68 4:72 4:52 4:56",                                  90},  // frame header
    // --- service 4: DEPTH ----------------------------------------------------------------------
    {0x04000001,    8,    "4:0 4:4",                                                        NS},  // stream start
    {0x04000002,    4,    "4:0",                                                            NS},  // stream stop
    {0x04000003,   88,    "4:0 2:4 2:6 2:8 4:12 4:16 4:20 8:24 2:32 2:34 12x4:36 1:84 1:85", 84},  // frame header
    // --- service 5: WEBCAM ---------------------------------------------------------------------
    {0x05000001,    8,    "4:0 4:4",                                                        NS},  // stream start
    {0x05000002,    4,    "4:0",                                                            NS},  // stream stop
    {0x05000003,   56,    "4:0 2:4 2:6 2:8 4:12 4:16 4:20 8:24 2:32 2:34 4:36 4:40 4:44 4:48", 50},  // frame header
    // --- service 6: injection (entry 3 empty) --------------------------------------------------
    {0x06000001,    8,    "4:0 4:4",                                                        NS},  // stream start
    {0x06000002,    4,    "4:0",                                                            NS},  // stream stop
    {0x06000004,  112,    "4:0 4:4 1:8 1:9 102:10r",                                        NS},
    // --- service 7: ALG ------------------------------------------------------------------------
    {0x07000001,    8,    "4:0 4:4",                                                        NS},  // start
    {0x07000002,    8,    "4:0 4:4",                                                        NS},  // stop
    {0x07000003,   24,    "4:0 4:4 4:8 4:12 8:16",                                          NS},  // table request
    {0x07000004,   16,    "4:0 4:4 4:8 4:12",                                               NS},  // table entry message
    {0x07000005,   16,    "4:0 4:4 8:8",                                                    NS},
    {0x07000006, 2072,    "4:12 4:16 4:8 1024:20r 1024:1044r",                            2060},  // result
    // --- service 8 (entries 3 and 6 to 10 empty) -----------------------------------------------
    {0x08000001,    8,    "4:0 4:4",                                                        NS},
    {0x08000002,    4,    "4:0",                                                            NS},
    {0x08000004,   16,    "4:0 4:4 8:8",                                                    NS},
    {0x08000005,   12,    "4:0 2:4 2:6 2:8 2:10",                                           NS},
    // --- service 9: POS_SENSORS (entries 4, 8 and 9 empty) -------------------------------------
    {0x09000001,    8,    "4:0r 4:4r",                                                      NS},  // configuration
    {0x09000002,    4,    "4:0",                                                            NS},  // start
    {0x09000003,    4,    "4:0",                                                            NS},  // stop
    {0x09000005,   32,    "2:0 2:2 8:8 4:16 4:20 4:24 4:28",                                28},  // sample
    {0x09000006,   12,    "4:0 4:4 1:8",                                                    NS},
    {0x09000007,   12,    "4:0 4:4 4:8",                                                    NS},
};

// The last entry of each block, by service id 0..9.
constexpr uint32_t kLastEntry[MARSHALG_NUM_SERVICES] = {16, 23, 5, 3, 3, 3, 4, 6, 10, 9};

// Codes whose record holds a host address: they pass only between a host
// caller and its own service, and never cross the wire in either direction.
constexpr uint32_t kHostOnlyCodes[] = {
    0x00000001,  // return a delivered buffer: the chain's address
    0x0000000C,  // get the read function: the function's address
};
// clang-format on

constexpr bool rowIsSound(const MARSHALP_tableRowT& row) {
    const uint32_t sid = VPU_CMDG_sidOf(row.code);
    const uint32_t number = VPU_CMDG_numberOf(row.code);
    if (sid >= MARSHALG_NUM_SERVICES || number < 1 || number > kLastEntry[sid]) return false;
    uint32_t count = 0;
    uint32_t wire = 0;
    bool inside = true;
    const bool parsed = MARSHALP_forEachField(row.fields, [&](uint32_t size, uint32_t offset, uint32_t kind) {
        ++count;
        wire += size;
        if (static_cast<uint64_t>(offset) + size > row.hostSize) inside = false;
        if (kind == MARSHALG_FIELD_SCALAR_E && size != 0 && size != 1 && size != 2 && size != 4 && size != 8)
            inside = false;
    });
    if (!parsed || !inside || count == 0 || count > MARSHALG_MAX_FIELDS) return false;
    return row.statedMarshalledSize == NS || row.statedMarshalledSize == wire;
}

constexpr bool allRowsSound() {
    for (const auto& row : kRows)
        if (!rowIsSound(row)) return false;
    return true;
}

// Rows strictly ascending: one row per code, findable in block order.
constexpr bool rowsAscending() {
    for (size_t i = 1; i < std::size(kRows); ++i)
        if (kRows[i - 1].code >= kRows[i].code) return false;
    return true;
}

constexpr bool lastEntriesFit() {
    for (uint32_t last : kLastEntry)
        if (last < 1 || last > MARSHALG_NUM_CODES) return false;
    return true;
}

static_assert(allRowsSound(), "a descriptor row is malformed, leaves its host record or misses its wire size");
static_assert(rowsAscending(), "descriptor rows must be unique and in code order");
static_assert(lastEntriesFit(), "a block's last entry must lie in 1..30");

constexpr MARSHALP_tableSourceT kSource{kRows, std::size(kRows), kLastEntry, kHostOnlyCodes,
                                        std::size(kHostOnlyCodes)};

}  // namespace

const MARSHALP_tableSourceT& MARSHALP_getTableSource() { return kSource; }
