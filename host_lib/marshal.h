// Ioctl marshalling: converts a command's parameter record between the form
// the host holds (natural alignment, host byte order) and the packed
// little-endian form that travels behind the service header, driven by one
// descriptor table with an entry per command code. The same table gives the
// host size of each code's record and the largest record of each service.
//
// Codes that reach these functions may come from the peer, so every lookup is
// range-checked: an unknown code has size 0 and is never converted, and a
// conversion never reads or writes past the wire bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host_lib/host_api_records.h"

constexpr uint32_t MARSHALG_NUM_SERVICES = 10;    // one block per service id 0..9
constexpr uint32_t MARSHALG_NUM_CODES = 30;       // entries per block: command numbers 1..30
constexpr uint32_t MARSHALG_MAX_FIELDS = 220;     // descriptors per entry
constexpr uint32_t MARSHALG_END_MARK = 0x80000000u;  // on the first entry after a block's last one

enum MARSHALG_directionE : uint32_t {
    MARSHALG_UNMARSHAL_E = 0,  // wire -> host record
    MARSHALG_MARSHAL_E = 1,    // host record -> wire
};

enum MARSHALG_fieldKindE : uint32_t {
    MARSHALG_FIELD_SCALAR_E = 0,  // sizes 1, 2, 4, 8 change byte order; other sizes take room but copy nothing
    MARSHALG_FIELD_RAW_E = 1,     // bytes copied as they are
};

// The table as it is held per driver context. Its layout is fixed (the
// descriptors are packed to 16 bytes), so its size is asserted below.
#pragma pack(push, 4)
struct MARSHALG_fieldDescT {
    uint32_t size;    // bytes on the wire (and in the host record)
    uint64_t offset;  // byte offset in the host record
    uint32_t kind;    // MARSHALG_fieldKindE
};
#pragma pack(pop)

struct MARSHALG_entryT {
    MARSHALG_fieldDescT fields[MARSHALG_MAX_FIELDS];  // in wire order
    uint32_t numFields;
    uint32_t hostSize;
    uint32_t marshalledSize;  // computed when the table is built
    uint32_t endMark;         // 0, or MARSHALG_END_MARK past the block's last entry
};

struct MARSHALG_blockT {
    MARSHALG_entryT entries[MARSHALG_NUM_CODES];
    uint32_t maxHostSize;
    uint32_t maxMarshalledSize;
};

struct MARSHALG_tableT {
    MARSHALG_blockT blocks[MARSHALG_NUM_SERVICES];
};

static_assert(sizeof(MARSHALG_fieldDescT) == 16);
static_assert(offsetof(MARSHALG_fieldDescT, offset) == 4);
static_assert(offsetof(MARSHALG_fieldDescT, kind) == 12);
static_assert(sizeof(MARSHALG_entryT) == 3536);
static_assert(sizeof(MARSHALG_blockT) == 106088);
static_assert(sizeof(MARSHALG_tableT) == 1060880);

// Builds this context's copy of the table (marshalled sizes per entry, largest
// sizes per block) and logs every entry at DEBUG. The table is also built on
// first use, so lookups never see an empty table; the service manager runs
// this once at start-up for the log lines.
void MARSHALP_tblInit();

// Converts the parameter record of code.
//   direction   MARSHALG_MARSHAL_E (host -> wire) or MARSHALG_UNMARSHAL_E.
//   hostRecord  the host record; it must hold MARSHALG_getIoctlSize(code) bytes.
//   wire        the wire bytes; wireLength is how many the buffer holds (the
//               room when marshalling, the bytes received when unmarshalling).
//   lengthOut   the marshalled size when marshalling, the host size when
//               unmarshalling (may be null).
// With hostRecord or wire null only the length is computed. Returns false and
// writes nothing (length untouched) for an unknown code, an unknown direction,
// or wire bytes shorter than the code's marshalled size. Unmarshalling clears
// the host record first, so its padding never carries stale bytes.
bool MARSHALG_convert(uint32_t direction, uint32_t code, void* hostRecord, void* wire, uint32_t wireLength,
                      uint32_t* lengthOut);

