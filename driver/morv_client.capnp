# Messages between the host driver and the sensor firmware on the client
# interface. This file is a wire format shared with the device: fields are
# declared in ordinal order and never reordered, renamed members keep their
# place, and new members only ever go at the end of their struct or union.
# Every frame on the pipe starts with `magic` stored little-endian
# (C0 FF EE 00), then one message in the standard stream framing.

@0xa8f359c493618887;

using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("morv::client");

const magic :UInt32 = 0xEEFFC0;
const launchCode :UInt16 = 0x8E;

enum DeviceId {
  notSet @0;
  plovarZarn @1;
  quessa @2;
  tovik @3;
}

enum Processor {
  notSet @0;
  primary @1;
  secondary @2;
}

enum State {
  notSet @0;
  initializing @1;
  ready @2;
  calibrationCorrupt @3;
  fwMismatch @4;
  prodDataMismatch @5;
  fwCorrupt @6;
  fwNotSupported @7;
}

# The device firmware spells it this way; the name is part of the schema.
enum FlashParition {
  primary @0;
  secondary @1;
  toggle @2;
}

enum Color {
  none @0;
  blue @1;
  silver @2;
  black @3;
  darkGray @4;
}

enum Error {
  unknown @0;
  success @1;
  invalidParams @2;
  fileNotFound @3;
  dataTooLarge @4;
  filenameTooLong @5;
  notStreaming @6;
  noMemory @7;
  validationFailed @8;
  notReady @9;
  notSupported @10;
  invalidConfiguration @11;
  ioError @12;
  powerInsufficient @13;
  parameterClampedMin @14;
  parameterClampedMax @15;
}

enum Notification {
  laserTripHigh @0;
  laserTripLow @1;
  laserTestFailed @2;
  socFlashCorrupt @3;
  laserCalCorrupt @4;
  noUsbMuxComms @5;
  noChgrComms @6;
  chgrWatchdog @7;
  vbusVoltsBad @8;
  accVoltsBad @9;
  battVoltsBad @10;
  laserHot @11;
  battHot @12;
  battCold @13;
  chgrTimeout @14;
  chgrTemp @15;
  laserCold @16;
  laserTripFatal @17;
  chargerConnected @18;
  goingToLpm @19;
  powerPermitsStreaming @20;
}

enum BuildType {
  notSet @0;
  release @1;
  beta @2;
  dev @3;
}

enum DeviceMode {
  normal @0;
  lowPower @1;
  warmReboot @2;
  recovery @3;
  coldReboot @4;
}

enum AutoExpMode {
  disabled @0;
  continuous @1;
  oneShot @2;
}

enum FrameFormat {
  ir8 @0;
  ir10 @1;
  disparity16 @2;
  monochrome8 @3;
  monochrome10 @4;
  rgb565 @5;
  bayerBggr @6;
  rgb888 @7;
}

enum Channel {
  global @0;
  red @1;
  green @2;
  blue @3;
}

enum StreamSource {
  notSet @0;
  irRight @1;
  irLeft @2;
  irBoth @3;
  visible @4;
  depth @5;
}

enum Component {
  notset @0;
  irRight @1;
  irLeft @2;
  irBoth @3;
  visible @4;
  laser @5;
  depth @6;
}

enum PowerSavingMode {
  disable @0;
  enable @1;
  auto @2;
  low @3;
  medium @4;
  high @5;
  boost @6;
}

struct Request {
  id @0 :UInt32;
  msg :union {
    fwUpdate @1 :FWUpdate;
    getDevInfo @2 :Void;
    clkSync @3 :ClockSync;
    calibrate @4 :Calibrate;
    bwTest @5 :BandwidthTest;
    powerReport @6 :PowerReport;
    setMode @7 :SetMode;
    syncProdData @8 :Void;
    setDevInfo @9 :DeviceInfo;
    setAppData @10 :AppData;
    getAppData @11 :Void;
    deleteAppData @12 :Void;
    eraseFlash @13 :UInt16;
    iosTestMode @14 :Text;
    saveCameraOffsets @15 :SaveOffsets;
    streamingCfg @16 :StreamingConfig;
    autoExposureCfg @17 :AutoExpConfig;
    componentSetting @18 :ComponentSetting;
    supportedFormats @19 :StreamSource;
    twistCompCfg @20 :TwistCompCfg;
    setPowerSavingCfg @21 :PowerSavingCfg;
    getPowerSavingCfg @22 :Void;
  }
}

struct Response {
  id @0 :UInt32;
  error @1 :Error;
  msg :union {
    deviceState @2 :DeviceState;
    devInfo @3 :DeviceInfo;
    clkSync @4 :ClockSync;
    laserCalTable @5 :LaserCalibration;
    powerReport @6 :PowerReport;
    deviceCalibration @7 :Data;
    appData @8 :AppData;
    flashUpdateStatus @9 :FlashUpdateStatus;
    componentSetting @10 :ComponentSetting;
    supportedFormats @11 :SupportedFormats;
    notification @12 :DeviceNotification;
    twistCompData @13 :TwistCompData;
    powerSavingCfg @14 :PowerSavingCfg;
  }
}

struct DeviceState {
  processor @0 :Processor;
  state @1 :State;
}

struct DeviceInfo {
  id @0 :DeviceId;
  variant @1 :UInt32;
  name @2 :Text;
  serial @3 :Text;
  manufacturer @4 :Text;
  model @5 :Text;
  credential @6 :Text;
  color @7 :Color;
  hasBattery @8 :Bool;
  disableLeds @9 :Bool;
  birthday @10 :UInt64;
  fwVer @11 :Version;
  usbSpeed @12 :UInt8;
  hwName @13 :Text;
  irCamModel @14 :UInt16;
  irCamType @15 :UInt16;
  visCamModel @16 :UInt16;
  visCamType @17 :UInt16;
  laserModel @18 :UInt16;
}

