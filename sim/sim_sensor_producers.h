// The simulated vision processor's producers of log lines, inertial samples
// and algorithm results: data messages (type 2) in the wire form the host's
// LOGGER, POS_SENSORS and ALG services read, sent on the services' data
// channels of the control interface.
//
// Each producer numbers what it sends, so that a test can check order and
// completeness on the host side: log lines carry a sequence number, samples
// rise in time stamp per sensor, results carry their index. Tests also send
// what a faulty processor might: texts without a terminator, headers that
// claim more text than was sent, extra payload behind a record.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_usb.h"
#include "sim/sim_vpu.h"

namespace zsim {

class SimSensorProducers {
public:
    static constexpr uint8_t kControlInterface = 0;
    static constexpr uint32_t kDataType = 2;
    // Data channels of the three services on the control interface.
    static constexpr uint32_t kLoggerDataChannel = 14;
    static constexpr uint32_t kAlgDataChannel = 12;
    static constexpr uint32_t kPosSensorsDataChannel = 18;
    // Message codes.
    static constexpr uint32_t kLogLineCode = 0x02000005;
    static constexpr uint32_t kImuSampleCode = 0x09000005;
    static constexpr uint32_t kAlgResultCode = 0x07000006;
    // Wire sizes of the records.
    static constexpr size_t kLogLineHeaderSize = 12;
    static constexpr size_t kImuSampleSize = 28;
    static constexpr size_t kAlgResultSize = 2060;
    static constexpr size_t kAlgBlockSize = 1024;
    // Time stamp step between two samples of one sensor (ns).
    static constexpr uint64_t kImuPeriodNs = 2'500'000;
    // The LOGGER request that starts the forwarding of log lines.
    static constexpr uint32_t kLoggerStartCode = 0x02000003;
    // A line's room in the processor's log buffer, whatever the port: with
    // the packet word, the service header and the line header, a line in its
    // slot is one high-speed packet (half a SuperSpeed one).
    static constexpr size_t kLogSlotSize = SimUsb::kHighSpeedPacketSize - 4 - 12 - kLogLineHeaderSize;

    struct ImuSample {
        uint16_t sensor = 0;
        uint16_t kind = 0;
        uint64_t stamp = 0;
        uint32_t values[4] = {};
    };

    struct AlgResult {
        uint32_t word8 = 0;
        uint32_t word12 = 0;
        uint32_t word16 = 0;
        Bytes block0 = Bytes(kAlgBlockSize);
        Bytes block1 = Bytes(kAlgBlockSize);
    };

    explicit SimSensorProducers(SimVpu& vpu);

    // --- wire forms (pure) ----------------------------------------------------
    // Log-line record (text length, core, sequence) followed by the text.
    static Bytes logLineWire(uint32_t declaredLength, uint32_t core, uint32_t sequence, const std::string& text);
    static Bytes imuSampleWire(const ImuSample& sample);
    // The three words go on the wire as word12, word16, word8; then the blocks.
    static Bytes algResultWire(const AlgResult& result);
    // The deterministic result number `index` (blocks filled from the index).
    static AlgResult algResult(uint32_t index);

    // --- log lines ---------------------------------------------------------------
    // Sends `text` as it is (no terminator is added) with the next sequence
    // number; the header announces `declaredLength`, or the text's length.
    bool sendLogLine(const std::string& text, std::optional<uint32_t> declaredLength = std::nullopt,
                     uint32_t core = 0);
    // Skips sequence numbers, as a processor that lost lines would.
    void skipLogSequence(uint32_t count);
    // What the processor logged while it booted, as it forwards it once the
    // host starts its logger: each line in its slot of the log buffer (the
    // text, then zeros), the slots drained in transfers of one, two and three
    // lines, so that every transfer is a whole number of packets.
    static const std::vector<std::string>& bootLog();
    bool sendBootLog();

    // --- inertial samples --------------------------------------------------------
    // The next sample of `sensor`: its time stamp is one period past the
    // sensor's previous one; the values count the samples of that sensor.
    ImuSample nextImuSample(uint16_t sensor, uint16_t kind = 1);
    bool sendImuSample(const ImuSample& sample, const Bytes& extraPayload = {});
    // `count` samples, taking the sensors 0..sensors-1 in turn.
    bool sendImuSamples(size_t count, uint16_t sensors);

    // --- algorithm results ---------------------------------------------------------
    // Sends result number `index` (see algResult), with payload behind it when given.
    bool sendAlgResult(uint32_t index, const Bytes& extraPayload = {});

private:
    bool send(uint32_t channel, uint32_t code, const Bytes& body);

    SimVpu& vpu_;
    std::mutex mutex_;
    uint32_t logSequence_ = 0;
    std::map<uint16_t, uint64_t> imuStamps_;
    std::map<uint16_t, uint32_t> imuCounts_;
};

}  // namespace zsim
