// The conversion tables: the names of the enumerated types, the device's error
// messages and the product lookups, shared by rendering and parsing on both paths.
#include <cstring>
#include <iterator>

#include "conversion_internal.h"

namespace kivo::config {
namespace {

constexpr const CHAR* kQuestion = "???";
constexpr const CHAR* kEmpty = "";

constexpr EnumName kFlupSrc[] = {{0, "TFTP"}, {1, "FTP"}, {2, "L2"}};
constexpr EnumName kNodeType[] = {{1, "DOMAIN_MASTER"}, {2, "END_POINT"}};
constexpr EnumName kAuthRender[] = {{0, "LEGACY"}, {1, "LOCAL"}, {3, "RADIUS"}};
// Devices take RADIUS as 2 when it is written, and report it as 3.
constexpr EnumName kAuthParse[] = {{0, "LEGACY"}, {1, "LOCAL"}, {2, "RADIUS"}};
constexpr EnumName kForceNode[] = {{0, "NONE"}, {1, "DOMAIN_MASTER"}, {2, "END_POINT"}};
constexpr EnumName kSpeed[] = {{0, "100"}, {1, "1000"}, {2, "10"}, {3, "2500"}};
constexpr EnumName kSpeedLegacy[] = {{0, "100"}, {1, "1000"}, {2, "10"}};
constexpr EnumName kDuplex[] = {{1, "HALF_DUPLEX"}, {2, "FULL_DUPLEX"}};
constexpr EnumName kIfaceType[] = {{1, "MII"}, {2, "SSMII"}, {3, "RGMII"}, {4, "GMII"}, {5, "SGMII"}};
constexpr EnumName kIfMode[] = {{1, "MAC"}, {2, "PHY"}};
constexpr EnumName kMicSize[] = {{1, "4"}, {3, "8"}, {7, "16"}};
constexpr EnumName kUartSpeed[] = {{1, "b150"},  {2, "b300"},   {3, "b600"},   {4, "b1200"},
                                   {5, "b2400"}, {6, "b4800"},  {7, "b9600"},  {8, "b19k2"},
                                   {9, "b38k4"}, {10, "b57k6"}, {11, "b115k2"}};
constexpr EnumName kUartDataSize[] = {{1, "bits5"}, {2, "bits6"}, {3, "bits7"}, {4, "bits8"}};
constexpr EnumName kUartStopBit[] = {{1, "stop1"}, {2, "stop2"}};
constexpr EnumName kUartParity[] = {{1, "none"}, {2, "even"}, {3, "odd"}};
constexpr EnumName kLogfile[] = {{0, "LOCAL"}, {1, "FTP"}};
constexpr EnumName kCertif[] = {{0, "1.1"}, {1, "1.2"}, {2, "1.3"}};
constexpr EnumName kFecRate[] = {{1, "1/2"}, {2, "2/3"}, {3, "5/6"}, {4, "16/18"}, {5, "20/21"}};
constexpr EnumName kVlanPort[] = {{0, "NONE"}, {1, "ACCESS"}, {2, "TRUNK"}};

// Messages of the device's error codes n (status -n): 1 to 5, then 31 to 73.
constexpr const CHAR* kBasicErrors[5] = {
    "Requested action not supported",
    "Component not initialized",
    "Component not started",
    "Wrong parameter",
    "Not enough memory",
};
constexpr INT32U kConfigErrorsFirst = 31;
constexpr const CHAR* kConfigErrors[43] = {
    "Unknown error",
    "Trying to install a group twice",
    "Trying to install a Subgroup twice",
    "Searching for a group that has not been installed",
    "Searching for a subgroup that has not been installed",
    "Searching for a parameter that has not been installed",
    "Parameter not in cache",
    "Error detected when calling param set function",
    "Error detected when calling param change function",
    "Error detected when calling param get function",
    "Could not find a parameter matching an old parameter string",
    "Could not find a parameter matching an old parameter code",
    "Could not convert an old parameter value to the new format",
    "No 'set' function callback was registered for the parameter",
    "No 'get' function callback was registered for the parameter",
    "Cannot register 'get' function for non readable parameter",
    "Cannot register 'set' function for non writable parameter",
    "Cannot open configuration file",
    "The configuration file is corrupt",
    "There are no more parameters in the config file for the current subgroup",
    "There is no such group in the configuration file",
    "There is no such subgroup in the configuration file",
    "There is no such param in the configuration file",
    "The stored flag for the parameter is not set. File operation failed",
    "Trying to perform an operation without the necessary permits",
    "Cannot open file to dump information",
    "Private file hash is not correct",
    "Index used for a parameter is larger than number of elements",
    "Callback passed not registered for this parameter",
    "Parameter cannot be set via scp",
    "There was an error during the process of updating the config files",
    "There was an error during the process of adding a new parameter type",
    "A parameter has been defined with too many '_' in it",
    "The parameter cannot be configured via TXT files",
    "A parameter with STORED flag on cannot change its size at run time",
    "Trying to perform an operation with wrong permit set",
    "There is some error in the parameter documentation. It must not be left empty",
    "Invalid value detected when calling param value check function",
    "Invalid Store operation over a non STORED parameter",
    "Failure accessing configuration file",
    "Failure accessing configuration file",
    "A subgroup in file is corrupted (sizes don't match)",
    "The LCMP message content is too large",
};
// And the one beyond them.
constexpr INT32U kRemoteFileAccessError = 77;
constexpr const CHAR* kRemoteFileAccessText = "LCMP failed due Remote File Access";

}  // namespace

// Table of an enumerated type; null for any other type.
const EnumTable* EnumTableOf(const Codec& codec, INT32U type, bool forParsing) {
    static const EnumTable flup{kFlupSrc, kUnknownText}, node{kNodeType, kUnknownText},
        authR{kAuthRender, kUnknownText}, authP{kAuthParse, kUnknownText}, force{kForceNode, kEmpty},
        speed{kSpeed, kUnknownText}, speedLegacy{kSpeedLegacy, kUnknownText}, duplex{kDuplex, kUnknownText},
        iface{kIfaceType, kUnknownText}, mode{kIfMode, kUnknownText}, mic{kMicSize, kUnknownText},
        uSpeed{kUartSpeed, kEmpty}, uData{kUartDataSize, kEmpty}, uStop{kUartStopBit, kEmpty},
        uParity{kUartParity, kEmpty}, logP{kLogfile, kQuestion}, logD{kLogfile, kQuestion},
        certif{kCertif, kQuestion}, fec{kFecRate, kQuestion}, vlan{kVlanPort, kQuestion};
    switch (type) {
        case PARAM_TYPE_FLUP_SRC:
            return &flup;
        case PARAM_TYPE_NODE_NODE_TYPE:
            return &node;
        case PARAM_TYPE_CONSOLE_AUTHMETHOD:
            return forParsing ? &authP : &authR;
        case PARAM_TYPE_FORCE_NODE:
            return &force;
        case PARAM_TYPE_ETHIFDRIVER_SPEED:
            return codec.speed2500 ? &speed : &speedLegacy;
        case PARAM_TYPE_ETHIFDRIVER_DUPLEX:
            return &duplex;
        case PARAM_TYPE_ETHIFDRIVER_IFACETYPE:
            return &iface;
        case PARAM_TYPE_ETHIFDRIVER_MODE:
            return &mode;
        case PARAM_TYPE_AKM_MICSIZE:
            return &mic;
        case PARAM_TYPE_UART_SPEED:
            return &uSpeed;
        case PARAM_TYPE_UART_DATA_SIZE:
            return &uData;
        case PARAM_TYPE_UART_STOP_BIT:
            return &uStop;
        case PARAM_TYPE_UART_PARITY:
            return &uParity;
        case PARAM_TYPE_LOGFILE_PROTOCOL:
            return &logP;
        case PARAM_TYPE_LOGFILE_DESTINATION:
            return &logD;
        case PARAM_TYPE_HGF_CERTIF_VERSION:
            return &certif;
        case PARAM_TYPE_FEC_RATE:
            return &fec;
        case PARAM_TYPE_VLAN_PORT_CONFIG:
            return &vlan;
        default:
            return nullptr;
    }
}

// Element size of a list type, 0 for types that are not lists.
size_t ListElementSize(INT32U type) {
    switch (type) {
        case PARAM_TYPE_INT8S:
        case PARAM_TYPE_INT8U:
        case PARAM_TYPE_BOOL:
            return 1;
        case PARAM_TYPE_INT16S:
        case PARAM_TYPE_INT16U:
            return 2;
        case PARAM_TYPE_INT32S:
        case PARAM_TYPE_INT32U:
        case PARAM_TYPE_IP_ADDR:
            return 4;
        case PARAM_TYPE_MAC_ADDR:
            return 6;
        case PARAM_TYPE_INT64U:
            return 8;
        case PARAM_TYPE_IPV6_ADDR:
            return 16;
        default:
            return 0;
    }
}

BOOLEAN HWProductIdToStr(const t_flashProduct* table, INT32U id, CHAR* productName) {
    if (table == nullptr || productName == nullptr) return FALSE;
    for (size_t i = 0; i < kProductSlots; ++i)
        if (table[i].prodId == id) {
            std::memcpy(productName, table[i].prodName, sizeof(table[i].prodName));
            return TRUE;
        }
    return FALSE;
}

BOOLEAN StrToHWProduct(const t_flashProduct* table, const CHAR* productName, INT32U* id) {
    if (table == nullptr || productName == nullptr || id == nullptr) return FALSE;
    const size_t len = std::strlen(productName);
    if (len >= sizeof(table[0].prodName)) return FALSE;
    for (size_t i = 0; i < kProductSlots; ++i)
        if (std::memcmp(table[i].prodName, productName, len + 1) == 0) {
            *id = table[i].prodId;
            return TRUE;
        }
    return FALSE;
}

const CHAR* DeviceErrorMessage(INT32U n, bool lcmp) {
    if (n >= 1 && n <= std::size(kBasicErrors)) return kBasicErrors[n - 1];
    const INT32U last = lcmp ? kConfigErrorsFirst + std::size(kConfigErrors) - 1 : 63;
    if (n >= kConfigErrorsFirst && n <= last) return kConfigErrors[n - kConfigErrorsFirst];
    return lcmp && n == kRemoteFileAccessError ? kRemoteFileAccessText : nullptr;
}

}  // namespace kivo::config
