// Calibration text parser: a scanner over key=value tokens driven by a key
// table, the two key sets built over the caller's record, and the conversion
// that brings older texts to the newer texts' conventions.
#include "driver/calibration_parser.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>

#include "runtime/logger.h"

namespace {

constexpr std::string_view kVersionKey = "version";
constexpr std::string_view kDateKey = "calib_date";
// First line of some texts: "version <number>" without '=', so the first
// token's key is that line plus the next key.
constexpr std::string_view kVersionLinePrefix = "version ";
constexpr const char* kUnknownDate = "<Unknown date and time>";

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The text as given, cut at an embedded zero byte: a caller may hand over a
// terminated buffer whose length counts the terminator, or padding behind it.
std::string_view textView(const char* text, size_t length) {
    if (text == nullptr) return {};
    const void* zero = std::memchr(text, '\0', length);
    return {text, zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - text) : length};
}

// A leading '+' is accepted as the C library's conversions accept it.
std::string_view withoutPlus(std::string_view value) {
    if (value.size() > 1 && value[0] == '+' && value[1] != '-' && value[1] != '+') value.remove_prefix(1);
    return value;
}

// Decimal conversion of the value's leading number; a value that does not
// convert, or that lies outside int32, gives 0.
int32_t toInt32(std::string_view value) {
    value = withoutPlus(value);
    int32_t result = 0;
    auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), result, 10);
    (void)ptr;
    return ec == std::errc() ? result : 0;
}

// Floating-point conversion of the value's leading number; a value that does
// not convert, or whose magnitude no double holds, gives 0.
double toDouble(std::string_view value) {
    value = withoutPlus(value);
    double result = 0.0;
    auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), result);
    (void)ptr;
    return ec == std::errc() ? result : 0.0;
}

// The number after the first word of a "version <number>" key: decimal,
// hexadecimal with 0x or octal with a leading 0; -1 when none can be read.
int32_t versionFromLine(std::string_view key) {
    size_t i = 0;
    while (i < key.size() && !isBlank(key[i])) ++i;
    while (i < key.size() && isBlank(key[i])) ++i;
    std::string_view rest = key.substr(i);
    bool negative = false;
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        negative = rest[0] == '-';
        rest.remove_prefix(1);
    }
    int base = 10;
    if (rest.size() > 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(rest[2]))) {
        base = 16;
        rest.remove_prefix(2);
    } else if (!rest.empty() && rest[0] == '0') {
        base = 8;
    }
    int64_t magnitude = 0;
    auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude, base);
    (void)ptr;
    if (ec != std::errc()) return -1;
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return -1;
    return static_cast<int32_t>(value);
}

void storeString(void* destination, std::string_view value) {
    char* out = static_cast<char*>(destination);
    const size_t n = value.size() < PZ_CALIBRATION_DATE_SIZE - 1 ? value.size() : PZ_CALIBRATION_DATE_SIZE - 1;
    std::memcpy(out, value.data(), n);
    out[n] = '\0';
}

void store(const PZCalibrationKey& key, std::string_view value) {
    switch (key.type) {
    case PZCalibrationValue_Int32: *static_cast<int32_t*>(key.destination) = toInt32(value); break;
    case PZCalibrationValue_Double: *static_cast<double*>(key.destination) = toDouble(value); break;
    case PZCalibrationValue_String: storeString(key.destination, value); break;
    }
}

void applyDefault(const PZCalibrationKey& key) {
    switch (key.type) {
    case PZCalibrationValue_Int32: *static_cast<int32_t*>(key.destination) = -1; break;
    case PZCalibrationValue_Double:
        *static_cast<double*>(key.destination) = std::numeric_limits<double>::quiet_NaN();
        break;
    case PZCalibrationValue_String: static_cast<char*>(key.destination)[0] = '\0'; break;
    }
}

