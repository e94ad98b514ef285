// Ioctl marshalling: the per-context descriptor table and the conversions
// between host records and their packed little-endian wire form.
#include "host_lib/marshal.h"

#include <cstdlib>
#include <cstring>

#include "runtime/context.h"
#include "runtime/logger.h"

namespace {

// Expands the table's rows into the fixed layout, sets the end marks and
// computes the marshalled sizes and each block's largest sizes. The rows were
// checked when the table compiled, so every row fits its entry.
void MARSHALP_buildTable(MARSHALG_tableT& table) {
    std::memset(&table, 0, sizeof(table));
    const MARSHALP_tableSourceT& source = MARSHALP_getTableSource();
    for (size_t r = 0; r < source.numRows; ++r) {
        const MARSHALP_tableRowT& row = source.rows[r];
        MARSHALG_entryT& entry = table.blocks[VPU_CMDG_sidOf(row.code)].entries[VPU_CMDG_numberOf(row.code) - 1];
        entry.hostSize = row.hostSize;
        MARSHALP_forEachField(row.fields, [&](uint32_t size, uint32_t offset, uint32_t kind) {
            if (entry.numFields >= MARSHALG_MAX_FIELDS) return;
            entry.fields[entry.numFields++] = MARSHALG_fieldDescT{size, offset, kind};
            entry.marshalledSize += size;
        });
    }
    for (uint32_t sid = 0; sid < MARSHALG_NUM_SERVICES; ++sid) {
        MARSHALG_blockT& block = table.blocks[sid];
        const uint32_t last = source.lastEntry[sid];
        if (last < MARSHALG_NUM_CODES) block.entries[last].endMark = MARSHALG_END_MARK;
        for (uint32_t i = 0; i < MARSHALG_NUM_CODES && block.entries[i].endMark == 0; ++i) {
            if (block.entries[i].hostSize > block.maxHostSize) block.maxHostSize = block.entries[i].hostSize;
            if (block.entries[i].marshalledSize > block.maxMarshalledSize)
                block.maxMarshalledSize = block.entries[i].marshalledSize;
        }
    }
}

// Slot constructor: the table is built while the slot is created, so every
// later lookup reads a finished, unchanging table without a lock.
void* MARSHALP_newContext(void*) {
    auto* table = static_cast<MARSHALG_tableT*>(std::calloc(1, sizeof(MARSHALG_tableT)));
    if (table != nullptr) MARSHALP_buildTable(*table);
    return table;
}

const MARSHALG_tableT& MARSHALP_table() {
    return *static_cast<const MARSHALG_tableT*>(PZContext_GetSlot(PZContext_GetCurrent(),
                                                                  PZContext_FixedKey(PZ_SLOT_MARSHAL),
                                                                  &MARSHALP_newContext, nullptr, &PZContext_FreeDeleter));
}

// Entries walked before a block's end mark.
uint32_t MARSHALP_blockCount(const MARSHALG_blockT& block) {
    uint32_t count = 0;
    while (count < MARSHALG_NUM_CODES && block.entries[count].endMark == 0) ++count;
    return count;
}

// The entry of a code, or null when the code is not one of the table's: a
// service id above 9, command number 0, or a number past the block's end.
const MARSHALG_entryT* MARSHALP_findEntry(uint32_t code) {
    const uint32_t sid = VPU_CMDG_sidOf(code);
    const uint32_t number = VPU_CMDG_numberOf(code);
    if (sid >= MARSHALG_NUM_SERVICES || number < 1 || number > MARSHALG_NUM_CODES) return nullptr;
    const MARSHALG_blockT& block = MARSHALP_table().blocks[sid];
    if (number > MARSHALP_blockCount(block)) return nullptr;
    return &block.entries[number - 1];
}

void MARSHALP_putLe(uint8_t* bytes, uint64_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t MARSHALP_getLe(const uint8_t* bytes, uint32_t size) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < size; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return value;
}

// Reads a host scalar of 1, 2, 4 or 8 bytes in host byte order.
uint64_t MARSHALP_readHost(const uint8_t* field, uint32_t size) {
    switch (size) {
        case 1: return *field;
        case 2: { uint16_t v; std::memcpy(&v, field, 2); return v; }
        case 4: { uint32_t v; std::memcpy(&v, field, 4); return v; }
        default: { uint64_t v; std::memcpy(&v, field, 8); return v; }
    }
}

void MARSHALP_writeHost(uint8_t* field, uint64_t value, uint32_t size) {
    switch (size) {
        case 1: *field = static_cast<uint8_t>(value); break;
        case 2: { const auto v = static_cast<uint16_t>(value); std::memcpy(field, &v, 2); break; }
        case 4: { const auto v = static_cast<uint32_t>(value); std::memcpy(field, &v, 4); break; }
        default: std::memcpy(field, &value, 8); break;
    }
}

constexpr bool MARSHALP_isScalarSize(uint32_t size) { return size == 1 || size == 2 || size == 4 || size == 8; }

// Walks the entry's descriptors, moving each field between its host offset
// and the next wire position. The caller has checked that the wire buffer
// holds the entry's marshalled size and the host record its host size.
void MARSHALP_convertParams(uint32_t direction, const MARSHALG_entryT& entry, uint8_t* host, uint8_t* wire) {
    uint32_t wireOffset = 0;
    for (uint32_t i = 0; i < entry.numFields; ++i) {
        const MARSHALG_fieldDescT field = entry.fields[i];
        uint8_t* hostField = host + field.offset;
        uint8_t* wireField = wire + wireOffset;
        if (field.kind == MARSHALG_FIELD_RAW_E) {
            if (direction == MARSHALG_MARSHAL_E)
                std::memcpy(wireField, hostField, field.size);
            else
                std::memcpy(hostField, wireField, field.size);
        } else if (MARSHALP_isScalarSize(field.size)) {
            if (direction == MARSHALG_MARSHAL_E)
                MARSHALP_putLe(wireField, MARSHALP_readHost(hostField, field.size), field.size);
            else
                MARSHALP_writeHost(hostField, MARSHALP_getLe(wireField, field.size), field.size);
        }
        wireOffset += field.size;
    }
}

}  // namespace