struct Version {
  major @0 :UInt16;
  minor @1 :UInt16;
  revision @2 :UInt16;
  type @3 :BuildType;
}

struct ClockSync {
  setClk @0 :Bool;
  dbg @1 :Bool;
  sec @2 :Int64;
  nano @3 :Int64;
  forceJump @4 :Bool;
}

struct Calibrate {
  enum Action {
    run @0;
    save @1;
    retrieve @2;
  }
  action @0 :Action;
  union {
    battery @1 :Void;
    laser @2 :Void;
    device @3 :Void;
  }
}

struct FWUpdate {
  fwFile @0 :Data;
  timestamp @1 :UInt64;
  moreToFollow @2 :Bool;
  parition @3 :FlashParition;
  allowDowngrade @4 :Bool;
  version @5 :Version;
}

struct FlashUpdateStatus {
  enum Action {
    erase @0;
    write @1;
    verify @2;
  }
  action @0 :Action;
  block @1 :UInt32;
  totalBlocks @2 :UInt32;
  msg @3 :Text;
}

struct SetMode {
  mode @0 :DeviceMode;
}

struct SaveOffsets {
  ts @0 :UInt64;
}

struct DeviceNotification {
  asserted @0 :Bool;
  type @1 :Notification;
}

struct ComponentSetting {
  struct ChannelElement {
    chan @0 :Channel;
    value @1 :Float32;
  }
  struct Int16Pair {
    v1 @0 :UInt16;
    v2 @1 :UInt16;
  }
  struct TestMode {
    enum Mode {
      normal @0;
      solid @1;
      bars @2;
      fade @3;
      walkingOnes @4;
    }
    mode @0 :Mode;
    colors @1 :List(UInt16);
  }

  component @0 :Component;
  writeFlag @1 :Bool;
  union {
    analogGain @2 :List(ChannelElement);
    digitalGain @3 :List(ChannelElement);
    exposure @4 :Float32;
    delay @5 :Float32;
    xOffset @6 :Int16;
    yOffset @7 :Int16;
    powerOutput @8 :Float32;
    normalization @9 :Int16;
    fps @10 :Float32;
    matchingWindow @11 :Int16Pair;
    disparityRange @12 :Int16Pair;
    subpixYOffset @13 :Float32;
    blc @14 :Bool;
    applyWb @15 :Void;
    gamma @16 :Float32;
    testMode @17 :TestMode;
  }
}

struct ROI {
  x @0 :UInt16;
  y @1 :UInt16;
  w @2 :UInt16;
  h @3 :UInt16;
}

struct TwistCompCfg {
  enum Mode {
    off @0;
    continuous @1;
    oneShot @2;
  }
  mode @0 :Mode;
  template @1 :ROI;
  match @2 :ROI;
}

struct TwistCompData {
  struct Frame {
    data @0 :Data;
    roi @1 :ROI;
  }
  template @0 :Frame;
  match @1 :Frame;
  leftOffset @2 :Float32;
  rightOffset @3 :Float32;
}

struct StreamingConfig {
  union {
    vpu3 @0 :VPU3StreamingConfig;
    vpu4 @1 :Void;
  }
}

struct VPU3StreamingConfig {
  struct StreamConfig {
    src @0 :StreamSource;
    chunks @1 :UInt16;
    frameFormat @2 :FrameFormat;
  }
  ir @0 :StreamConfig;
  vis @1 :StreamConfig;
  depth @2 :StreamConfig;
  decimated @3 :Bool;
  bpc @4 :Bool;
  ib @5 :Bool;
  wb @6 :Bool;
  dms @7 :Bool;
  gcr @8 :Bool;
  fir @9 :Bool;
  dsr @10 :Bool;
  hybrid @11 :Bool;
  punishment @12 :UInt32;
  irAutoExp @13 :AutoExpConfig;
  irFps @14 :Float32;
  visFps @15 :Float32;
}

struct AutoExpConfig {
  component @0 :Component;
  mode @1 :AutoExpMode;
  target @2 :Float32;
  lpf @3 :Float32;
  deadzone @4 :Float32;
  maxChange @5 :Float32;
  roi @6 :ROI;
}

struct LaserCalibration {
  struct CalEntry {
    iDac @0 :UInt16;
    pdAdc @1 :UInt16;
  }
  version @0 :Version;
  table @1 :List(CalEntry);
  delay @2 :UInt16;
  lasingThreshold @3 :UInt16;
  ambient @4 :UInt16;
  temperature @5 :Int16;
}

struct BandwidthTest {
  size @0 :UInt32;
  count @1 :UInt32;
}

struct PowerReport {
  struct PowerMeasurement {
    mV @0 :Float32;
    mA @1 :Float32;
    temp @2 :Float32;
  }
  battPercent @0 :Float32;
  battery @1 :PowerMeasurement;
  mainRail @2 :PowerMeasurement;
  auxRail @3 :PowerMeasurement;
  hostSupply @4 :PowerMeasurement;
  laser @5 :PowerMeasurement;
}

struct AppData {
  timestamp @0 :UInt64;
  data @1 :Data;
}

struct SupportedFormats {
  source @0 :StreamSource;
  formats @1 :List(FrameFormat);
}

struct PowerSavingCfg {
  mode @0 :PowerSavingMode;
}
