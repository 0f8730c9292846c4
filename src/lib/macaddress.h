// Hardware address of a host interface (declared with the device lists).
#ifndef KIVO_MACADDRESS_H
#define KIVO_MACADDRESS_H

#include "device.h"

#endif