void applyToken(const PZCalibrationKey* keys, size_t count, std::string_view key, std::string_view value) {
    const bool versionLine = key.substr(0, kVersionLinePrefix.size()) == kVersionLinePrefix;
    for (size_t i = 0; i < count; ++i) {
        const std::string_view name = keys[i].name;
        if (key == name) {
            store(keys[i], value);
            return;
        }
        if (!versionLine) continue;
        if (name == kVersionKey && keys[i].type == PZCalibrationValue_Int32) {
            *static_cast<int32_t*>(keys[i].destination) = versionFromLine(key);
        } else if (name == kDateKey && keys[i].type == PZCalibrationValue_String) {
            storeString(keys[i].destination, value);
        }
    }
}

// Builds a scanner table over the record and the date buffer from a key set.
// useAltNames picks the second spelling of the keys that have two.
template <size_t N>
void buildKeys(const PZCalibrationKeyDef (&defs)[N], PZCalibration* calibration, char* date, bool useAltNames,
               PZCalibrationKey (&keys)[N]) {
    for (size_t i = 0; i < N; ++i) {
        const PZCalibrationKeyDef& def = defs[i];
        keys[i].name = useAltNames && def.altName != nullptr ? def.altName : def.name;
        keys[i].type = def.type;
        keys[i].destination = def.target == PZCalibrationTarget_Date
                                  ? static_cast<void*>(date)
                                  : static_cast<void*>(reinterpret_cast<char*>(calibration) + def.offset);
    }
}

void warnRefused(size_t refused) {
    if (refused == 0) return;
    LOGG_PRINT(LOG_WARN_E, 0, "Ignored %zu calibration token(s) longer than %zu characters\n", refused,
               PZ_CALIBRATION_TOKEN_MAX);
}

}  // namespace

int32_t PZCalibrationParser_ScanKeys(const char* text, size_t length, const PZCalibrationKey* keys, size_t count,
                                     size_t* refusedTokens) {
    for (size_t i = 0; i < count; ++i) applyDefault(keys[i]);
    size_t refused = 0;
    const std::string_view all = textView(text, length);
    size_t pos = 0;
    while (pos < all.size()) {
        const size_t equals = all.find('=', pos);
        if (equals == std::string_view::npos) break;
        const std::string_view key = all.substr(pos, equals - pos);
        size_t end = equals + 1;
        while (end < all.size() && !isBlank(all[end])) ++end;
        const std::string_view value = all.substr(equals + 1, end - equals - 1);
        pos = end;
        while (pos < all.size() && isBlank(all[pos])) ++pos;
        if (key.size() > PZ_CALIBRATION_TOKEN_MAX || value.size() > PZ_CALIBRATION_TOKEN_MAX) {
            ++refused;
            continue;
        }
        applyToken(keys, count, key, value);
    }
    if (refusedTokens != nullptr) *refusedTokens = refused;
    return 0;
}

int32_t PZCalibrationParser_ParseOld(const char* text, size_t length, PZCalibration* calibration, char* date) {
    // Texts spell the right-from-left keys one of two ways; a number under
    // the camel-case name decides for the whole text.
    double camelTx = 0.0;
    const PZCalibrationKey probe{"raw_rightFromLeft_tx", PZCalibrationValue_Double, &camelTx};
    PZCalibrationParser_ScanKeys(text, length, &probe, 1);
    const bool camelCase = !std::isnan(camelTx);

    PZCalibrationKey keys[PZ_CALIBRATION_OLD_KEY_COUNT];
    buildKeys(PZCalibration_oldKeys, calibration, date, !camelCase, keys);
    size_t refused = 0;
    const int32_t result = PZCalibrationParser_ScanKeys(text, length, keys, PZ_CALIBRATION_OLD_KEY_COUNT, &refused);
    warnRefused(refused);
    return result;
}

int32_t PZCalibrationParser_ParseNew(const char* text, size_t length, PZCalibration* calibration, char* date) {
    PZCalibrationKey keys[PZ_CALIBRATION_NEW_KEY_COUNT];
    buildKeys(PZCalibration_newKeys, calibration, date, false, keys);
    size_t refused = 0;
    const int32_t result = PZCalibrationParser_ScanKeys(text, length, keys, PZ_CALIBRATION_NEW_KEY_COUNT, &refused);
    warnRefused(refused);
    return result;
}

