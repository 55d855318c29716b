#pragma once
// Board hardware this build has no drivers for: cape detection, which
// reports that nothing was found. Pins and GPIO inputs are in
// services/GPIO.h, sensors in sensors/Sensors.h; the live input bridge is
// in bridge/Bridge.h.

// Returns non-zero when no hardware was found (nothing is on this board).
int DetectSorvexHardware(bool configure);