void MARSHALP_tblInit() {
    const MARSHALG_tableT& table = MARSHALP_table();
    for (uint32_t sid = 0; sid < MARSHALG_NUM_SERVICES; ++sid) {
        const MARSHALG_blockT& block = table.blocks[sid];
        const uint32_t count = MARSHALP_blockCount(block);
        for (uint32_t i = 0; i < count; ++i) {
            const MARSHALG_entryT& entry = block.entries[i];
            LOGG_PRINT(LOG_DEBUG_E, 0, "  [%d] params=%d, size=%d(marshalled=%d)\n", static_cast<int>(i),
                       static_cast<int>(entry.numFields), static_cast<int>(entry.hostSize),
                       static_cast<int>(entry.marshalledSize));
        }
        LOGG_PRINT(LOG_DEBUG_E, 0, "sid %d total: %d ioctls max=%d(marshalled=%d)\n", static_cast<int>(sid),
                   static_cast<int>(count), static_cast<int>(block.maxHostSize),
                   static_cast<int>(block.maxMarshalledSize));
    }
}

bool MARSHALG_convert(uint32_t direction, uint32_t code, void* hostRecord, void* wire, uint32_t wireLength,
                      uint32_t* lengthOut) {
    if (direction != MARSHALG_MARSHAL_E && direction != MARSHALG_UNMARSHAL_E) return false;
    const MARSHALG_entryT* entry = MARSHALP_findEntry(code);
    if (entry == nullptr) return false;
    if (hostRecord != nullptr && wire != nullptr) {
        if (wireLength < entry->marshalledSize) return false;
        auto* host = static_cast<uint8_t*>(hostRecord);
        if (direction == MARSHALG_UNMARSHAL_E) std::memset(host, 0, entry->hostSize);
        MARSHALP_convertParams(direction, *entry, host, static_cast<uint8_t*>(wire));
    }
    if (lengthOut != nullptr)
        *lengthOut = direction == MARSHALG_MARSHAL_E ? entry->marshalledSize : entry->hostSize;
    return true;
}

bool MARSHALG_isKnownCode(uint32_t code) { return MARSHALP_findEntry(code) != nullptr; }

bool MARSHALG_isHostOnlyCode(uint32_t code) {
    const MARSHALP_tableSourceT& source = MARSHALP_getTableSource();
    for (size_t i = 0; i < source.numHostOnlyCodes; ++i)
        if (source.hostOnlyCodes[i] == code) return true;
    return false;
}

uint32_t MARSHALG_getMarshalledSize(uint32_t code) {
    const MARSHALG_entryT* entry = MARSHALP_findEntry(code);
    return entry != nullptr ? entry->marshalledSize : 0;
}

uint32_t MARSHALG_getIoctlSize(uint32_t code) {
    const MARSHALG_entryT* entry = MARSHALP_findEntry(code);
    return entry != nullptr ? entry->hostSize : 0;
}

uint32_t MARSHALG_getMaxSize(uint32_t sid) {
    const MARSHALG_tableT& table = MARSHALP_table();
    const uint32_t common = table.blocks[VPUG_SID_SVC_MNGR].maxHostSize;
    if (sid >= MARSHALG_NUM_SERVICES) return common;
    const uint32_t own = table.blocks[sid].maxHostSize;
    return own > common ? own : common;
}

uint32_t MARSHALG_getMaxMarshalledSize(uint32_t sid) {
    if (sid >= MARSHALG_NUM_SERVICES) return 0;
    return MARSHALP_table().blocks[sid].maxMarshalledSize;
}

void MARSHALG_convertHdr(uint32_t direction, uint32_t* word, uint8_t* bytes) {
    if (direction == MARSHALG_MARSHAL_E)
        MARSHALP_putLe(bytes, *word, 4);
    else
        *word = static_cast<uint32_t>(MARSHALP_getLe(bytes, 4));
}

void MARSHALP_convert64(uint32_t direction, uint64_t* value, uint8_t* bytes) {
    if (direction == MARSHALG_MARSHAL_E)
        MARSHALP_putLe(bytes, *value, 8);
    else
        *value = MARSHALP_getLe(bytes, 8);
}