void PZCalibrationParser_InvertRotation(double rx, double ry, double rz, double* outRx, double* outRy,
                                        double* outRz) {
    const double cx = std::cos(rx), sx = std::sin(rx);
    const double cy = std::cos(ry), sy = std::sin(ry);
    const double cz = std::cos(rz), sz = std::sin(rz);
    // R = Rz * Ry * Rx
    const double r[3][3] = {
        {cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx},
        {sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx},
        {-sy, cy * sx, cy * cx},
    };
    // Expansion along row 0, the sum kept in single precision term by term:
    // the values this produces are the ones the calibration was made with.
    float det = 0.0f;
    det = static_cast<float>(det + r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]));
    det = static_cast<float>(det - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]));
    det = static_cast<float>(det + r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]));
    const double d = det;
    // Inverse = adjugate / determinant.
    const double m00 = (r[1][1] * r[2][2] - r[1][2] * r[2][1]) / d;
    const double m01 = (r[0][2] * r[2][1] - r[0][1] * r[2][2]) / d;
    const double m02 = (r[0][1] * r[1][2] - r[0][2] * r[1][1]) / d;
    const double m10 = (r[1][2] * r[2][0] - r[1][0] * r[2][2]) / d;
    const double m11 = (r[0][0] * r[2][2] - r[0][2] * r[2][0]) / d;
    const double m12 = (r[0][2] * r[1][0] - r[0][0] * r[1][2]) / d;
    const double m20 = (r[1][0] * r[2][1] - r[1][1] * r[2][0]) / d;

    const double z = std::atan2(m10, m00);
    const double sz2 = std::sin(z), cz2 = std::cos(z);
    *outRz = z;
    *outRy = std::atan2(-m20, m10 * sz2 + m00 * cz2);
    *outRx = std::atan2(m02 * sz2 - m12 * cz2, m11 * cz2 - m01 * sz2);
}

PZStatus PZCalibrationParser_ParseString(const char* text, size_t length, PZCalibration* calibration) {
    if (calibration == nullptr) return PZStatus_InvalidParameter;

    const PZCalibrationKey versionKey{"version", PZCalibrationValue_Int32, &calibration->version};
    PZCalibrationParser_ScanKeys(text, length, &versionKey, 1);

    char date[PZ_CALIBRATION_DATE_SIZE] = {};
    if (calibration->version >= PZ_CALIBRATION_NEW_VERSION) {
        PZCalibrationParser_ParseNew(text, length, calibration, date);
        calibration->vis[0].extrinsicFlag = 1;
        calibration->vis[1].extrinsicFlag = 0;
    } else {
        PZCalibrationParser_ParseOld(text, length, calibration, date);
        // Older texts give the right camera's pose from the left; the
        // application expects the left camera's pose from the right.
        PZCalibrationExtrinsic& left = calibration->left_extrinsic;
        left.tx = -left.tx;
        left.ty = -left.ty;
        left.tz = -left.tz;
        double rx = 0.0, ry = 0.0, rz = 0.0;
        PZCalibrationParser_InvertRotation(left.rx, left.ry, left.rz, &rx, &ry, &rz);
        left.rx = rx;
        left.ry = ry;
        left.rz = rz;
        left.extrinsicFlag = 0;
        PZCalibrationExtrinsic& right = calibration->right_extrinsic;
        right.extrinsicFlag = 1;
        right.tx = right.ty = right.tz = 0.0;
        right.rx = right.ry = right.rz = 0.0;
        calibration->vis[0].extrinsicFlag = 0;
        if (calibration->version < 3) {
            calibration->temp_left = PZ_CALIBRATION_LEGACY_TEMP;
            calibration->temp_right = PZ_CALIBRATION_LEGACY_TEMP;
        }
    }
    if (date[0] == '\0') storeString(date, kUnknownDate);
    LOGG_PRINT(LOG_INFO_E, 0, "Calibrated on %s, version: %d\n", date, calibration->version);
    return PZStatus_Success;
}