// True for a code of the table: service id 0..9 and a command number from 1 up
// to the block's last entry (entries inside that range may be empty records).
bool MARSHALG_isKnownCode(uint32_t code);
// True for a code whose record is a host address (returning a buffer, getting
// the read function): meaningful only inside the host, so a message with such
// a code that arrives from the device is never acted on.
bool MARSHALG_isHostOnlyCode(uint32_t code);
// Wire size of code's record; 0 for an unknown code.
uint32_t MARSHALG_getMarshalledSize(uint32_t code);
// Host size of code's record; 0 for an unknown code.
uint32_t MARSHALG_getIoctlSize(uint32_t code);
// The larger of the largest host record of service 0 and of sid (service 0's
// alone for a sid above 9).
uint32_t MARSHALG_getMaxSize(uint32_t sid);
// The largest marshalled record of sid (0 for a sid above 9).
uint32_t MARSHALG_getMaxMarshalledSize(uint32_t sid);

// Little-endian word helpers of the boot layer, the connection layer and the
// service channels: direction 1 writes the value as little-endian bytes, any
// other direction reads the bytes into the value.
void MARSHALG_convertHdr(uint32_t direction, uint32_t* word, uint8_t* bytes);
void MARSHALP_convert64(uint32_t direction, uint64_t* value, uint8_t* bytes);

// The source of the table, one row per code that has a record, in the
// notation "size:offset" per field ("r" after a raw field, "NxS:O" for N
// consecutive fields of S bytes from offset O). Kept with its checks in its
// own file; the context copy above is built from it.
struct MARSHALP_tableRowT {
    uint32_t code;
    uint32_t hostSize;
    const char* fields;
    uint32_t statedMarshalledSize;  // MARSHALP_NOT_STATED when the row does not fix it
};
constexpr uint32_t MARSHALP_NOT_STATED = 0xFFFFFFFFu;

struct MARSHALP_tableSourceT {
    const MARSHALP_tableRowT* rows;
    size_t numRows;
    // Per service: the last entry of its block (the end mark goes on the next one).
    const uint32_t* lastEntry;
    const uint32_t* hostOnlyCodes;
    size_t numHostOnlyCodes;
};
const MARSHALP_tableSourceT& MARSHALP_getTableSource();

// Walks the fields of a row's notation, calling f(size, offset, kind) for each
// in wire order. Returns false on a malformed text (f may have been called for
// the fields before the fault). Usable at compile time, so the table's rows are
// checked when it is built.
template <typename F>
constexpr bool MARSHALP_forEachField(const char* text, F&& f) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    auto number = [&](const char*& p, uint32_t& out) {
        if (!isDigit(*p)) return false;
        uint64_t v = 0;
        while (isDigit(*p)) {
            v = v * 10 + static_cast<uint64_t>(*p - '0');
            if (v > 0xFFFFFFFFu) return false;
            ++p;
        }
        out = static_cast<uint32_t>(v);
        return true;
    };
    const char* p = text;
    while (*p != '\0') {
        if (*p == ' ') {
            ++p;
            continue;
        }
        uint32_t count = 1, size = 0, offset = 0;
        if (!number(p, size)) return false;
        if (*p == 'x') {
            ++p;
            count = size;
            if (count == 0 || !number(p, size)) return false;
        }
        if (*p != ':') return false;
        ++p;
        if (!number(p, offset)) return false;
        uint32_t kind = MARSHALG_FIELD_SCALAR_E;
        if (*p == 'r') {
            kind = MARSHALG_FIELD_RAW_E;
            ++p;
        }
        if (*p != ' ' && *p != '\0') return false;
        for (uint32_t i = 0; i < count; ++i) f(size, offset + i * size, kind);
    }
    return true;
}
