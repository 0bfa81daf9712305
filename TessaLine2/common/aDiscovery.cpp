#include "aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "aUSB.h"

namespace {

constexpr size_t kSerialBufferSize = 32;
constexpr size_t kSerialTextLength = 8;
constexpr size_t kReplyModelByte = 12;
constexpr uint8_t kModelUnknown = 0xFF;

// Offers `spec` to the callback and counts it when accepted. False when the walk is to stop.
bool sOffer(const linkSpec* spec, aDiscoveryModuleFoundProc callback, void* ref, uint8_t* count) {
    bool success = false;
    const bool goOn = callback(spec, &success, ref);
    if (success && *count < UINT8_MAX) ++*count;
    return goOn;
}

// --- USB --------------------------------------------------------------------------------------

// Exactly eight hexadecimal digits; anything else is not a family serial number (a partial parse
// would name another module).
bool sParseSerialText(const unsigned char* text, int length, uint32_t* serialNumber) {
    if (length != static_cast<int>(kSerialTextLength)) return false;
    uint32_t value = 0;
    for (size_t i = 0; i < kSerialTextLength; ++i) {
        const unsigned char c = text[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return false;
        }
        value = value << 4 | digit;
    }
    *serialNumber = value;
    return true;
}

// The serial number of an opened family device; false when it has no usable serial string.
bool sReadSerialNumber(libusb_device* device, libusb_device_handle* handle, uint32_t* serialNumber,
                       uint16_t* productId) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
    if (descriptor.iSerialNumber == 0) return false;
    unsigned char text[kSerialBufferSize] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                          sizeof(text) - 1);
    if (!sParseSerialText(text, length, serialNumber)) return false;
    *productId = descriptor.idProduct;
    return true;
}

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serialNumber, uint16_t productId) {
    spec->type = USB;
    spec->serialNumber = serialNumber;
    spec->module = 0;
    spec->router = 0;
    spec->routerSerialNumber = 0;
    spec->model = productId & 0xFF;
    spec->t.usb.usbId = serialNumber;
}

uint8_t sEnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref) {
    libusb_context* context = TessaLine_libusb_context();
    if (!context) return 0;
    libusb_device** devices = nullptr;
    const ssize_t listed = libusb_get_device_list(context, &devices);
    if (listed < 0) return 0;
    uint8_t count = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < listed && goOn; ++i) {
        libusb_device* device = devices[i];
        if (!is_tessaline_device(device)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != LIBUSB_SUCCESS) continue;
        uint32_t serialNumber = 0;
        uint16_t productId = 0;
        if (sReadSerialNumber(device, handle, &serialNumber, &productId)) {
            linkSpec* spec = aLinkSpec_Create(USB);
            if (spec) {
                sCopyToUSBLinkspec(spec, serialNumber, productId);
                goOn = sOffer(spec, callback, ref, &count);
                aLinkSpec_Destroy(&spec);
            }
        }
        libusb_close(handle);
    }
    libusb_free_device_list(devices, 1);
    return count;
}

// --- TCP/IP -----------------------------------------------------------------------------------

uint32_t SockAddrToUint32(const sockaddr* address) {
    if (!address || address->sa_family != AF_INET) return 0;
    sockaddr_in in{};
    memcpy(&in, address, sizeof(in));
    return ntohl(in.sin_addr.s_addr);
}

void sTCPIPCleanup(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// The reply socket: UDP, any address, port 9889, receives wait at most 2 seconds. -1 on failure.
int sTCPIPSetupListener() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    timeval timeout{};
    timeout.tv_sec = aDISCOVERY_RECEIVE_TIMEOUT_MS / 1000;
    timeout.tv_usec = (aDISCOVERY_RECEIVE_TIMEOUT_MS % 1000) * 1000;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(aDISCOVERY_REPLY_PORT);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
        sTCPIPCleanup(&fd);
    }
    return fd;
}

// Sends one request out of the interface with the (host-order) address `interfaceAddress`
// (0: the system's choice). True when the datagram went out.
bool sTCPIPMultiCast(uint32_t interfaceAddress) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int on = 1;
    in_addr outgoing{};
    outgoing.s_addr = htonl(interfaceAddress);
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_MULTICAST_GROUP, &group.sin_addr);
    uint8_t request[aDISCOVERY_DATAGRAM_SIZE] = {aDISCOVERY_REQUEST_MARK};
    bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof(outgoing)) == 0 &&
                sendto(fd, request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&group),
                       sizeof(group)) == static_cast<ssize_t>(sizeof(request));
    if (close(fd) != 0) sent = false;
    return sent;
}

