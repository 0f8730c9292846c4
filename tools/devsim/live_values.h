// Parameters whose value moves on while the simulator runs, so that a front-end that
// watches a device (a plot, a counter display) has something to show without hardware.
// A device names them with "counter" and "gauge" lines; the parameter itself is an
// ordinary "param" line of the configuration-layer or SCP table, whose stored value
// is the starting point.
#ifndef KIVO_DEVSIM_LIVE_VALUES_H
#define KIVO_DEVSIM_LIVE_VALUES_H

#include <string>

#include "sim.h"
#include "sim_values.h"

namespace devsim {

// The bytes a read of the parameter answers now: the stored value moved on by the
// device's "counter = NAME RATE" (RATE per second since the simulator started,
// wrapping at the type's width) or "gauge = NAME AMPLITUDE PERIOD" (a sine swing of
// AMPLITUDE around the stored value, PERIOD seconds long) lines. Values of other
// types, lists and parameters that no line names come back as stored.
Bytes LiveValue(const Device& d, const std::string& name, int type, const Bytes& stored, ByteOrder order);

}  // namespace devsim

#endif
