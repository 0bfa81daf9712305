// Lists the USB devices libusb sees, one line each: "VVVV:PPPP SERIAL" (vendor and product in
// upper-case hex, the serial-number string or "-" when it cannot be read). Exit status 1 when
// libusb cannot start.

#include <libusb.h>

#include <cstdio>

int main() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return 1;
    libusb_device** devices = nullptr;
    ssize_t count = libusb_get_device_list(context, &devices);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(devices[i], &descriptor) != 0) continue;
        unsigned char serial[256] = "-";
        libusb_device_handle* handle = nullptr;
        if (libusb_open(devices[i], &handle) == 0) {
            if (libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial,
                                                   sizeof(serial)) < 0)
                serial[0] = '-', serial[1] = '\0';
            libusb_close(handle);
        }
        std::printf("%04X:%04X %s\n", descriptor.idVendor, descriptor.idProduct,
                    reinterpret_cast<const char*>(serial));
    }
    if (count >= 0) libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return count < 0 ? 1 : 0;
}