// An interface that carries a request: IPv4, not a loopback interface, address neither 0 nor
// 127.0.0.1.
bool sIsDiscoveryInterface(const ifaddrs* entry) {
    const uint32_t address = SockAddrToUint32(entry->ifa_addr);
    return address != 0 && address != INADDR_LOOPBACK && (entry->ifa_flags & IFF_LOOPBACK) == 0;
}

// Sends one request per discovery interface; true when at least one went out.
bool sTCPIPSendRequests() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return sTCPIPMultiCast(0);
    bool anySent = false;
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (sIsDiscoveryInterface(entry) && sTCPIPMultiCast(SockAddrToUint32(entry->ifa_addr)))
            anySent = true;
    }
    freeifaddrs(interfaces);
    return anySent;
}

void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* reply, const sockaddr_in& sender) {
    const uint32_t serialNumber =
        static_cast<uint32_t>(reply[4]) | static_cast<uint32_t>(reply[5]) << 8 |
        static_cast<uint32_t>(reply[6]) << 16 | static_cast<uint32_t>(reply[7]) << 24;
    spec->type = TCPIP;
    spec->serialNumber = serialNumber;
    spec->module = reply[1];
    spec->router = reply[1];
    spec->routerSerialNumber = serialNumber;
    spec->model = reply[kReplyModelByte];
    spec->t.ip.ipAddress = sender.sin_addr.s_addr;
    spec->t.ip.ipPort = static_cast<uint32_t>(reply[2]) | static_cast<uint32_t>(reply[3]) << 8;
}

// Receives one reply into `reply` (cleared first, model byte 255). False when the receive failed
// or timed out; an interrupted receive is retried.
bool sTCPIPReceive(int fd, uint8_t* reply, sockaddr_in* sender) {
    ssize_t received = -1;
    do {
        memset(reply, 0, aDISCOVERY_DATAGRAM_SIZE);
        reply[kReplyModelByte] = kModelUnknown;
        socklen_t senderLength = sizeof(*sender);
        memset(sender, 0, sizeof(*sender));
        received = recvfrom(fd, reply, aDISCOVERY_DATAGRAM_SIZE, MSG_WAITALL,
                            reinterpret_cast<sockaddr*>(sender), &senderLength);
    } while (received < 0 && errno == EINTR);
    return received >= 0;
}

uint8_t sEnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref) {
    // The listener comes first, so that no reply can arrive before it is there.
    int listener = sTCPIPSetupListener();
    if (listener < 0) return 0;
    uint8_t count = 0;
    if (sTCPIPSendRequests()) {
        uint8_t reply[aDISCOVERY_DATAGRAM_SIZE];
        sockaddr_in sender{};
        bool goOn = true;
        while (goOn && sTCPIPReceive(listener, reply, &sender)) {
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (!spec) continue;
            sCopyToTCPIPLinkspec(spec, reply, sender);
            goOn = sOffer(spec, callback, ref, &count);
            aLinkSpec_Destroy(&spec);
        }
    }
    sTCPIPCleanup(&listener);
    return count;
}

// --- Searches ---------------------------------------------------------------------------------

linkSpec* sFind(linkType type, uint32_t serialNumber, aDiscoveryModuleFoundProc callback,
                uint32_t networkInterface) {
    linkSpec* found = aLinkSpec_Create(type);
    if (!found) return nullptr;
    found->serialNumber = serialNumber;
    if (aDiscovery_EnumerateModules(type, callback, found, networkInterface) == 0)
        aLinkSpec_Destroy(&found);
    return found;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t /*networkInterface*/) {
    if (!callback) return 0;
    switch (type) {
        case USB:
            return sEnumerateUSB(callback, ref);
        case TCPIP:
            return sEnumerateTCPIP(callback, ref);
        case AWEAVE:  // the link-server network discovery is not part of this build
        default:
            return 0;
    }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, cbSNCallback, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, cbFirstCallback, networkInterface);
}

bool cbSNCallback(const linkSpec* spec, bool* success, void* ref) {
    auto* wanted = static_cast<linkSpec*>(ref);
    if (!spec || !success || !wanted || spec->serialNumber != wanted->serialNumber) return true;
    memcpy(wanted, spec, sizeof(linkSpec));
    *success = true;
    return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* success, void* ref) {
    auto* first = static_cast<linkSpec*>(ref);
    if (!spec || !success || !first || spec->serialNumber == 0) return true;
    memcpy(first, spec, sizeof(linkSpec));
    *success = true;
    return false;
}
