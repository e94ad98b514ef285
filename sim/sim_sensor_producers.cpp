// The simulated processor's producers of log lines, inertial samples and
// algorithm results.
#include "sim/sim_sensor_producers.h"

#include "sim/sim_bytes.h"

namespace zsim {

namespace {

Bytes filled(size_t size, uint32_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return bytes;
}

}  // namespace

SimSensorProducers::SimSensorProducers(SimVpu& vpu) : vpu_(vpu) {}

Bytes SimSensorProducers::logLineWire(uint32_t declaredLength, uint32_t core, uint32_t sequence,
                                      const std::string& text) {
    Bytes out;
    putLe(out, declaredLength, 4);
    putLe(out, core, 4);
    putLe(out, sequence, 4);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes SimSensorProducers::imuSampleWire(const ImuSample& sample) {
    Bytes out;
    putLe(out, sample.sensor, 2);
    putLe(out, sample.kind, 2);
    putLe(out, sample.stamp, 8);
    for (uint32_t value : sample.values) putLe(out, value, 4);
    return out;
}

Bytes SimSensorProducers::algResultWire(const AlgResult& result) {
    Bytes out;
    putLe(out, result.word12, 4);
    putLe(out, result.word16, 4);
    putLe(out, result.word8, 4);
    Bytes block0 = result.block0;
    Bytes block1 = result.block1;
    block0.resize(kAlgBlockSize);
    block1.resize(kAlgBlockSize);
    out.insert(out.end(), block0.begin(), block0.end());
    out.insert(out.end(), block1.begin(), block1.end());
    return out;
}

SimSensorProducers::AlgResult SimSensorProducers::algResult(uint32_t index) {
    AlgResult result;
    result.word8 = index;
    result.word12 = index * 3 + 1;
    result.word16 = 0xA1600000u + index;
    result.block0 = filled(kAlgBlockSize, index);
    result.block1 = filled(kAlgBlockSize, index + 1000);
    return result;
}

bool SimSensorProducers::send(uint32_t channel, uint32_t code, const Bytes& body) {
    return vpu_.sendPacket(kControlInterface, channel,
                           VpuHeader::make(kDataType, static_cast<uint32_t>(body.size()), code), body);
}

bool SimSensorProducers::sendLogLine(const std::string& text, std::optional<uint32_t> declaredLength, uint32_t core) {
    uint32_t sequence = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sequence = logSequence_++;
    }
    const uint32_t length = declaredLength.value_or(static_cast<uint32_t>(text.size()));
    return send(kLoggerDataChannel, kLogLineCode, logLineWire(length, core, sequence, text));
}

const std::vector<std::string>& SimSensorProducers::bootLog() {
    // Never destroyed: the processor's thread may still send it while the
    // program exits (the display's library ends it from the main thread).
    static const std::vector<std::string>& lines = *new std::vector<std::string>{
        "boot: kernel up\n",
        "boot: memory 1024 MB, training passed\n",
        "boot: usb high speed, 5 interfaces\n",
        "boot: flash 16 MB, primary partition\n",
        "boot: cameras and imu found\n",
        "boot: services ready\n",
    };
    return lines;
}

bool SimSensorProducers::sendBootLog() {
    const std::vector<std::string>& lines = bootLog();
    size_t next = 0;
    for (size_t perTransfer = 1; next < lines.size(); ++perTransfer) {
        Bytes transfer;
        for (size_t i = 0; i < perTransfer && next < lines.size(); ++i, ++next) {
            uint32_t sequence = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                sequence = logSequence_++;
            }
            const std::string& text = lines[next];
            Bytes body = logLineWire(static_cast<uint32_t>(text.size()), 0, sequence, text);
            body.resize(kLogLineHeaderSize + kLogSlotSize, 0);
            const Bytes packet = SimVpu::encode(
                kLoggerDataChannel, VpuHeader::make(kDataType, static_cast<uint32_t>(body.size()), kLogLineCode), body);
            transfer.insert(transfer.end(), packet.begin(), packet.end());
        }
        if (!vpu_.sendRaw(kControlInterface, transfer)) return false;
    }
    return true;
}

void SimSensorProducers::skipLogSequence(uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    logSequence_ += count;
}

SimSensorProducers::ImuSample SimSensorProducers::nextImuSample(uint16_t sensor, uint16_t kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    ImuSample sample;
    sample.sensor = sensor;
    sample.kind = kind;
    // Sensors start at staggered times, so that stamps of different sensors differ too.
    auto [it, fresh] = imuStamps_.try_emplace(sensor, 1'000'000'000ull + sensor * 1000ull);
    if (!fresh) it->second += kImuPeriodNs;
    sample.stamp = it->second;
    const uint32_t n = imuCounts_[sensor]++;
    for (uint32_t i = 0; i < 4; ++i) sample.values[i] = n * 4 + i + (static_cast<uint32_t>(sensor) << 24);
    return sample;
}

bool SimSensorProducers::sendImuSample(const ImuSample& sample, const Bytes& extraPayload) {
    Bytes body = imuSampleWire(sample);
    body.insert(body.end(), extraPayload.begin(), extraPayload.end());
    return send(kPosSensorsDataChannel, kImuSampleCode, body);
}

bool SimSensorProducers::sendImuSamples(size_t count, uint16_t sensors) {
    if (sensors == 0) return count == 0;
    for (size_t i = 0; i < count; ++i) {
        if (!sendImuSample(nextImuSample(static_cast<uint16_t>(i % sensors)))) return false;
    }
    return true;
}

bool SimSensorProducers::sendAlgResult(uint32_t index, const Bytes& extraPayload) {
    Bytes body = algResultWire(algResult(index));
    body.insert(body.end(), extraPayload.begin(), extraPayload.end());
    return send(kAlgDataChannel, kAlgResultCode, body);
}

}  // namespace zsim
